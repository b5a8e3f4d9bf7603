#pragma once
// The surface extraction as a command: options, their parsing and help text
// (shared by `wendfit-mesh` and `wendfit --mesh`), and one call that
// extracts, cleans, rescales and writes a mesh and reports on it.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "function/implicit_function.h"
#include "core/error.h"
#include "core/point_set.h"
#include "mesh/mesh_topology.h"
#include "mesh/surface_extractor.h"

namespace wendfit {

class SampleSides;

struct MeshOptions {
  ExtractionOptions extraction;
  // Drop connected components with fewer triangles than this (0: keep all).
  long minComponent = 0;
  // ASCII instead of binary PLY.
  bool ascii = false;
  // A mesh with boundary or non-manifold edges is an error, not written.
  bool requireWatertight = false;
  // A mesh without triangles is an error, not written; `emptyReason` (if
  // set) says why the data gave no surface.
  bool requireSurface = false;
  std::string emptyReason;
  // The factor by which the fit multiplied its input coordinates; the mesh
  // is written divided by it, in the input's own coordinates. 1 keeps the
  // result file's coordinates.
  double inputScale = 1.0;
  // Write each vertex's distance to the nearest input point (input units)
  // as the PLY vertex property `quality`; needs the input points and PLY.
  bool quality = false;
  // Drop every component that is the nearest surface of fewer than 8 input
  // points: a pocket, sheet or bubble the data do not support. Needs the
  // input points.
  bool dropUnsupported = false;
  // Drop every cavity (a closed piece facing inwards, holding space of the
  // outside sign) smaller than a ball of the finest support radius, and
  // every solid piece smaller than a ball of one sample spacing (of the
  // input points, when they are known): the pockets and slivers where a
  // scan's surface runs through its own inside. Watertight meshes only;
  // the largest piece always stays.
  bool dropSmallPieces = false;
  // The data's inside and outside (the samples' winding number, in the
  // function's coordinates), when known: with dropSmallPieces, a closed
  // piece other than the largest also goes when the data contradict its
  // sides (dropContradictedPieces): a blister where a scan folds through
  // itself. They must be the sides of the data points themselves: when
  // they cover every point, their nearest-point index also serves the
  // distances to the data.
  std::shared_ptr<const SampleSides> dataSides;
  // Write the surface's mean, Gaussian and principal curvatures at each
  // vertex (per input unit, signed for the mesh's normals; see
  // vertex_curvature.h) as PLY vertex properties; needs PLY.
  bool curvature = false;
  // The median sample spacing of the data points, in the function's
  // coordinates, when the caller has measured it (0: measured here).
  double dataSpacing = 0.0;
  // The program named as the writer in the mesh file's header comment.
  std::string toolName = "wendfit";
};

struct MeshSummary {
  ExtractionStats stats;
  long vertices = 0;
  long triangles = 0;
  long components = 0;         // after dropping
  long droppedComponents = 0;
  long unsupportedComponents = 0;  // dropped by dropUnsupported
  long smallPieces = 0;            // dropped by dropSmallPieces
  long contradictedPieces = 0;     // dropped for their sides (dataSides)
  long boundaryEdges = 0;      // used by one triangle
  long nonManifoldEdges = 0;   // used by more than two triangles
  double seconds = 0.0;        // wall-clock, extraction to written file
  // Input units; both negative when the input points are not known.
  double sampleSpacing = -1.0;    // median distance of a point to its nearest distinct point
  double maxDataDistance = -1.0;  // largest distance of a vertex from the nearest point
};

// A bad extraction option or value on a command line (exit status 2).
class MeshUsageError : public Error {
 public:
  explicit MeshUsageError(const std::string& message) : Error(message) {}
};

// Recognises the extraction option at arguments[i] (--resolution N,
// --full-box, --flip, --normals, --min-component K, --ascii,
// --require-watertight, --quality, --curvature) and stores it.
// Returns how many arguments it used (0 when arguments[i] is not one of
// them). Throws MeshUsageError for a missing or bad value.
int parseMeshOption(const std::vector<std::string>& arguments, size_t i, MeshOptions& options);

// The help lines of those options, including the tracing and box rules and the default
// resolution; each line ends with a line feed.
std::string meshOptionsHelp(int cellsPerRadius = kDefaultCellsPerRadius);

// Extracts the zero level set of `function`, drops small components,
// divides the coordinates by options.inputScale and writes `meshPath` in the
// format its extension selects (temporary file, then rename). Prints one
// summary line on `log` (nullptr: silent). `dataPoints`, when given, are
// the input points in the function's coordinates (any order; positions
// only): the summary then tells how far the mesh strays from them, and
// options.quality writes each vertex's distance; options.curvature adds the
// curvature properties. Throws Error for an unknown mesh extension,
// options.quality without dataPoints or PLY, options.curvature without PLY (before any
// work), a bad resolution, an unwritable file, or, with
// options.requireWatertight, a mesh with boundary or non-manifold edges, or
// with options.requireSurface, a mesh without triangles (then nothing is
// written).
MeshSummary writeFunctionMesh(const ImplicitFunction& function, const std::string& meshPath,
                              const MeshOptions& options, std::FILE* log, const PointSet* dataPoints = nullptr);

// With options.requireWatertight, throws Error naming meshPath and the counts
// when the summary has boundary or non-manifold edges; with
// options.requireSurface, when it has no triangle. Otherwise does nothing.
void requireWatertight(const std::string& meshPath, const MeshOptions& options, const MeshSummary& summary);

// Why an extraction at an explicit --resolution found nothing when its cells
// are wider than the finest basis function's support (they can step over the
// whole surface); "" otherwise, and for a mesh with triangles.
std::string coarseGridReason(const MeshOptions& options, const MeshSummary& summary);

// The summary line, without a line feed: "watertight" only when the mesh
// has neither boundary nor non-manifold edges, else both counts.
std::string summaryLine(const std::string& meshPath, const MeshOptions& options, const MeshSummary& summary);

}  // namespace wendfit
