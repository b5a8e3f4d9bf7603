#pragma once
// Consistent orientation of a polygon mesh's faces. Mesh files need not
// orient their faces alike (polygon soups and "shuffled" test meshes run
// half of them clockwise); sampled with their own normals, such faces pull
// the fit both ways and it breaks into pieces.

#include "core/point_set.h"
#include "io/format_support.h"

namespace wendfit {

// The connected parts of a polygon mesh (faces joined across edges of
// exactly two faces), and whether it is closed (every edge belongs to
// exactly two faces).
struct FaceParts {
  long parts = 0;
  bool closed = false;
};

// Reverses faces so that every two faces sharing an edge (an edge of
// exactly two faces) run it in opposite directions. Each connected part
// whose faces already agree keeps them all. A part that needed changes
// takes the orientation with a positive enclosed volume when it is closed
// (no edge of one face only), else the one that keeps the larger part of
// its area as it was. Faces whose neighbours contradict one another (a
// Moebius strip, non-manifold edges) keep what the first of them decides.
// Returns the number of faces reversed. Indices must be valid. `shape`,
// when given, receives what the pass saw of the mesh's shape.
long orientFacesConsistently(const PointSet& vertices, FaceList& faces, FaceParts* shape = nullptr);

}  // namespace wendfit
