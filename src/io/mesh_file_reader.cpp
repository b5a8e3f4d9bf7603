// Mesh input: .ply2 vertices and faces, and the vertex normals estimated from
// the faces. Face normals are summed in float without normalising them, so
// larger faces weigh more.

#include "io/mesh_file_reader.h"

#include <cmath>
#include <string>

#include "io/console_progress.h"
#include "core/error.h"
#include "core/text_scanner.h"
#include "io/format_support.h"

namespace wendfit {

namespace {

// Lower bounds on the text a .ply2 file needs after its two counts: a vertex
// is three numbers, a face at least four, each number at least one character
// after one separator.
constexpr unsigned long long kMinBytesPerVertex = 6;
constexpr unsigned long long kMinBytesPerFace = 8;

// (P[b] - P[a]) x (P[c] - P[a]) in float, added to `sum`.
void addTriangleCross(const PointSet& set, int a, int b, int c, float sum[3]) {
  const float* pa = set.position(a);
  const float* pb = set.position(b);
  const float* pc = set.position(c);
  const float u[3] = {pb[0] - pa[0], pb[1] - pa[1], pb[2] - pa[2]};
  const float v[3] = {pc[0] - pa[0], pc[1] - pa[1], pc[2] - pa[2]};
  const float cross[3] = {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2],
                          u[0] * v[1] - u[1] * v[0]};
  sum[0] += cross[0];
  sum[1] += cross[1];
  sum[2] += cross[2];
}

struct MeshCounts {
  int vertices;
  int faces;
};

MeshCounts readCounts(TextScanner& scanner) {
  MeshCounts counts;
  counts.vertices = scanner.readInt("the number of vertices");
  if (counts.vertices < 0) {
    scanner.fail("negative vertex count " + std::to_string(counts.vertices), "a count of at least 1", -1);
  }
  if (counts.vertices == 0) scanner.fail("the file holds no vertices", "a count of at least 1", -1);
  counts.faces = scanner.readInt("the number of faces");
  if (counts.faces < 0) {
    scanner.fail("negative face count " + std::to_string(counts.faces), "a count of at least 0", -1);
  }
  const long line = scanner.line();
  const unsigned long long needed = kMinBytesPerVertex * static_cast<unsigned>(counts.vertices) +
                                    kMinBytesPerFace * static_cast<unsigned>(counts.faces);
  if (needed > scanner.remainingBytes()) {
    throw Error(fileMessage(
        scanner.name(), line,
        std::to_string(counts.vertices) + " vertices and " + std::to_string(counts.faces) +
            " faces are more than the file can hold (expected at least " + std::to_string(needed) +
            " more bytes, found " + std::to_string(scanner.remainingBytes()) + ")"));
  }
  return counts;
}

// Reads the m faces and adds their normals; `face` is reused for every face.
void readFaces(TextScanner& scanner, PointSet& set, int faceCount, FaceList* faces) {
  std::vector<int> face;
  for (int f = 0; f < faceCount; ++f) {
    const int k = scanner.readInt("the vertex count of face", f);
    if (k < 3) {
      scanner.fail("face " + std::to_string(f) + " has " + std::to_string(k) + " vertices",
                   "at least 3", -1);
    }
    face.clear();
    for (int j = 0; j < k; ++j) {
      const int index = scanner.readInt("a vertex index of face", f);
      if (index < 0 || index >= set.count) {
        scanner.fail("vertex index " + std::to_string(index) + " of face " + std::to_string(f) +
                         " is out of range",
                     ("an index in 0.." + std::to_string(set.count - 1)).c_str(), -1);
      }
      face.push_back(index);
    }
    accumulateFaceNormal(set, face.data(), k);
    if (faces) {
      faces->indices.insert(faces->indices.end(), face.begin(), face.end());
      faces->closeFace(scanner.name());
    }
  }
}

}  // namespace

