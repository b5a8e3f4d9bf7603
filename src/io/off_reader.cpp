// OFF meshes. Vertices and faces are read line by line, so that the colours
// and normals that OFF variants append to a line are passed over; the face
// normals are then summed by the shared estimation of the mesh reader.

#include "io/off_reader.h"

#include <climits>

#include "core/error.h"
#include "io/format_support.h"
#include "core/line_cursor.h"

namespace wendfit {

namespace {

// Lower bound on the text of one vertex: three numbers, each at least one
// character and one separator. Only the vertices are allocated up front;
// faces are collected as they are read.
constexpr unsigned long long kMinBytesPerVertex = 6;

// OFF, COFF, NOFF, CNOFF, STOFF, ...: prefixes of texture, colour and normal
// flags. The 4OFF and nOFF variants (other dimensions) are not surfaces in 3D.
bool isOffKeyword(std::string_view word) {
  if (word.size() < 3 || word.substr(word.size() - 3) != "OFF") return false;
  for (char c : word.substr(0, word.size() - 3)) {
    if (c != 'C' && c != 'N' && c != 'S' && c != 'T') return false;
  }
  return true;
}

struct OffCounts {
  int vertices = 0;
  int faces = 0;
  bool normals = false;  // NOFF and its variants: nx ny nz follow x y z
};

int checkedCount(LineCursor& cursor, long long value, long long least, const char* what) {
  if (value < least || value > INT_MAX) {
    cursor.fail(std::string(what) + " count " + std::to_string(value) + " is out of range (expected " +
                std::to_string(least) + ".." + std::to_string(INT_MAX) + ")");
  }
  return static_cast<int>(value);
}

OffCounts readCounts(LineCursor& cursor, ReadPurpose purpose) {
  std::string_view first = cursor.anyToken();
  long long vertices = 0;
  OffCounts counts;
  if (isOffKeyword(first)) {
    counts.normals = first.substr(0, first.size() - 3).find('N') != std::string_view::npos;
    vertices = readInteger(cursor, true, "the vertex count");
  } else if (!parseDecimalInt(first, &vertices)) {
    cursor.fail("not an OFF file: " + quotedToken(first) + " (expected the keyword OFF and the counts)");
  }
  counts.vertices = checkedCount(cursor, vertices, purpose == ReadPurpose::kPoints ? 1 : 0, "vertex");
  counts.faces = checkedCount(cursor, readInteger(cursor, false, "the face count after the vertex count"), 0, "face");
  cursor.nextLine();  // the edge count, which nothing uses
  const unsigned long long needed = kMinBytesPerVertex * static_cast<unsigned>(counts.vertices);
  if (needed > cursor.remainingBytes() + 1) {
    cursor.fail(std::to_string(counts.vertices) + " vertices are more than the file can hold (expected at least " +
                std::to_string(needed) + " more bytes, found " + std::to_string(cursor.remainingBytes()) + ")");
  }
  return counts;
}

void readFaces(LineCursor& cursor, int faceCount, int vertexCount, FaceList& faces) {
  for (int f = 0; f < faceCount; ++f) {
    const long long k = readInteger(cursor, true, "the vertex count of face", f);
    if (k < 3) cursor.fail("face " + std::to_string(f) + " has " + std::to_string(k) + " vertices (expected at least 3)");
    for (long long j = 0; j < k; ++j) {
      const long long index = readInteger(cursor, false, "its vertex indices on the line of face", f);
      if (index < 0 || index >= vertexCount) {
        cursor.fail("vertex index " + std::to_string(index) + " of face " + std::to_string(f) +
                    " is out of range (expected 0.." + std::to_string(vertexCount - 1) + ")");
      }
      faces.indices.push_back(static_cast<int>(index));
    }
    faces.closeFace(cursor.name());
    cursor.nextLine();
  }
}

}  // namespace

MeshData readOffMesh(std::string_view data, const std::string& name, ReadPurpose purpose, std::FILE* console) {
  if (data.empty()) throw Error(fileMessage(name, "the file is empty (expected an OFF mesh)"));
  LineCursor cursor(data, name, 1, '#');
  const OffCounts counts = readCounts(cursor, purpose);
  printReadStart(console, true, counts.vertices, counts.faces);
  // Points to fit always take their normals from the faces.
  const bool readNormals = counts.normals && purpose == ReadPurpose::kMesh;
  MeshData result;
  result.positions.resize(3 * static_cast<size_t>(counts.vertices));
  if (readNormals) result.normals.resize(3 * static_cast<size_t>(counts.vertices));
  for (int i = 0; i < counts.vertices; ++i) {
    float* p = &result.positions[3 * static_cast<size_t>(i)];
    p[0] = readCoordinate(cursor, true, "the x coordinate of vertex", i);
    p[1] = readCoordinate(cursor, false, "x y z on the line of vertex", i);
    p[2] = readCoordinate(cursor, false, "x y z on the line of vertex", i);
    if (readNormals) {
      for (int k = 0; k < 3; ++k) {
        result.normals[3 * static_cast<size_t>(i) + k] = readCoordinate(cursor, false, "nx ny nz after x y z of vertex", i);
      }
    }
    printPointProgress(console, i);
    cursor.nextLine();
  }
  readFaces(cursor, counts.faces, counts.vertices, result.faces);
  return result;
}

PointSet readOffFile(const std::string& path, std::FILE* console, FaceList* faces) {
  return readPointsWith(readOffMesh, loadFileBytes(path), path, console, faces);
}

PointSet readOffData(std::string_view data, const std::string& name, std::FILE* console) {
  return readPointsWith(readOffMesh, data, name, console, nullptr);
}

PointSet readOffFile(const std::string& path, std::FILE* console) {
  return readOffFile(path, console, nullptr);
}

}  // namespace wendfit
