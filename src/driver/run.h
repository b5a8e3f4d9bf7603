#pragma once
// The run sequence of `wendfit`: read the input, rescale it, fit the levels
// coarse to fine and write the result file. Usable from C++ without the
// command line; `main` only parses arguments into RunOptions.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fitting/level_fitter.h"
#include "function/implicit_function.h"
#include "core/point_set.h"
#include "driver/level_rule.h"
#include "driver/mesh_command.h"
#include "solver/schwarz_solver.h"

namespace wendfit {

struct RunOptions {
  std::string input;
  std::string output;
  int levels = 0;
  // Relative to the box diagonal; 0 fits every centre of every level.
  double errorThreshold = 0.0;
  double regularization = 0.0;
  // The finest this many levels are fitted without the regularization.
  int plainFinestLevels = 0;
  // Which of THRESHOLD and REGULARIZATION the caller gave (the noise
  // settings fill only the others).
  bool thresholdGiven = false;
  bool regularizationGiven = false;
  // Noisy data (--noise): with noise on, the position noise sigma (input
  // units; < 0: estimated from the points) chooses the threshold and the
  // regularization that were not given, and normals that disagree with
  // their neighbourhood are re-oriented or dropped; sigma 0 means exact
  // data, which changes nothing. The estimate and the choice are reported.
  bool noise = false;
  double noiseSigma = -1.0;
  // Negate every input normal after reading.
  bool flipNormals = false;
  // Keep the function's sign right off the surface (see fitting/sign_guard.h).
  bool signGuard = false;
  // Worker threads; 0 keeps the default (OMP_NUM_THREADS, else all cores).
  // The result does not depend on it.
  int threads = 0;
  // Report the time of every phase and the peak memory on `report`.
  bool stats = false;
  // Print no console transcript (whatever `console` is) and no mesh summary;
  // the stats report is still written when asked for.
  bool quiet = false;
  // The solver of every level's system; Bicg is the designed one.
  SolverKind solver = SolverKind::Bicg;
  // Evaluate the function with its single-precision quick terms
  // (ImplicitFunction::plainValues with `quick`) in the fit and the extraction.
  bool quickTerms = false;
  // The geometry of the levels: level l's centres are one per occupied cell
  // at depth l of an octree whose root is the points' box widened
  // `rootScale` times, and its support radius is `radiusPerCell` times
  // the diagonal of such a cell. The designed fit: 1 and 3 (the support
  // radius of level 1 is 1.5 times the box diagonal).
  double rootScale = 1.0;
  double radiusPerCell = kDesignedRadiusPerCell;
  // The median sample spacing of the points to fit, after their rescaling,
  // when the caller has measured it (0: measured where needed).
  double sampleSpacing = 0.0;
  // When not empty: extract the surface after the result file is written
  // and write it here, in the input's own coordinates.
  std::string meshPath;
  MeshOptions mesh;
};

// Half as many centres per support at the designed radii (--sparse-centres):
// cells sqrt(2) wider, kReconstructRadiusPerCell radii per cell diagonal.
void useSparseCentres(RunOptions& options);

// The most levels a run can fit: at the next level the support radius of
// even the smallest box (diagonal 20 after rescaling) falls below 0.000001,
// the smallest radius the result file's six decimals hold.
int maxFitLevels();

// The factor by which a run rescales the points of `inputPath` (20 over the
// largest extent of their box), recomputed from the file. Throws Error as
// the run would for an unreadable file or points without extent.
float fitScale(const std::string& inputPath);

// The points of `inputPath` rescaled as a run rescales them, so in the
// coordinates of the function fitted to them; *scale receives the factor.
// Throws Error like fitScale.
PointSet readFitPoints(const std::string& inputPath, float* scale);

// Reads the input file with the reader its name and content select: a name
// containing ".ply2" is a .ply2 mesh; a file beginning with the line "ply"
// is PLY; .xyz/.xyzn/.pwn/.npts names are XYZ points, .off and .obj names
// meshes; anything else is the point file format. Progress goes to
// `console`. Throws Error for unreadable or invalid input.
PointSet readInput(const std::string& path, std::FILE* console);

// Checks that `points` (read from `name`) span a box that can be rescaled,
// negates every normal when `flip`, and rescales them as a run does.
// Returns the factor applied. Throws Error naming `name` for points that all
// coincide or span more than the float range.
float prepareFitPoints(PointSet& points, const std::string& name, bool flip);

// One fitted level: its number, the centres sampled, the support radius and
// the wall-clock seconds, with what the fitter reported.
struct FittedLevel {
  int level = 0;
  int sampled = 0;
  float radius = 0.0f;
  double seconds = 0.0;
  LevelStats stats;
};

struct FitOutcome {
  std::unique_ptr<ImplicitFunction> function;
  std::vector<FittedLevel> levels;
  double octreeSeconds = 0.0;
  long fitMilliseconds = 0;
  float boxDiagonal = 0.0f;  // of the rescaled points' octree box
  // The samples' sides as the sign guard measured them, in the rescaled
  // coordinates; null without the guard or on data taken as noisy.
  std::shared_ptr<const SampleSides> sampleSides;
};

// The fitting part of a run over points rescaled by prepareFitPoints (the
// octree reorders them): options.levels levels with options'
// errorThreshold, regularization, solver and signGuard. Prints the
// transcript from the function's construction to the fitting time on
// `console` and, per level, the stats line on `statsReport` (either nullptr:
// silent). Throws like runFit's fitting.
// `onLevel`, when set, is called after each level with its figures.
FitOutcome fitLevels(PointSet& points, const RunOptions& options, std::FILE* console,
                     std::FILE* statsReport,
                     const std::function<void(const FittedLevel&)>& onLevel = nullptr);

// Runs the whole sequence and writes options.output (atomically: nothing is
// left under that name unless the run succeeds). Console messages go to
// `console` (nullptr: silent). Before reading the input it checks that the
// folders of options.output and options.meshPath exist and are writable and
// that neither names the input or the other; each is an Error naming the
// path. Throws Error for bad input, numerical failure, an unwritable output
// or more than maxFitLevels() levels, SolverError for the solver's own
// failures.
// With options.stats, phase times and the peak memory go to `report`; the
// surface extraction (options.meshPath) reports there in any case.
void runFit(const RunOptions& options, std::FILE* console, std::FILE* report);

}  // namespace wendfit
