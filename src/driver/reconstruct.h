#pragma once
// The sequence of `wendfit-reconstruct`: from oriented points or a polygon
// mesh to a watertight mesh in one call, with the number of levels chosen
// from the data (see driver/level_rule.h). Mesh inputs are sampled on their
// faces (see mesh/face_sampling.h). Usable from C++ without the command line.

#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/mesh_command.h"
#include "solver/schwarz_solver.h"

namespace wendfit {

// A point on a sampled surface has hundreds of others within this reach; one
// scattered off it (a scanner's outlier, a floater) has none, even where a
// thousand of them fill the box. Parts sampled more than about five times
// sparser than the median would count as isolated too, so the share below
// keeps them when they are many.
inline constexpr double kIsolationSpacings = 8.0;
inline constexpr int kIsolationNeighbours = 8;
inline constexpr double kMostIsolatedShare = 0.01;
// Normals whose signs are random face against half of their neighbours on
// average (0.501 on a bear with every other normal reversed); oriented scans
// stay at a tenth or below: 0.000-0.043 on eight sampled scans at 100,000
// points, 0.000-0.005 on four at 1,000,000, up to 0.100 with noise (a triple
// torus at 0.5 %: sharp edges, thin parts). Above this share the fit has no
// side to keep, and its surface would be noise.
inline constexpr double kMostOpposedShare = 0.25;

struct ReconstructOptions {
  std::string input;
  std::string meshPath;
  // When not empty, the fitted function is also written here (result file).
  std::string functionPath;
  // 0: from the data, levelsForSpacing of the median sample spacing.
  int levels = 0;
  // Samples drawn on the faces of a mesh input; 0: defaultSampleCount.
  long samples = 0;
  // A closed mesh input whose surface comes out in more pieces than the
  // mesh has parts was sampled too coarsely for its thin parts: with the
  // default sample count, it is sampled again with twice as many points and
  // fitted again, once, and that result is the answer.
  bool resampleSplit = true;
  uint64_t seed = 1;
  // Worker threads; 0 keeps the default (OMP_NUM_THREADS, else all cores).
  // The mesh does not depend on it.
  int threads = 0;
  SolverKind solver = SolverKind::Schwarz;
  bool signGuard = true;
  // Evaluate with the function's single-precision quick terms, in the fit
  // and the extraction (ImplicitFunction::plainValues with `quick`).
  bool quickTerms = true;
  // Position noise of the input, in its units: < 0 measures it, 0 takes the
  // data as exact. Noisy data get a threshold, smoothing and a level cap
  // (chooseNoiseSettings), and normals that disagree with their neighbours
  // are re-oriented or dropped.
  double noiseSigma = -1.0;
  // Drop stray points of a point input before the fit: those with fewer
  // than kIsolationNeighbours others within about kIsolationSpacings median
  // spacings, when they are at most kMostIsolatedShare of the points
  // (counted in the summary).
  bool dropIsolated = true;
  // Drop them however many they are (--drop-isolated): outliers above the
  // share, which would otherwise be kept as a sparse part of the data.
  bool dropAllIsolated = false;
  // Extraction and writing; requireWatertight, requireSurface,
  // dropUnsupported and dropSmallPieces are on unless the caller turns them
  // off. inputScale and toolName are set by the sequence.
  MeshOptions mesh;
  ReconstructOptions() {
    mesh.requireWatertight = true;
    mesh.requireSurface = true;
    mesh.dropUnsupported = true;
    mesh.dropSmallPieces = true;
  }
};

struct ReconstructSummary {
  long inputPoints = 0;   // points read, or vertices of a mesh input
  long inputFaces = 0;    // 0 for points
  long reversedFaces = 0;  // faces of a mesh input turned to agree with their neighbours
  long closedParts = 0;    // parts of a closed mesh input (0: points, or an open mesh)
  bool resampled = false;  // sampled again with twice the points (resampleSplit)
  bool reversedNormals = false;  // the input's normals pointed into the surface
  long fittedPoints = 0;  // the points fitted (samples of a mesh input)
  long isolatedPoints = 0;  // stray points dropped before the fit
  long keptIsolated = 0;    // points as isolated, kept for their share (dropped: 0)
  int levels = 0;
  bool levelsChosen = false;  // from the data, not given
  double levelAim = 0.0;      // finest support radius aimed at, in sample spacings
  double sampleSpacing = 0.0;       // input units; 0 when not measurable
  double finestRadius = 0.0;        // input units
  double boxDiagonal = 0.0;         // of the fitted points, input units
  double noiseSigma = 0.0;          // input units: the one the fit follows
  bool noiseMeasured = false;
  long normalsTreated = 0;          // re-oriented or dropped
  double threshold = 0.0;           // THRESHOLD and REGULARIZATION used
  double regularization = 0.0;
  long basisFunctions = 0;
  double fitSeconds = 0.0;
  double seconds = 0.0;             // the whole sequence, wall-clock
  MeshSummary mesh;
};

// Runs the sequence. Progress goes to `log` (nullptr: silent): the input
// and the level choice, one line per level ("level i/N: centres,
// iterations, seconds"), and the extraction's progress bar on `progress`
// (nullptr: none; give it only a terminal). Before reading the input it
// checks that the output folders exist and are writable and that no output
// names the input or the other output; each is an Error naming the path.
// Throws Error for unreadable or invalid input, points whose spacing cannot
// be measured when the levels are to be chosen, numerical failure, or a mesh
// that is not watertight (then no mesh is written); SolverError for the
// solver's own failures. Nothing is left under an output name on failure,
// except a function file written before the mesh failed.
ReconstructSummary reconstruct(const ReconstructOptions& options, std::FILE* log, std::FILE* progress = nullptr);

}  // namespace wendfit
