#include "driver/reconstruct.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>

#include <omp.h>

#include "driver/level_rule.h"
#include "driver/run.h"
#include "fitting/level_fitter.h"
#include "fitting/noise_estimate.h"
#include "function/implicit_function.h"
#include "core/error.h"
#include "io/function_file_writer.h"
#include "io/input_reader.h"
#include "io/output_path.h"
#include "mesh/face_sampling.h"
#include "mesh/mesh_writer.h"
#include "spatial/point_octree.h"

namespace wendfit {

namespace {

using Clock = std::chrono::steady_clock;

// The fit works on points scaled so that the largest side of their box is
// this long, as `wendfit` does, so that a kept function file is the one
// `wendfit` would write for the same points and levels.
constexpr float kRescaledExtent = 20.0f;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void requireDistinct(const std::string& path, const std::string& other, const char* what) {
  if (!other.empty() && sameFile(path, other)) {
    throw Error(fileMessage(path, std::string("is also ") + what + " (expected another name)"));
  }
}

// Everything about the outputs that can be known before the input is read.
void checkTargets(const ReconstructOptions& options) {
  meshFormatFor(options.meshPath, options.mesh.ascii);
  requireWritableTarget(options.meshPath);
  requireDistinct(options.meshPath, options.input, "the input file");
  if (options.functionPath.empty()) return;
  requireWritableTarget(options.functionPath);
  requireDistinct(options.functionPath, options.input, "the input file");
  requireDistinct(options.functionPath, options.meshPath, "the mesh file");
}

// The largest side of the points' box; an Error naming the file when the
// points have none (all at one position) or span more than a float holds.
void requireExtent(const PointSet& points, const std::string& path) {
  float lo[3];
  float hi[3];
  points.boundingBox(lo, hi, 1.0f);
  float largest = 0.0f;
  for (int k = 0; k < 3; ++k) largest = std::max(largest, hi[k] - lo[k]);
  if (!std::isfinite(largest)) {
    throw Error(fileMessage(path, "the points span more than the float range (expected coordinates below about 1e38)"));
  }
  if (!(largest > 0.0f)) {
    throw Error(fileMessage(path, "all " + std::to_string(points.count) +
                                      " points are at one position (expected points spread over a surface)"));
  }
}

// The input as oriented points: a point file as read, a mesh sampled on its
// faces.
PointSet readOrientedPoints(const ReconstructOptions& options, ReconstructSummary& summary, std::FILE* log) {
  FaceList faces;
  PointSet points = readAnyInput(options.input, nullptr, &faces);
  summary.inputPoints = points.count;
  summary.inputFaces = faces.count();
  if (faces.count() == 0) {
    if (log) std::fprintf(log, "input %s: %d oriented points\n", options.input.c_str(), points.count);
    return points;
  }
  const long count = options.samples > 0 ? options.samples : defaultSampleCount(points, faces);
  PointSet samples;
  try {
    samples = sampleMeshFaces(points, faces, count, options.seed);
  } catch (const Error& error) {
    throw Error(fileMessage(options.input, error.what()));
  }
  if (log) {
    std::fprintf(log, "input %s: mesh of %d vertices and %d faces; %d points sampled on the faces%s\n",
                 options.input.c_str(), points.count, faces.count(), samples.count,
                 options.samples > 0 ? " (--samples)" : "");
  }
  return samples;
}

// Chooses or checks the level count and fills the summary's spacing and
// radius; `points` are rescaled by `scale`.
int chooseLevels(const ReconstructOptions& options, const PointSet& points, float boxDiagonal, float scale,
                 ReconstructSummary& summary, std::FILE* log) {
  const double spacing = measureSampleSpacing(points);
  int levels = options.levels;
  if (levels == 0) {
    if (!(spacing > 0.0)) {
      throw Error(fileMessage(options.input, "the sample spacing cannot be measured: no point has a distinct "
                                             "neighbour (expected points spread over a surface, or --levels N)"));
    }
    levels = levelsForSpacing(boxDiagonal, spacing);
    summary.levelsChosen = true;
  } else if (levels > maxFitLevels()) {
    throw Error(std::to_string(levels) + " levels is more than the result file can hold (expected at most " +
                std::to_string(maxFitLevels()) + ")");
  }
  summary.levels = levels;
  summary.sampleSpacing = spacing / scale;
  summary.finestRadius = finestSupportRadius(levels, boxDiagonal) / scale;
  summary.boxDiagonal = boxDiagonal / scale;
  if (log) {
    if (spacing > 0.0) {
      std::fprintf(log, "levels %d%s: median sample spacing %.3g, finest support radius %.3g = %.2g spacings\n",
                   levels, summary.levelsChosen ? "" : " (--levels)", summary.sampleSpacing,
                   summary.finestRadius, summary.finestRadius / summary.sampleSpacing);
    } else {
      std::fprintf(log, "levels %d (--levels): sample spacing unknown, finest support radius %.3g\n", levels,
                   summary.finestRadius);
    }
    std::fflush(log);
  }
  return levels;
}

}  // namespace

ReconstructSummary reconstruct(const ReconstructOptions& options, std::FILE* log, std::FILE* progress) {
  const Clock::time_point start = Clock::now();
  if (options.threads > 0) omp_set_num_threads(options.threads);
  checkTargets(options);
  ReconstructSummary summary;
  PointSet points = readOrientedPoints(options, summary, log);
  requireExtent(points, options.input);
  summary.fittedPoints = points.count;
  const float scale = points.rescale(kRescaledExtent);

  // The fit exactly as `wendfit` runs it, with the options' solver and guard.
  const Clock::time_point fitStart = Clock::now();
  auto octree = std::make_unique<PointOctree>(points);
  const float* h = octree->halfExtent;
  const float boxDiagonal = 2.0f * std::sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]);
  int levels = chooseLevels(options, points, boxDiagonal, scale, summary, log);
  // Noise: measured on the rescaled points (the settings are relative to the
  // box), reported in input units. Exact data keep the designed settings.
  std::vector<NormalStatus> normalStatus;
  const NoiseChoice noise = chooseNoiseSettings(
      points, options.noiseSigma > 0 ? options.noiseSigma * scale : options.noiseSigma, levels, &normalStatus);
  summary.normalsTreated = treatNormals(points, normalStatus);
  summary.noiseSigma = noise.sigma / scale;
  summary.noiseMeasured = noise.measured;
  summary.threshold = noise.settings.threshold;
  summary.regularization = noise.settings.regularization;
  if (summary.levelsChosen) levels = noise.settings.levels;
  summary.levels = levels;
  if (log) {
    std::fprintf(log, "noise %.3g (%.3g %% of the box diagonal, %s); %ld normals re-oriented or dropped; "
                      "threshold %.3g, regularization %.3g, %d levels\n",
                 summary.noiseSigma, 100.0 * noise.sigma / boxDiagonal,
                 options.noiseSigma < 0 ? "measured" : "given", summary.normalsTreated, summary.threshold,
                 summary.regularization, levels);
    std::fflush(log);
  }
  if (summary.normalsTreated > 0) {
    // Dropped points change the box the fit was laid out for.
    octree = std::make_unique<PointOctree>(points);
  }
  float boxMin[3];
  float boxMax[3];
  points.boundingBox(boxMin, boxMax, 1.5f);
  ImplicitFunction function(boxMin, boxMax, nullptr);
  function.offset = 0.0f;
  LevelFitter fitter;
  fitter.function = &function;
  fitter.console = nullptr;
  fitter.boxDiagonal = boxDiagonal;
  fitter.errorThreshold = static_cast<float>(summary.threshold * boxDiagonal);
  fitter.regularization = static_cast<float>(summary.regularization);
  fitter.solver = options.solver;
  fitter.signGuard = options.signGuard;
  points.boundingBox(fitter.pointsMin, fitter.pointsMax, 1.0f);
  float radius = boxDiagonal * 1.5f;
  for (int level = 1; level <= levels; ++level) {
    const Clock::time_point levelStart = Clock::now();
    PointSet centres = octree->levelCentres(level);
    const int sampled = centres.count;
    fitter.fitLevel(std::move(centres), radius, level);
    if (log) {
      std::fprintf(log, "level %d/%d: %d centres, %d iterations, %.2f s\n", level, levels, sampled,
                   fitter.stats.iterations, secondsSince(levelStart));
      std::fflush(log);
    }
    radius *= 0.5f;
  }
  octree.reset();
  summary.basisFunctions = function.functionCount();
  summary.fitSeconds = secondsSince(fitStart);

  if (!options.functionPath.empty()) writeFunctionFile(function, options.functionPath, nullptr);
  MeshOptions mesh = options.mesh;
  mesh.inputScale = scale;
  mesh.toolName = "wendfit-reconstruct";
  mesh.extraction.progress = progress;
  summary.mesh = writeFunctionMesh(function, options.meshPath, mesh, nullptr, &points);
  summary.seconds = secondsSince(start);
  return summary;
}

}  // namespace wendfit
