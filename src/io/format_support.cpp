// Shared pieces of the readers of other programs' formats.

#include "io/format_support.h"

#include <climits>

#include "io/console_progress.h"
#include "core/error.h"
#include "io/mesh_file_reader.h"

namespace wendfit {

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
