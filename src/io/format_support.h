#pragma once
// Pieces shared by the readers of other programs' formats (PLY, XYZ, OFF,
// OBJ): the console messages every reader prints,
// the face list that the mesh formats collect before their vertex normals
// are estimated, and the check that a set has something to fit.

#include <cstdio>
#include <string>
#include <vector>

#include "core/point_set.h"
#include "core/text_scanner.h"

namespace wendfit {



// The reading messages, in the shape of the tool's own readers. All of them
// do nothing when `console` is nullptr.
void printReadStart(std::FILE* console, bool mesh, int points, int faces);
// The progress counter for point i (printed for multiples of kProgressStep).
void printPointProgress(std::FILE* console, int i);
void printReadDone(std::FILE* console);

// Polygon faces as one flat list of 0-based vertex indices: face f has the
// vertices indices[starts[f] .. starts[f + 1]). The readers check every face
// (at least 3 vertices, indices in range) before adding it.
struct FaceList {
  std::vector<int> starts{0};
  std::vector<int> indices;

  int count() const { return static_cast<int>(starts.size()) - 1; }
  // Closes the face made of the indices added since the previous one.
  // Throws Error naming `file` when the list outgrows the int range.
  void closeFace(const std::string& file);
};

// Sets the normals of `points` from `faces` exactly as the .ply2 reader does
// (area-weighted, fanned polygons, normalised).
void estimateNormalsFromFaces(PointSet& points, const FaceList& faces);

// Throws Error "<file>: ..." when no normal of `points` has a non-zero
// length, or the set is empty: there is nothing to fit then.
void requireNonZeroNormal(const PointSet& points, const std::string& file);

}  // namespace wendfit
