// Shared pieces of the readers of other programs' formats.

#include "io/format_support.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "io/console_progress.h"
#include "io/error.h"
#include "io/mesh_file_reader.h"

namespace wendfit {

std::string loadFileBytes(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) throw Error(fileMessage(path, std::string("cannot open (") + std::strerror(errno) + ")"));
  std::string bytes;
  // One read of the whole size when the size is known; the loop below then
  // only confirms the end (and still copes with files that grow or pipes).
  if (std::fseek(file, 0, SEEK_END) == 0) {
    long size = std::ftell(file);
    if (size > 0) bytes.reserve(static_cast<size_t>(size));
    std::fseek(file, 0, SEEK_SET);
  }
  char buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
  bool failed = std::ferror(file) != 0;
  int savedErrno = errno;
  std::fclose(file);
  if (failed) throw Error(fileMessage(path, std::string("cannot read (") + std::strerror(savedErrno) + ")"));
  return bytes;
}

void printReadStart(std::FILE* console, bool mesh, int points, int faces) {
  if (!console) return;
  std::fprintf(console, mesh ? "File read is started. (Mesh file)\n" : "File read is started.\n");
  std::fprintf(console, "%d points.\n", points);
  if (mesh) std::fprintf(console, "%d faces.\n", faces);
}

void printPointProgress(std::FILE* console, int i) {
  if (console && i % kProgressStep == 0) std::fprintf(console, "%s %d points are read.", kProgressRewind, i);
}

void printReadDone(std::FILE* console) {
  if (console) std::fprintf(console, "%sFile read is done.        \n\n", kProgressRewind);
}

void FaceList::closeFace(const std::string& file) {
  if (indices.size() > static_cast<size_t>(INT_MAX)) {
    throw Error(fileMessage(file, "more face indices than this tool can hold (expected at most " +
                                      std::to_string(INT_MAX) + ")"));
  }
  starts.push_back(static_cast<int>(indices.size()));
}

void estimateNormalsFromFaces(PointSet& points, const FaceList& faces) {
  estimateVertexNormals(points, faces.starts, faces.indices);
}

void requireNonZeroNormal(const PointSet& points, const std::string& file) {
  if (points.count <= 0) throw Error(fileMessage(file, "no points (expected at least one oriented point)"));
  for (float component : points.normals) {
    if (component != 0.0f) return;
  }
  throw Error(fileMessage(file, "all " + std::to_string(points.count) +
                                    " normals have zero length; nothing to fit (expected oriented "
                                    "points, or a mesh whose faces give its vertices normals)"));
}

}  // namespace wendfit