void clearNormals(PointSet& set) {
  set.normals.assign(3 * static_cast<size_t>(set.count), 0.0f);
}

void accumulateFaceNormal(PointSet& set, const int* indices, int k) {
  float sum[3] = {0.0f, 0.0f, 0.0f};
  for (int j = 1; j + 1 < k; ++j) addTriangleCross(set, indices[0], indices[j], indices[j + 1], sum);
  for (int j = 0; j < k; ++j) {
    float* n = &set.normals[3 * static_cast<size_t>(indices[j])];
    n[0] += sum[0];
    n[1] += sum[1];
    n[2] += sum[2];
  }
}

void normalizeNormals(PointSet& set) {
  for (size_t i = 0; i < static_cast<size_t>(set.count); ++i) {
    float* n = &set.normals[3 * i];
    // The length is taken in double so that tiny but non-zero sums (whose
    // float squares would underflow) still become unit vectors.
    const double x = n[0], y = n[1], z = n[2];
    const double length = std::sqrt(x * x + y * y + z * z);
    if (length == 0.0) continue;
    const double inverse = 1.0 / length;
    n[0] = static_cast<float>(x * inverse);
    n[1] = static_cast<float>(y * inverse);
    n[2] = static_cast<float>(z * inverse);
  }
}

void estimateVertexNormals(PointSet& set, const std::vector<int>& faceStarts,
                           const std::vector<int>& faceIndices) {
  // Everything is checked before the first normal changes.
  const size_t faceCount = faceStarts.empty() ? 0 : faceStarts.size() - 1;
  for (size_t f = 0; f < faceCount; ++f) {
    const int begin = faceStarts[f];
    const int end = faceStarts[f + 1];
    if (begin < 0 || end > static_cast<int>(faceIndices.size()) || end - begin < 3) {
      throw Error("face " + std::to_string(f) + " spans " + std::to_string(begin) + ".." +
                  std::to_string(end) + " (expected at least 3 of " +
                  std::to_string(faceIndices.size()) + " indices)");
    }
    for (int j = begin; j < end; ++j) {
      if (faceIndices[j] < 0 || faceIndices[j] >= set.count) {
        throw Error("vertex index " + std::to_string(faceIndices[j]) + " of face " + std::to_string(f) +
                    " is out of range (expected an index in 0.." + std::to_string(set.count - 1) + ")");
      }
    }
  }
  clearNormals(set);
  for (size_t f = 0; f < faceCount; ++f) {
    accumulateFaceNormal(set, &faceIndices[faceStarts[f]], faceStarts[f + 1] - faceStarts[f]);
  }
  normalizeNormals(set);
}

PointSet readMeshFile(const std::string& path, std::FILE* console, FaceList* faces) {
  TextScanner scanner = TextScanner::fromFile(path);
  if (console) std::fprintf(console, "File read is started. (Mesh file)\n");
  const MeshCounts counts = readCounts(scanner);
  if (console) {
    std::fprintf(console, "%d points.\n", counts.vertices);
    std::fprintf(console, "%d faces.\n", counts.faces);
  }
  PointSet set;
  set.allocate(counts.vertices);
  for (int i = 0; i < counts.vertices; ++i) {
    const float x = scanner.readFloat("the x coordinate of vertex", i);
    const float y = scanner.readFloat("the y coordinate of vertex", i);
    const float z = scanner.readFloat("the z coordinate of vertex", i);
    set.setPosition(i, x, y, z);
    if (console && i % kProgressStep == 0) std::fprintf(console, "%s %d points are read.", kProgressRewind, i);
  }
  clearNormals(set);
  readFaces(scanner, set, counts.faces, faces);
  normalizeNormals(set);
  if (console) std::fprintf(console, "%sFile read is done.        \n\n", kProgressRewind);
  return set;
}

PointSet readMeshFile(const std::string& path, std::FILE* console) {
  return readMeshFile(path, console, nullptr);
}

}  // namespace wendfit
