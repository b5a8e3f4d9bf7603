#include "driver/run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include <omp.h>
#include <sys/resource.h>

#include "driver/level_rule.h"
#include "fitting/level_fitter.h"
#include "fitting/noise_estimate.h"
#include "fitting/sign_guard.h"
#include "function/implicit_function.h"
#include "core/error.h"
#include "io/function_file_writer.h"
#include "io/input_reader.h"
#include "io/output_path.h"
#include "mesh/mesh_writer.h"
#include "spatial/point_octree.h"

namespace wendfit {

namespace {

// The rescaling divides by the largest extent of the points' box; a set
// whose points all coincide has none, and a fit over it would be all NaN;
// a box wider than the float range would scale every point to 0.
void requireExtent(const PointSet& points, const std::string& path) {
  float lo[3];
  float hi[3];
  points.boundingBox(lo, hi, 1.0f);
  const float extents[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
  // Coordinates near the float limits can span more than a float holds; the
  // rescaling would then multiply every point by 0.
  for (float extent : extents) {
    if (!std::isfinite(extent)) {
      throw Error(fileMessage(path, "the points span more than the float range and cannot be "
                                    "rescaled (expected coordinates below about 1e38 in size)"));
    }
  }
  if (extents[0] > 0 || extents[1] > 0 || extents[2] > 0) return;
  throw Error(fileMessage(path, "all " + std::to_string(points.count) +
                                    " points are at one position; nothing to fit "
                                    "(expected points spread over a surface)"));
}

using Clock = std::chrono::steady_clock;

// The fit works on points scaled so that the largest side of their box is
// this long.
constexpr float kRescaledExtent = 20.0f;

// The result file prints radii with "%f"; a smaller radius is written as 0.
constexpr double kSmallestWrittenRadius = 0.000001;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Peak resident memory of the process so far, in MiB.
double peakMemoryMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void reportLevel(std::FILE* report, int level, int sampled, const LevelStats& stats) {
  std::fprintf(report,
               "wendfit: level %d: %d centres, %d fitted; evaluation %.3f s, selection %.3f s, "
               "kd-tree %.3f s, assembly %.3f s, solve %.3f s (%d iterations)\n",
               level, sampled, stats.selectedCount, stats.evaluationSeconds,
               stats.selectionSeconds, stats.kdTreeSeconds, stats.assemblySeconds,
               stats.solveSeconds, stats.iterations);
  if (stats.signGuardSeconds > 0) {
    std::fprintf(report, "wendfit: level %d: sign guard %.3f s, %d records added\n", level,
                 stats.signGuardSeconds, stats.signGuardRecords);
  }
}

// The --noise step, on the points as read (input units): the threshold and
// regularization to use (the given ones where given); `status` receives the
// verdict on every normal. Reports on `report` unless it is nullptr.
NoiseFitSettings settingsForNoise(const RunOptions& options, const PointSet& points,
                                  std::vector<NormalStatus>* status, std::FILE* report) {
  NoiseFitSettings settings;
  settings.threshold = options.errorThreshold;
  settings.regularization = options.regularization;
  settings.levels = options.levels;
  if (!options.noise) return settings;
  const NoiseChoice choice = chooseNoiseSettings(points, options.noiseSigma, std::max(options.levels, 1), status);
  if (!options.thresholdGiven) settings.threshold = choice.settings.threshold;
  if (!options.regularizationGiven) settings.regularization = choice.settings.regularization;
  settings.sigma = choice.sigma;
  if (!report) return settings;
  if (options.noiseSigma == 0) {
    std::fprintf(report, "wendfit: noise 0: the data are taken as exact; REGULARIZATION %.6g%s\n",
                 settings.regularization, options.regularizationGiven ? " (given)" : "");
    return settings;
  }
  const NoiseEstimate& estimate = choice.estimate;
  const std::string source =
      choice.measured ? "measured from " + std::to_string(estimate.fittedSamples) + " local fits" : "as given";
  std::fprintf(report,
               "wendfit: noise %.6g (%.3g %% of the box diagonal, %s); point spacing %.6g; of %d normals "
               "%ld flipped (re-oriented), %ld far off (dropped)\n",
               choice.sigma, 100.0 * choice.sigma / estimate.boxDiagonal, source.c_str(), estimate.spacing,
               points.count, estimate.flippedNormals, estimate.strayNormals);
  std::fprintf(report, "wendfit: noise: THRESHOLD %.6g%s, REGULARIZATION %.6g%s\n", settings.threshold,
               options.thresholdGiven ? " (given)" : "", settings.regularization,
               options.regularizationGiven ? " (given)" : "");
  return settings;
}

void flipNormals(PointSet& points) {
  for (float& component : points.normals) component = -component;
}

// Everything about the files to write that can be known before the input is
// read: minutes of fitting are not spent on a run whose result cannot be
// written or would overwrite its own input.
void checkTargets(const RunOptions& options) {
  requireWritableTarget(options.output);
  if (sameFile(options.output, options.input)) {
    throw Error(fileMessage(options.output, "is the input file " + options.input +
                                                " (expected another name for the result)"));
  }
  if (options.meshPath.empty()) return;
  requireWritableTarget(options.meshPath);
  if (sameFile(options.meshPath, options.input)) {
    throw Error(fileMessage(options.meshPath, "is the input file " + options.input +
                                                  " (expected another name for the mesh)"));
  }
  if (sameFile(options.meshPath, options.output)) {
    throw Error(fileMessage(options.meshPath, "is also the result file " + options.output +
                                                  " (expected another name for the mesh)"));
  }
}

}  // namespace

PointSet readInput(const std::string& path, std::FILE* console) {
  return readAnyInput(path, console);
}

void useSparseCentres(RunOptions& options) {
  options.rootScale = kSparseRootScale;
  options.radiusPerCell = kReconstructRadiusPerCell;
}

int maxFitLevels() {
  // The radii exactly as the run computes them, for the smallest diagonal.
  float radius = kRescaledExtent * 1.5f;
  int levels = 0;
  while (radius >= kSmallestWrittenRadius) {
    ++levels;
    radius *= 0.5f;
  }
  return levels;
}

PointSet readFitPoints(const std::string& inputPath, float* scale) {
  PointSet points = readInput(inputPath, nullptr);
  requireExtent(points, inputPath);
  *scale = points.rescale(kRescaledExtent);
  return points;
}

float fitScale(const std::string& inputPath) {
  float scale = 1.0f;
  readFitPoints(inputPath, &scale);
  return scale;
}

float prepareFitPoints(PointSet& points, const std::string& name, bool flip) {
  requireExtent(points, name);
  if (flip) flipNormals(points);
  return points.rescale(kRescaledExtent);
}

FitOutcome fitLevels(PointSet& points, const RunOptions& options, std::FILE* console,
                     std::FILE* statsReport, const std::function<void(const FittedLevel&)>& onLevel) {
  FitOutcome outcome;
  auto start = std::chrono::steady_clock::now();
  Clock::time_point phase = Clock::now();
  auto octree = std::make_unique<PointOctree>(points, static_cast<float>(options.rootScale));
  outcome.octreeSeconds = secondsSince(phase);
  const float boxDiagonal = octree->boxDiagonal();
  outcome.boxDiagonal = boxDiagonal;

  float boxMin[3];
  float boxMax[3];
  points.boundingBox(boxMin, boxMax, 1.5f);
  outcome.function = std::make_unique<ImplicitFunction>(boxMin, boxMax, console);
  ImplicitFunction& function = *outcome.function;
  function.setOffset(0.0f);

  LevelFitter fitter;
  fitter.function = &function;
  fitter.console = console;
  fitter.boxDiagonal = boxDiagonal;
  fitter.errorThreshold = static_cast<float>(options.errorThreshold * boxDiagonal);
  fitter.solver = options.solver;
  // A fit that leaves the designed solver need not keep its values' last bits.
  fitter.plainValues = options.solver == SolverKind::Schwarz;
  fitter.quickValues = options.quickTerms;
  fitter.signGuard = options.signGuard;
  points.boundingBox(fitter.pointsMin, fitter.pointsMax, 1.0f);
  if (options.signGuard) fitter.samples = &points;
  fitter.samplesSpacing = options.sampleSpacing;

  // Level 1's cells are half the root's diagonal.
  float radius = octree->rootDiagonal() * static_cast<float>(options.radiusPerCell * 0.5);
  for (int level = 1; level <= options.levels; ++level) {
    const Clock::time_point levelStart = Clock::now();
    phase = levelStart;
    PointSet centres = octree->levelCentres(level);
    outcome.octreeSeconds += secondsSince(phase);
    const int sampled = centres.count;
    if (console) {
      std::fprintf(console, "Level %d: %d points\n", level, sampled);
      std::fflush(console);
    }
    // Set level by level: the finest plainFinestLevels get none.
    fitter.regularization =
        level > options.levels - options.plainFinestLevels ? 0.0f : static_cast<float>(options.regularization);
    fitter.fitLevel(std::move(centres), radius, level);
    if (statsReport) reportLevel(statsReport, level, sampled, fitter.stats);
    outcome.levels.push_back({level, sampled, radius, secondsSince(levelStart), fitter.stats});
    if (onLevel) onLevel(outcome.levels.back());
    radius *= 0.5f;
  }
  octree.reset();
  outcome.sampleSides = fitter.sampleSides;

  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  outcome.fitMilliseconds = static_cast<long>(elapsed.count());
  if (console) {
    std::fprintf(console, "Fitting time is %d sec.\n\n", static_cast<int>(elapsed.count() / 1000));
  }
  return outcome;
}

void runFit(const RunOptions& options, std::FILE* console, std::FILE* report) {
  if (options.levels > maxFitLevels()) {
    throw Error(std::to_string(options.levels) + " levels is more than the result file can hold (expected at most " +
                std::to_string(maxFitLevels()) + ")");
  }
  if (options.threads > 0) omp_set_num_threads(options.threads);
  if (options.quiet) console = nullptr;
  std::FILE* statsReport = options.stats ? report : nullptr;
  // An unknown mesh extension is known before hours of fitting.
  if (!options.meshPath.empty()) meshFormatFor(options.meshPath, options.mesh.ascii);
  checkTargets(options);
  Clock::time_point phase = Clock::now();
  PointSet points = readInput(options.input, console);
  requireExtent(points, options.input);
  if (options.flipNormals) flipNormals(points);
  std::vector<NormalStatus> normalStatus;
  const NoiseFitSettings settings =
      settingsForNoise(options, points, &normalStatus, options.quiet ? nullptr : report);
  const float scale = prepareFitPoints(points, options.input, false);
  // After the rescaling, so that the scale is the one the other tools
  // recompute from the whole file.
  if (!normalStatus.empty()) treatNormals(points, normalStatus);
  const double readSeconds = secondsSince(phase);

  RunOptions fitOptions = options;
  fitOptions.errorThreshold = settings.threshold;
  fitOptions.regularization = settings.regularization;
  if (options.signGuard && !options.regularizationGiven && !options.noise) {
    fitOptions.regularization = kGuardRegularization;
    fitOptions.plainFinestLevels = kGuardPlainLevels;
    const int smoothed = options.levels - kGuardPlainLevels;
    if (report && !options.quiet && smoothed > 0) {
      const std::string where = smoothed == 1 ? "level 1" : "levels 1 to " + std::to_string(smoothed);
      std::fprintf(report, "wendfit: sign guard: REGULARIZATION %g at %s, 0 at the finer ones\n",
                   kGuardRegularization, where.c_str());
    }
  }
  FitOutcome outcome = fitLevels(points, fitOptions, console, statsReport);
  const ImplicitFunction& function = *outcome.function;

  phase = Clock::now();
  writeFunctionFile(function, options.output, console);
  const double writeSeconds = secondsSince(phase);
  if (!options.meshPath.empty()) {
    MeshOptions mesh = options.mesh;
    mesh.inputScale = scale;
    mesh.toolName = "wendfit";
    mesh.extraction.noise = settings.sigma * scale;
    // The points are in the function's coordinates, reordered by the octree.
    const MeshSummary summary =
        writeFunctionMesh(function, options.meshPath, mesh, options.quiet ? nullptr : report, &points);
    // An empty mesh or one in pieces is most often a level count that does
    // not suit the data; say which one would.
    std::string advice = coarseGridReason(mesh, summary);
    if (advice.empty()) {
      advice = levelAdvice(options.levels, outcome.boxDiagonal / scale, summary.sampleSpacing, summary.triangles,
                           summary.components);
    }
    if (!options.quiet && report && !advice.empty()) std::fprintf(report, "wendfit: hint: %s\n", advice.c_str());
  }
  if (statsReport) {
    std::fprintf(statsReport,
                 "wendfit: read %.3f s, octree %.3f s, fit %.3f s, write %.3f s; %ld basis "
                 "functions; peak memory %.1f MiB\n",
                 readSeconds, outcome.octreeSeconds, outcome.fitMilliseconds / 1000.0, writeSeconds,
                 function.functionCount(), peakMemoryMiB());
  }
}

}  // namespace wendfit
