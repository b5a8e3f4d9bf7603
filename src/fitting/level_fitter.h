#pragma once
// LevelFitter: turns one level's centres into basis functions and adds them
// to the implicit function. One fitter lives for the whole run; the driver
// sets function, regularization, errorThreshold and boxDiagonal before the
// first level and calls fitLevel once per level, coarse to fine.
//
// Per level: record the current function's value at every centre; with a
// positive errorThreshold keep only centres near which the function still
// deviates from the data; build a kd-tree; one basis function per centre
// (fitLocal); one sparse system for their constants (fitGlobal); hand the
// records to the function.

#include <cstdio>
#include <memory>
#include <vector>

#include "function/implicit_function.h"
#include "core/point_set.h"
#include "solver/schwarz_solver.h"
#include "solver/sparse_matrix.h"
#include "spatial/kd_tree.h"

namespace wendfit {

class SampleSides;

// What the last fitLevel call did and how long its phases took (wall-clock
// seconds). Filled by every call; cheap enough to keep on in production.
struct LevelStats {
  double evaluationSeconds = 0;  // function values (and gradients) at the centres
  double selectionSeconds = 0;   // kd-tree over the sample and the error scan
  double kdTreeSeconds = 0;      // the kd-tree over the fitted centres
  double assemblySeconds = 0;    // local fitting, matrix and right-hand side
  double solveSeconds = 0;       // the solver, with its set-up
  int selectedCount = 0;         // centres fitted after selection
  int iterations = 0;            // solver iterations
  double solverError = 0;        // the solver's last error estimate (relative residual)
  double rhsNorm = 0;            // Euclidean norm of the right-hand side
  double signGuardSeconds = 0;   // probing and re-solving (signGuard only)
  int signGuardRecords = 0;      // records the sign guard added
};

// The weight w(d / radius) of the level's system: weight() itself, or with
// `plain` the powers of 1 - t as plain products (as plainValue forms them),
// about half the cost and within a few units in the last place.
inline double levelWeight(double d, float radius, bool plain) {
  if (!plain) return weight(d, radius);
  const double supportRadius = radius;
  if (supportRadius < d) return 0.0;
  return plainWeightAt(d / supportRadius);
}

// Which terms functionValues sums: value's (the designed values),
// plainValue's, or the single-precision quick terms.
enum class ValueTerms { Designed, Plain, Quick };

// The function's values at `count` points (xyz: x, y, z each) into values,
// on every thread, with `terms` (plain and quick ones in fixed chunks of
// consecutive points, which plainValues evaluates together, quick or not).
// Each value depends on its point alone, so any thread count stores the
// same values.
void functionValues(const ImplicitFunction& function, const float* xyz, int count, float* values,
                    ValueTerms terms);

struct LevelFitter {
  ImplicitFunction* function = nullptr;
  float regularization = 0.0f;
  float errorThreshold = 0.0f;
  float boxDiagonal = 0.0f;
  // linbcg (the designed solver) or schwarzSolve; both stop at the same
  // relative residual and iteration limit.
  SolverKind solver = SolverKind::Bicg;
  // The earlier levels' values (and the selection's gradients) at a level's
  // centres come from plainValue and plainValueAndGradient (powers by
  // multiplication, about twice as fast) instead of value and
  // valueAndGradient, whose powers are std::pow's to the bit, and the
  // weights of the level's system (and the sign guard's terms) come from
  // levelWeight's plain products. The stored constants then move within
  // the solver's tolerance, in their last bits. Off: the designed values.
  bool plainValues = false;
  // The earlier levels' values (and the selection's designed gradients) at
  // a level's centres and the values at the sign guard's probes come from
  // quickValues: single-precision terms, within float rounding of the full
  // ones. Off: plainValues decides.
  bool quickValues = false;
  // The terms functionValues takes for those values.
  ValueTerms valueTerms() const {
    return quickValues ? ValueTerms::Quick : plainValues ? ValueTerms::Plain : ValueTerms::Designed;
  }
  // Probe every level off the surface and re-solve it with extra records
  // where the sign is wrong (see sign_guard.h). Off: the designed fit.
  bool signGuard = false;
  // The box of the points being fitted (for signGuard: beyond it every
  // point is outside the surface).
  float pointsMin[3] = {0, 0, 0};
  float pointsMax[3] = {0, 0, 0};
  // The oriented points being fitted (for signGuard: which side of them a
  // probe lies on; nullptr: only probes along normals are judged). Must
  // outlive the fitter.
  const PointSet* samples = nullptr;
  // The median spacing of *samples when the caller has measured it (0:
  // measured when needed).
  double samplesSpacing = 0.0;
  // Built from samples by the first guarded level and kept for the others;
  // none in fits with an error threshold (noisy data).
  std::shared_ptr<const SampleSides> sampleSides;
  // Console for the level's lines and the solver's progress (nullptr: silent).
  std::FILE* console = nullptr;

  // Working state of one fitLevel call; meaningless between calls.
  std::unique_ptr<KdTree> kdTree;
  PointSet centres;
  float radius = 0.0f;
  std::vector<BasisFunction> basisFunctions;
  int count = 0;
  int level = 0;
  long long nonZeroCount = 0;
  LevelStats stats;
  // When it has n + 1 entries, fitGlobal's solve starts from it instead of
  // the usual guess (entries 1 ... n); fitGlobal empties it.
  std::vector<double> startGuess;

  // Fits one level: takes the centre set over, fits it with the given support
  // radius and adds the level's basis functions to `function` (which must be
  // set). While the function has no basis functions every centre is fitted;
  // afterwards, with errorThreshold != 0, only the centres closer than the
  // radius to one whose error |value| / |gradient| exceeds the threshold.
  // Prints "<count> basis functions", "Local fitting", "Global fitting", the
  // matrix size line and the solver's progress on `console`. Throws Error
  // when a fitted constant comes out non-finite (nothing is added then), and
  // SolverError from the solver.
  void fitLevel(PointSet levelCentres, float levelRadius, int levelNumber);

  // One record per centre: the linear function -normal . d, constant 0.
  // Needs centres, count, radius and level in place.
  void fitLocal();
  // Solves the level's system for one constant per record and adds it to
  // c9. Needs kdTree over centres (with values) and the records of fitLocal.
  void fitGlobal();

  // Builds the level's system (the assembly half of fitGlobal): sets
  // nonZeroCount and prints it, fills the matrix's arrays (nonZeroCount + 2
  // entries, row j + 1 for centre j: diagonal 3 + regularization, then the
  // weights to the other centres closer than the radius in ascending column
  // order), the right-hand side b and the initial guess x (n + 1 entries).
  // Error when the system would need more than 32-bit indices. The Schwarz
  // solver takes it with single-precision values (SingleSparseMatrix).
  template <typename Matrix>
  void assembleSystem(Matrix& matrix, std::vector<double>& b, std::vector<double>& x);

  // Records values and errors at the centres and replaces `centres` by the
  // centres closer than the radius to one whose error exceeds errorThreshold,
  // in their order after the kd-tree's reordering.
  void selectByError();
};

}  // namespace wendfit
