// Fitting oriented points held in memory: the run sequence of the wendfit
// tool without its files (see driver/run.h), and reading points as it reads
// them.

#include <wendfit/fit.h>

#include <cmath>
#include <string>

#include "api/thread_count.h"
#include "driver/run.h"
#include "core/error.h"
#include "io/input_reader.h"

namespace wendfit {

namespace {

// Names the caller's arrays in messages, as a reader names its file.
constexpr const char* kPointsName = "points";

void checkPoints(const OrientedPoints& points) {
  if (points.positions.size() % 3 != 0 || points.positions.size() != points.normals.size()) {
    throw Error(fileMessage(kPointsName, std::to_string(points.positions.size()) + " position and " +
                                             std::to_string(points.normals.size()) +
                                             " normal components (expected 3 of each per point)"));
  }
  if (points.positions.empty()) throw Error(fileMessage(kPointsName, "no points (expected at least one)"));
  if (points.count() > INT32_MAX) {
    throw Error(fileMessage(kPointsName, std::to_string(points.count()) + " points (expected at most " +
                                             std::to_string(INT32_MAX) + ")"));
  }
  bool anyNormal = false;
  for (size_t i = 0; i < points.positions.size(); ++i) {
    if (!std::isfinite(points.positions[i]) || !std::isfinite(points.normals[i])) {
      throw Error(fileMessage(kPointsName, "point " + std::to_string(i / 3) +
                                               " has a component that is not finite (expected finite numbers)"));
    }
    anyNormal = anyNormal || points.normals[i] != 0.0f;
  }
  if (!anyNormal) {
    throw Error(fileMessage(kPointsName, "every normal is zero (expected normals pointing outside)"));
  }
}

void checkOptions(const FitOptions& options) {
  if (options.levels < 1 || options.levels > maxFitLevels()) {
    throw Error("fit: " + std::to_string(options.levels) + " levels (expected 1 to " +
                std::to_string(maxFitLevels()) + ")");
  }
  if (!(options.errorThreshold >= 0.0) || !std::isfinite(options.errorThreshold)) {
    throw Error("fit: error threshold " + std::to_string(options.errorThreshold) +
                " (expected a finite number, not negative)");
  }
  if (!(options.regularization >= 0.0) || !std::isfinite(options.regularization)) {
    throw Error("fit: regularization " + std::to_string(options.regularization) +
                " (expected a finite number, not negative)");
  }
  if (options.plainFinestLevels < 0) {
    throw Error("fit: " + std::to_string(options.plainFinestLevels) +
                " finest levels without regularization (expected 0 or more)");
  }
}

}  // namespace

int maxLevels() { return maxFitLevels(); }

FitResult fit(OrientedPoints points, const FitOptions& options) {
  checkPoints(points);
  checkOptions(options);
  ScopedThreadCount threads(options.threads);
  PointSet set;
  set.count = static_cast<int>(points.count());
  set.positions = std::move(points.positions);
  set.normals = std::move(points.normals);

  RunOptions run;
  run.levels = options.levels;
  run.errorThreshold = options.errorThreshold;
  run.regularization = options.regularization;
  run.plainFinestLevels = options.plainFinestLevels;
  run.solver = options.solver == Solver::Schwarz ? SolverKind::Schwarz : SolverKind::Bicg;
  run.signGuard = options.signGuard;
  run.quickTerms = options.quickTerms;
  if (options.sparseCentres) useSparseCentres(run);

  FitResult result;
  result.scale = prepareFitPoints(set, kPointsName, false);
  FitOutcome outcome = fitLevels(set, run, options.console, nullptr);
  result.function = Function(std::move(outcome.function));
  for (const FittedLevel& level : outcome.levels) {
    LevelReport report;
    report.level = level.level;
    report.supportRadius = level.radius;
    report.centres = level.sampled;
    report.fitted = level.stats.selectedCount;
    report.iterations = level.stats.iterations;
    report.relativeResidual = level.stats.solverError;
    report.signGuardRecords = level.stats.signGuardRecords;
    report.seconds = level.seconds;
    result.levels.push_back(report);
  }
  return result;
}

OrientedPoints readPoints(const std::string& path) {
  PointSet set = readAnyInput(path, nullptr);
  OrientedPoints points;
  points.positions = std::move(set.positions);
  points.normals = std::move(set.normals);
  return points;
}

}  // namespace wendfit
