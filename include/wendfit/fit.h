#pragma once
// Fitting an implicit function to oriented points held in memory: the same
// sequence as the wendfit tool (rescale so that the largest side of the box
// is 20, then one level after another, coarse to fine), without files.

#include <cstdio>
#include <string>
#include <vector>

#include <wendfit/function.h>

namespace wendfit {

// Points with outward unit normals (normals need not be unit length; they
// must not all be zero). positions and normals hold 3 floats per point.
struct OrientedPoints {
  std::vector<float> positions;
  std::vector<float> normals;

  long count() const { return static_cast<long>(positions.size() / 3); }
};

enum class Solver {
  Bicg,     // preconditioned biconjugate gradients, the designed method
  Schwarz,  // the same stopping test in tens of iterations
};

struct FitOptions {
  // Levels to fit, 1 to maxLevels(); level 1 has the support radius 1.5 x
  // the box diagonal, each further level half the previous one.
  int levels = 8;
  // Relative to the box diagonal; 0 fits every centre of every level, a
  // positive value refits a level only near centres where the function so
  // far deviates from the data.
  double errorThreshold = 0.0;
  // Added to the diagonal of every level's system; not negative.
  double regularization = 0.0;
  // The finest this many levels get no regularization (0: every level gets
  // it). The command line's --sign-guard without REGULARIZATION fits with
  // regularization 1 and 2 here: the coarse levels' overshoot at thin and
  // sharp features is damped, the finest levels keep the detail.
  int plainFinestLevels = 0;
  Solver solver = Solver::Bicg;
  // After each level, probe the function off the surface and refit the
  // level with extra records where its sign is wrong.
  bool signGuard = false;
  // Half as many centres per support, on octree cells sqrt(2) wider, with
  // the same radii: about a third faster on dense scans (the command line's
  // --sparse-centres).
  bool sparseCentres = false;
  // Evaluate the function in single precision where the fit needs its
  // values (about twice as fast, within float rounding of the full terms).
  bool quickTerms = false;
  // Worker threads; 0 keeps OpenMP's default (OMP_NUM_THREADS, else all
  // cores). The function does not depend on it.
  int threads = 0;
  // Where the tool's console transcript goes (reader-free: the level lines,
  // the solver's progress, the fitting time); nullptr prints nothing.
  std::FILE* console = nullptr;
};

// What one level did.
struct LevelReport {
  int level = 0;
  float supportRadius = 0.0f;  // in the function's coordinates
  int centres = 0;             // sampled from the point octree
  int fitted = 0;              // kept after the error selection
  int iterations = 0;          // solver iterations
  double relativeResidual = 0.0;  // the solver's last error estimate
  int signGuardRecords = 0;    // records the sign guard added
  double seconds = 0.0;        // wall-clock time of the level
};

struct FitResult {
  Function function;
  // The factor the points were multiplied by (20 over the largest side of
  // their box): a point p of the input is p * scale in the function.
  float scale = 1.0f;
  std::vector<LevelReport> levels;
};

// The largest `levels` a fit accepts.
int maxLevels();

// Fits `points`. Throws Error for mismatched or empty arrays, a coordinate
// or normal that is not finite, normals that are all zero, points that all
// coincide, options out of range, or a numerical failure (SolverError for
// the solver's own failures).
FitResult fit(OrientedPoints points, const FitOptions& options);

// Reads oriented points (or a mesh, whose vertex normals are estimated from
// its faces) from any input format the wendfit tool reads, chosen by name
// and content; normals point outside in every format. Throws Error
// "<file>:<line>: <problem>" for unreadable or malformed input.
OrientedPoints readPoints(const std::string& path);

}  // namespace wendfit
