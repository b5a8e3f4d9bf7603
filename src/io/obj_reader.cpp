// OBJ input in two passes over the buffer: the first counts the v, vn and f
// lines (so that the set is allocated once and the counts are announced
// first), the second reads them. Both passes take the keyword with the same
// cursor, so they agree on which line is what.

#include "io/obj_reader.h"

#include <climits>
#include <vector>

#include "core/error.h"
#include "io/format_support.h"
#include "core/line_cursor.h"

namespace wendfit {

namespace {

struct ObjCounts {
  long long vertices = 0;
  long long normals = 0;
  long long faces = 0;
};

ObjCounts countLines(std::string_view data, const std::string& name) {
  ObjCounts counts;
  LineCursor cursor(data, name, 1, '#');
  while (cursor.remainingBytes() > 0) {
    std::string_view keyword = cursor.lineToken();
    if (keyword == "v") {
      ++counts.vertices;
    } else if (keyword == "vn") {
      ++counts.normals;
    } else if (keyword == "f") {
      ++counts.faces;
    }
    cursor.nextLine();
  }
  return counts;
}

// One entry of an f line: the vertex index before the first '/', 1-based or
// negative (relative to the `defined` vertices so far); returns it 0-based.
int faceVertex(LineCursor& cursor, std::string_view entry, int defined, int total, int face) {
  std::string_view digits = entry.substr(0, entry.find('/'));
  long long index = 0;
  if (!parseDecimalInt(digits, &index)) {
    cursor.fail("malformed face entry " + quotedToken(entry) + " of face " + std::to_string(face) +
                " (expected a vertex index, optionally followed by /texture/normal indices)");
  }
  long long zeroBased = index > 0 ? index - 1 : defined + index;
  if (index == 0 || zeroBased < 0 || zeroBased >= total) {
    cursor.fail("vertex index " + std::to_string(index) + " of face " + std::to_string(face) +
                " is out of range (expected 1.." + std::to_string(total) + ", or -1..-" +
                std::to_string(defined) + " counting back from the last vertex)");
  }
  return static_cast<int>(zeroBased);
}

void readFaceLine(LineCursor& cursor, int defined, int total, FaceList& faces) {
  const int face = faces.count();
  int k = 0;
  for (std::string_view entry = cursor.lineToken(); !entry.empty(); entry = cursor.lineToken(), ++k) {
    faces.indices.push_back(faceVertex(cursor, entry, defined, total, face));
  }
  if (k < 3) cursor.fail("face " + std::to_string(face) + " has " + std::to_string(k) + " vertices (expected at least 3)");
  faces.closeFace(cursor.name());
}

void readXyz(LineCursor& cursor, const char* what, long long index, float v[3]) {
  for (int k = 0; k < 3; ++k) v[k] = readCoordinate(cursor, false, what, index);
}

void checkCounts(const ObjCounts& counts, const std::string& name, ReadPurpose purpose) {
  if (counts.vertices == 0 && purpose == ReadPurpose::kPoints) {
    throw Error(fileMessage(name, "no vertices (expected 'v x y z' lines)"));
  }
  if (counts.vertices > INT_MAX || counts.faces > INT_MAX) {
    throw Error(fileMessage(name, "more vertices or faces than this tool can hold (expected at most " +
                                      std::to_string(INT_MAX) + ")"));
  }
  if (counts.faces > 0 || purpose == ReadPurpose::kMesh) return;
  if (counts.normals == 0) {
    throw Error(fileMessage(name, "the points have no normals, and normals are required (expected 'vn' lines, "
                                  "one per vertex, or 'f' lines to estimate them from)"));
  }
  if (counts.normals != counts.vertices) {
    throw Error(fileMessage(name, std::to_string(counts.vertices) + " vertices but " +
                                      std::to_string(counts.normals) +
                                      " normals (expected one 'vn' line per 'v' line, or 'f' lines)"));
  }
}

}  // namespace

MeshData readObjMesh(std::string_view data, const std::string& name, ReadPurpose purpose, std::FILE* console) {
  if (data.empty()) throw Error(fileMessage(name, "the file is empty (expected an OBJ mesh)"));
  const ObjCounts counts = countLines(data, name);
  checkCounts(counts, name, purpose);
  const bool mesh = counts.faces > 0;
  const int total = static_cast<int>(counts.vertices);
  printReadStart(console, mesh, total, static_cast<int>(counts.faces));
  // Points to fit take their normals from the faces when there are any; a
  // mesh keeps its vn lines when there is one per vertex.
  const bool readNormals = purpose == ReadPurpose::kPoints ? !mesh : counts.normals == counts.vertices;

  MeshData result;
  result.positions.resize(3 * static_cast<size_t>(total));
  if (readNormals) result.normals.resize(3 * static_cast<size_t>(total));
  int vertices = 0;
  int normals = 0;
  LineCursor cursor(data, name, 1, '#');
  while (cursor.remainingBytes() > 0) {
    std::string_view keyword = cursor.lineToken();
    if (keyword == "v") {
      readXyz(cursor, "x y z of vertex", vertices + 1, &result.positions[3 * static_cast<size_t>(vertices)]);
      printPointProgress(console, vertices++);
    } else if (keyword == "vn" && readNormals) {
      readXyz(cursor, "nx ny nz of normal", normals + 1, &result.normals[3 * static_cast<size_t>(normals)]);
      ++normals;
    } else if (keyword == "f") {
      readFaceLine(cursor, vertices, total, result.faces);
    }
    cursor.nextLine();
  }
  return result;
}

PointSet readObjFile(const std::string& path, std::FILE* console, FaceList* faces) {
  return readPointsWith(readObjMesh, loadFileBytes(path), path, console, faces);
}

PointSet readObjData(std::string_view data, const std::string& name, std::FILE* console) {
  return readPointsWith(readObjMesh, data, name, console, nullptr);
}

PointSet readObjFile(const std::string& path, std::FILE* console) {
  return readObjFile(path, console, nullptr);
}

}  // namespace wendfit
