#pragma once
// Splits the mesh edges whose middle lies off the surface. A flat triangle
// between three surface vertices cuts across a curved surface by about
// L^2 / (8 r) (edge length L, radius of curvature r): around thin tips and
// rounded creases, a third to a half of a grid cell, far more than the
// vertices' own error. Such an edge gets a vertex on the surface near its
// middle, and every triangle that holds it is split to match (into two,
// three or four), so the mesh stays closed and its topology is unchanged.
// Then a face whose centre lies off the surface (a tip's cap) gets a vertex
// there, joined to its corners. A split whose triangles would pass through
// the rest of the mesh (two sheets less than a cell apart) is withdrawn,
// with those beside it.

#include "function/implicit_function.h"
#include "wendfit/mesh.h"

namespace wendfit {

struct CurvedEdgeOptions {
  // Edges whose middle lies farther than this from the surface are split.
  double tolerance = 0.0;
  // The function's box: edges with an end on one of its faces are left
  // alone (the box closes the mesh there, not the zero set).
  float boxMin[3] = {0, 0, 0};
  float boxMax[3] = {0, 0, 0};
  // Side the normals point to (see ExtractionStats::outsideNegative).
  bool outsideNegative = false;
  // Evaluate with the function's quick terms (see ExtractionOptions).
  bool quick = false;
};

struct CurvedEdgeStats {
  long evaluations = 0;  // edge middles evaluated
  long splitEdges = 0;
  long splitFaces = 0;
};

// Splits the curved edges of `mesh` (a mesh of the zero set of `function`
// with a unit normal per vertex, as the extraction places them; a mesh
// without normals is left as it is). New vertices get their normals from
// the gradient. The same mesh on any thread count.
CurvedEdgeStats splitCurvedEdges(TriangleMesh& mesh, const ImplicitFunction& function,
                                 const CurvedEdgeOptions& options);

}  // namespace wendfit
