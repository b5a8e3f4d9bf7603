#pragma once
// Surface extraction: the zero level set of an ImplicitFunction as a
// triangle mesh.
//
// Method: the function is sampled on a regular grid over its box (see
// surface_grid.h) and polygonized by marching cubes, assembled per cube from
// face segments: each face whose corners change sign gets segments that
// depend only on that face's four values (ambiguous faces by the asymptotic
// decider), so neighbouring cubes agree on every shared face. This gives a
// crack-free, edge- and vertex-manifold mesh with about one vertex and two
// triangles per surface cell. A value exactly 0 counts as non-negative
// everywhere, so a zero never splits a vertex.
//
// Vertices are keyed by grid edge, so neighbouring cells share them; each is
// placed by one Newton step along its edge, from the edge's false-position
// point with the function's exact gradient (where that step leaves the
// bracket, by false position as well; where the edge grazes the surface,
// by a step along the gradient, which may leave the edge). Normals come from
// the same gradient. A vertex off its edge whose triangles pass through
// another triangle goes back onto its edge, found there by a bracketed
// search, so that the mesh bounds a solid.
// Grid and edge values are ImplicitFunction::plainValue, the value whose
// exact gradient this is (powers by multiplication, not the bit-exact power
// that the fit needs), so signs and steps see one function at less cost.
//
// Where to look: by default the surface is traced from the cells that hold
// the band records' centres (the data) through the faces it crosses,
// anywhere in the box, so the cost follows the surface area, every sheet
// that is started is finished, and no sheet appears far from the data. With
// fullBox every cell of the box is examined instead.
//
// Closing: the grid points beyond the box (one virtual layer, never
// evaluated) count as outside, so where the zero set meets the box the mesh
// is closed by the box's faces; vertices on edges to a virtual point lie on
// the grid point inside. Zero-area triangles are removed by edge collapses
// that keep the mesh manifold (see collapseZeroAreaTriangles). The mesh is
// thus closed: no boundary and no non-manifold edges.
//
// Cost: every grid value is evaluated once (blocks share the points on
// their common faces) and every edge vertex is placed once, by the block
// that owns the edge's lower end.
//
// Orientation: "outside" is the sign class the function takes at the corners
// of its box; triangles are wound counter-clockwise seen from outside, and
// normals point outside (both reversed by flip).
//
// Determinism: the mesh does not depend on the number of threads. Blocks are
// processed in parallel into per-block buffers and merged in block order;
// vertex ids are assigned in order of first use.

#include <cstdio>
#include <vector>

#include <wendfit/mesh.h>

#include "function/implicit_function.h"
#include "mesh/surface_grid.h"

namespace wendfit {

struct ExtractionOptions {
  // Cells along the longest side of the box; 0 picks the default, the
  // finest support radius divided by cellsPerRadius.
  int resolution = 0;
  // The default grid's cells per finest support radius (see
  // defaultResolution).
  int cellsPerRadius = kDefaultCellsPerRadius;
  // The default grid's least cell, in the function's coordinates (0: none),
  // and whether the spacing of the finest centres bounds it too (see
  // defaultResolution).
  double leastCell = 0.0;
  bool leastCellFromCentres = true;
  // Examine every cell of the box instead of tracing from the data.
  bool fullBox = false;
  // Reverse the triangles' winding and the normals.
  bool flip = false;
  // Per-vertex unit normals from the gradient.
  bool normals = false;
  // Progress bar target (a terminal); nullptr for none.
  std::FILE* progress = nullptr;
  // The position noise of the data, in the function's coordinates (0:
  // exact). Faces that bulge off the surface by less than this are not
  // split: below the noise the surface's small bends are the noise's.
  double noise = 0.0;
  // Place the surface by the function's quick single-precision terms
  // (ImplicitFunction::plainValues with `quick`): the extraction's
  // evaluations at about twice the speed, its vertices within float
  // rounding of where the full terms put them. Off: the full terms.
  bool quickTerms = false;
};

struct ExtractionStats {
  int resolution = 0;
  int cells[3] = {0, 0, 0};
  double cellSize = 0.0;      // the grid spacing along the longest side
  float finestRadius = 0.0f;  // 0 when the function has no records
  long visitedBlocks = 0;     // blocks whose cells were looked at
  long seedCells = 0;
  long surfaceCells = 0;      // cells that the surface crosses
  long evaluations = 0;       // value and gradient evaluations
  long collapsedTriangles = 0;  // zero-area triangles removed by edge collapses
  long splitEdges = 0;          // edges given a vertex on the surface at their middle
  long settledVertices = 0;     // moved back onto their grid edge (or polygon's middle) so
                                // that no triangle passes through another
  bool outsideNegative = false;
};

// Extracts the zero level set of `function`. Throws Error for a resolution
// out of range or a box without extent; a function without a sign change
// (or without records, unless fullBox) gives an empty mesh. `stats` may be
// null.
TriangleMesh extractSurface(const ImplicitFunction& function, const ExtractionOptions& options,
                            ExtractionStats* stats = nullptr);

}  // namespace wendfit
