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
};

int checkedCount(LineCursor& cursor, long long value, long long least, const char* what) {
  if (value < least || value > INT_MAX) {
    cursor.fail(std::string(what) + " count " + std::to_string(value) + " is out of range (expected " +
                std::to_string(least) + ".." + std::to_string(INT_MAX) + ")");
  }
  return static_cast<int>(value);
}

OffCounts readCounts(LineCursor& cursor) {
  std::string_view first = cursor.anyToken();
  long long vertices = 0;
  if (isOffKeyword(first)) {
    vertices = readInteger(cursor, true, "the vertex count");
  } else if (!parseDecimalInt(first, &vertices)) {
    cursor.fail("not an OFF file: " + quotedToken(first) + " (expected the keyword OFF and the counts)");
  }
  OffCounts counts;
  counts.vertices = checkedCount(cursor, vertices, 1, "vertex");
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

// `facesOut`, when given, receives the faces.
PointSet readOff(std::string_view data, const std::string& name, std::FILE* console, FaceList* facesOut) {
  if (data.empty()) throw Error(fileMessage(name, "the file is empty (expected an OFF mesh)"));
  LineCursor cursor(data, name, 1, '#');
  const OffCounts counts = readCounts(cursor);
  printReadStart(console, true, counts.vertices, counts.faces);
  PointSet points;
  points.allocate(counts.vertices);
  for (int i = 0; i < counts.vertices; ++i) {
    const float x = readCoordinate(cursor, true, "the x coordinate of vertex", i);
    const float y = readCoordinate(cursor, false, "x y z on the line of vertex", i);
    const float z = readCoordinate(cursor, false, "x y z on the line of vertex", i);
    points.setPosition(i, x, y, z);
    printPointProgress(console, i);
    cursor.nextLine();
  }
  FaceList faces;
  readFaces(cursor, counts.faces, counts.vertices, faces);
  estimateNormalsFromFaces(points, faces);
  if (facesOut) *facesOut = std::move(faces);
  printReadDone(console);
  return points;
}

}  // namespace

PointSet readOffFile(const std::string& path, std::FILE* console, FaceList* faces) {
  const std::string data = loadFileBytes(path);
  return readOff(data, path, console, faces);
}

PointSet readOffData(std::string_view data, const std::string& name, std::FILE* console) {
  return readOff(data, name, console, nullptr);
}

PointSet readOffFile(const std::string& path, std::FILE* console) {
  return readOffFile(path, console, nullptr);
}

}  // namespace wendfit
