#pragma once
// Topological checks and clean-up of a triangle mesh: connected components,
// watertightness, edge and vertex manifoldness, consistent orientation, and
// dropping small components. Used by the extractor's summary, by
// --min-component and by the ground-truth benchmark.

#include <functional>
#include <vector>

#include "mesh/surface_extractor.h"

namespace wendfit {

struct MeshTopology {
  long vertices = 0;             // vertices used by at least one triangle
  long edges = 0;                // distinct undirected edges
  long triangles = 0;
  long components = 0;           // connected through shared vertices
  long boundaryEdges = 0;        // used by one triangle
  long nonManifoldEdges = 0;     // used by more than two triangles
  long misorientedEdges = 0;     // used twice in the same direction
  long nonManifoldVertices = 0;  // whose triangles do not form one fan
  long degenerateTriangles = 0;  // with a repeated vertex index
  long eulerCharacteristic = 0;  // vertices - edges + triangles

  bool watertight() const { return boundaryEdges == 0 && nonManifoldEdges == 0; }
  bool manifold() const {
    return nonManifoldEdges == 0 && nonManifoldVertices == 0 && degenerateTriangles == 0;
  }
  bool oriented() const { return misorientedEdges == 0; }
};

// Analyses the mesh's connectivity (not its geometry). Triangle indices must
// lie in 0 ... vertexCount - 1; throws Error otherwise.
MeshTopology analyzeTopology(const TriangleMesh& mesh);

// Component label of every triangle, numbered 0, 1, ... in order of each
// component's first triangle. `count` receives the number of components.
std::vector<int> triangleComponents(const TriangleMesh& mesh, long* count);

// Only the edge counts (edges, boundary, non-manifold and misoriented edges)
// and the triangle count: cheaper than analyzeTopology. Throws Error for bad
// indices.
MeshTopology edgeTopology(const TriangleMesh& mesh);

// Triangles whose corners are collinear or coincide (computed from the float
// positions in double).
long zeroAreaTriangles(const TriangleMesh& mesh);

// Removes zero-area triangles by collapsing one of their edges (coincident
// corners merge; of three collinear corners the middle one moves onto its
// nearer neighbour), each only where the collapse keeps the surface
// manifold; the triangles on the collapsed edge go. Vertices no longer used
// go too; the rest keep their order. Returns the number of triangles removed;
// when it is not 0, `keptVertices` (when given) receives each remaining
// vertex's index before.
long collapseZeroAreaTriangles(TriangleMesh& mesh, std::vector<int>* keptVertices = nullptr);

// Removes every component with fewer than minTriangles triangles and the
// vertices only they used; kept triangles and vertices keep their order.
// Returns the number of components removed.
long dropSmallComponents(TriangleMesh& mesh, long minTriangles);

// Removes every component whose vertices' weights (one entry per vertex)
// add up to less than `minimum`, except the heaviest one, so that a surface
// never goes whole; the vertices only they used go too, the rest keep their
// order. Returns the number of components removed.
long dropLightComponents(TriangleMesh& mesh, const std::vector<int>& weights, long minimum);

// The same, and with a `distance` also every other component whose vertices
// lie farther than `farthestMedian` from the data at their median (distance
// of a vertex position from the nearest data point): a piece the fit grew
// around a few points rather than through them. `distance` is called from
// several threads at once.
long dropUnsupportedComponents(TriangleMesh& mesh, const std::vector<int>& weights, long minimum,
                               const std::function<double(const float* p)>& distance, double farthestMedian);

// Removes every closed piece that encloses less than its limit: a cavity
// (space of the outside sign: its triangles face inwards, so its signed
// volume is negative, or positive when `flipped`) below cavityVolume, a
// solid below solidVolume. The piece of the largest volume stays whatever
// its size; the vertices only the removed ones used go too, the rest keep
// their order. For closed meshes only: the volume of an open piece means
// nothing. Returns the number of pieces removed.
long dropSmallPieces(TriangleMesh& mesh, double cavityVolume, double solidVolume, bool flipped);

// How far `inside` must call a point inside (about 1) or outside (about 0)
// for dropContradictedPieces to take its word.
inline constexpr double kDataOutside = 0.25;
inline constexpr double kDataInside = 0.75;

// Removes every closed piece no wider than `widest` (its box's diagonal),
// except the one of the largest volume, whose sides the data contradict:
// `inside` (the data's winding number, say) tells how far inside the data's
// surface a point lies, and a piece goes when, over its triangles, the
// median at `depth` behind them (the solid side of a mesh facing outwards,
// or inwards when `flipped`) is below kDataOutside, or the median as far in
// front above kDataInside. Such a piece encloses space the data leave
// empty, or carves a cavity where they are solid: a blister where a scan
// folds through itself. A real detached part (the tip of a thin ear) has
// the data's inside behind its faces and stays. When the data contradict
// the largest piece too, they describe no solid (an open scan) and nothing
// goes. `inside` is called from several threads. For closed meshes only.
// Returns the number of pieces removed.
long dropContradictedPieces(TriangleMesh& mesh, const std::function<double(const float*)>& inside, double depth,
                            double widest, bool flipped);

}  // namespace wendfit
