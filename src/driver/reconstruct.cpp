#include "driver/reconstruct.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include <omp.h>

#include "driver/level_rule.h"
#include "driver/run.h"
#include "fitting/level_fitter.h"
#include "fitting/noise_estimate.h"
#include "fitting/sample_sides.h"
#include "function/implicit_function.h"
#include "core/error.h"
#include "core/float_precision.h"
#include "io/function_file_writer.h"
#include "io/input_reader.h"
#include "io/output_path.h"
#include "mesh/face_orientation.h"
#include "mesh/face_sampling.h"
#include "mesh/mesh_writer.h"
#include "spatial/isolated_points.h"
#include "spatial/point_octree.h"

namespace wendfit {

namespace {

using Clock = std::chrono::steady_clock;

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
  // Faces sampled with their own normals must agree on the outside.
  FaceParts shape;
  summary.reversedFaces = orientFacesConsistently(points, faces, &shape);
  summary.closedParts = shape.closed ? shape.parts : 0;
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
                 options.samples > 0 ? (summary.resampled ? " (twice as many)" : " (--samples)") : "");
    if (summary.reversedFaces > 0) {
      std::fprintf(log, "%ld faces reversed to agree with their neighbours\n", summary.reversedFaces);
    }
  }
  return samples;
}

// Chooses (by the designed rule) or checks the level count and fills the
// summary's spacing; `points` are rescaled by `scale`. `spacing`: the
// median spacing of `points` when known (else 0, and it receives it; 0 when
// there is none).
int chooseLevels(const ReconstructOptions& options, const PointSet& points, float boxDiagonal, float scale,
                 ReconstructSummary& summary, double& spacing) {
  if (!(spacing > 0.0)) spacing = measureSampleSpacing(points);
  int levels = options.levels;
  if (levels == 0) {
    if (!(spacing > 0.0)) {
      throw Error(fileMessage(options.input, "the sample spacing cannot be measured: no point has a distinct "
                                             "neighbour (expected points spread over a surface, or --levels N)"));
    }
    levels = levelsForSpacing(boxDiagonal, spacing, summary.levelAim);
    summary.levelsChosen = true;
  } else if (levels > maxFitLevels()) {
    throw Error(std::to_string(levels) + " levels is more than the result file can hold (expected at most " +
                std::to_string(maxFitLevels()) + ")");
  }
  if (spacing > 0.0) {
    // Positions are floats: far from the origin their rounding can exceed
    // the spacing, and the fit would follow the rounding, not the surface.
    float lo[3], hi[3];
    points.boundingBox(lo, hi, 1.0f);
    double reach = 0.0;
    for (int a = 0; a < 3; ++a) reach = std::max({reach, std::fabs(double{lo[a]}), std::fabs(double{hi[a]})});
    const double step = floatStepAt(reach);
    if (step * kLeastFloatStepsPerDetail > spacing) {
      char text[400];
      std::snprintf(text, sizeof text,
                    "the points reach %.9g from the origin but lie only %.3g apart: single precision resolves "
                    "%.3g there, too coarse for that spacing (expected points nearer the origin: translate them)",
                    reach / scale, spacing / scale, step / scale);
      throw Error(fileMessage(options.input, text));
    }
  }
  summary.sampleSpacing = spacing / scale;
  summary.boxDiagonal = boxDiagonal / scale;
  return levels;
}

// Exact point data take sparser centres (kReconstructRadiusPerCell) and,
// when the levels are chosen, the rule's radius exactly; given levels keep
// the designed radii. Noisy data and mesh inputs keep the designed
// geometry, whose settings their noise rule and sampling were measured on
// (sparser centres grew sheets across half the noisy scans).
LevelGeometry settleGeometry(int levels, bool sparse, float boxDiagonal, float scale, double spacing,
                             ReconstructSummary& summary) {
  LevelGeometry geometry{levels};
  if (sparse) {
    geometry = summary.levelsChosen
                   ? exactLevels(boxDiagonal, spacing, summary.levelAim, kReconstructRadiusPerCell)
                   : LevelGeometry{levels, kSparseRootScale, kReconstructRadiusPerCell};
  }
  summary.levels = geometry.levels;
  summary.finestRadius =
      finestSupportRadius(geometry.levels, boxDiagonal, geometry.rootScale, geometry.radiusPerCell) / scale;
  return geometry;
}

void printLevels(std::FILE* log, const ReconstructSummary& summary) {
  if (!log) return;
  if (summary.sampleSpacing > 0.0) {
    std::fprintf(log, "levels %d%s: median sample spacing %.3g, finest support radius %.3g = %.2g spacings\n",
                 summary.levels, summary.levelsChosen ? "" : " (--levels)", summary.sampleSpacing,
                 summary.finestRadius, summary.finestRadius / summary.sampleSpacing);
  } else {
    std::fprintf(log, "levels %d (--levels): sample spacing unknown, finest support radius %.3g\n", summary.levels,
                 summary.finestRadius);
  }
  std::fflush(log);
}

// Scanned points often hold stray returns off the surface. The fit scales
// every level to the points' box, so ten of them ten box sizes away made the
// box twenty times wider, its coarse levels filled the empty box with a
// sheet, and tracing that took gigabytes. Within the box, each one that is
// kept grows a closed piece of its own: 1 % outliers scattered through a
// bear's box (1,000 among 100,000 points) gave 9 pieces and 663,000
// triangles instead of one piece of 200,000, when only those with no others
// within 32 sample spacings were dropped (30 of them). Isolated points are
// dropped (and counted) unless they are many: then they are the data,
// however sparse.
struct IsolatedPoints {
  long dropped = 0;       // isolated points taken out of the set
  long spared = 0;        // isolated points kept for their share
  double spacing = 0.0;   // the set's median spacing, when nothing was dropped (0 else)
};

IsolatedPoints dropIsolatedPoints(PointSet& points, bool dropAll) {
  IsolatedPoints result;
  const double spacing = measureSampleSpacing(points);
  result.spacing = spacing;
  if (!(spacing > 0.0)) return result;
  const std::vector<char> isolated = isolatedPoints(points, kIsolationSpacings * spacing, kIsolationNeighbours);
  const long count = static_cast<long>(std::count(isolated.begin(), isolated.end(), 1));
  if (count == 0) return result;
  if (!dropAll && count > kMostIsolatedShare * points.count) {
    result.spared = count;
    return result;
  }
  result.spacing = 0.0;
  std::vector<char> keep(isolated.size());
  for (size_t i = 0; i < keep.size(); ++i) keep[i] = !isolated[i];
  points = points.subset(keep);
  result.dropped = count;
  return result;
}

ReconstructSummary reconstructOnce(const ReconstructOptions& options, std::FILE* log, std::FILE* progress,
                                   bool resampled) {
  const Clock::time_point start = Clock::now();
  if (options.threads > 0) omp_set_num_threads(options.threads);
  checkTargets(options);
  ReconstructSummary summary;
  summary.resampled = resampled;
  PointSet points = readOrientedPoints(options, summary, log);
  // The sign guard takes everything beyond the points' box as outside, on
  // the side the normals point to; normals that point in (a mesh whose
  // faces run clockwise) set it against the data: on a box-shaped beam it
  // pinned 200,000 records and took 45 s instead of 2.5.
  // They are reversed with the rescaling below.
  summary.reversedNormals = normalsPointInward(points);
  if (summary.reversedNormals && log) {
    std::fprintf(log, "the normals point into the surface (they enclose a negative volume): reversed\n");
  }
  // A mesh input's samples are exact and as many as its sampling rule
  // chooses; its sharp edges and thin walls keep the finer aim and the
  // default grid (at the coarser aim, a triple torus's 65,000 face samples
  // left a bubble beside a concave edge).
  const bool meshInput = summary.inputFaces > 0;
  summary.levelAim = meshInput ? kFinestRadiusSpacings : kReconstructRadiusSpacings;
  // The spacing is measured once: before the rescaling where the stray
  // points are looked for (and none dropped), else after it.
  double inputSpacing = 0.0;
  if (summary.inputFaces == 0 && options.dropIsolated) {
    const IsolatedPoints isolated = dropIsolatedPoints(points, options.dropAllIsolated);
    summary.isolatedPoints = isolated.dropped;
    summary.keptIsolated = isolated.spared;
    inputSpacing = isolated.spacing;
    if (log && summary.isolatedPoints > 0) {
      std::fprintf(log, "%ld isolated points dropped: fewer than %d others within about %.0f sample spacings\n",
                   summary.isolatedPoints, kIsolationNeighbours, kIsolationSpacings);
    }
    // Kept, they may be outliers that each grow a piece of surface: say so.
    if (log && summary.keptIsolated > 0) {
      std::fprintf(log,
                   "%ld points (%.1f %% of them) have fewer than %d others within about %.0f sample spacings: "
                   "kept as a sparse part of the data (more than %.0f %%); --drop-isolated drops them\n",
                   summary.keptIsolated, 100.0 * static_cast<double>(summary.keptIsolated) / points.count,
                   kIsolationNeighbours, kIsolationSpacings, 100.0 * kMostIsolatedShare);
    }
  }
  summary.fittedPoints = points.count;
  const float scale = prepareFitPoints(points, options.input, summary.reversedNormals);

  // The fit exactly as `wendfit` runs it, with the options' solver and guard.
  const Clock::time_point fitStart = Clock::now();
  const float boxDiagonal = octreeBoxDiagonal(points);
  double spacing = inputSpacing * scale;
  int levels = chooseLevels(options, points, boxDiagonal, scale, summary, spacing);
  // Noise: measured on the rescaled points (the settings are relative to the
  // box), reported in input units. Exact data keep every level and
  // threshold 0, lightly smoothed.
  std::vector<NormalStatus> normalStatus;
  NoiseChoice noise = chooseNoiseSettings(
      points, options.noiseSigma > 0 ? options.noiseSigma * scale : options.noiseSigma, levels, &normalStatus,
      spacing);
  // A mesh input's samples lie on its faces exactly, whatever the measure
  // says (bull, armadillo and five more of the libcgal-demo meshes read as
  // noisy, their sharp edges and thin parts taken for noise).
  if (!meshInput && noise.estimate.opposedShare > kMostOpposedShare) {
    char text[240];
    std::snprintf(text, sizeof text,
                  ": the normals are not consistently oriented: %.0f %% of a point's neighbours face the other way "
                  "on average (expected normals that all point out of the surface, or all into it)",
                  100.0 * noise.estimate.opposedShare);
    throw Error(options.input + text);
  }
  const bool exactFaces = meshInput && options.noiseSigma < 0 && noise.settings.threshold > 0;
  if (exactFaces) takeAsExact(noise, levels, &normalStatus);
  const bool sparse = !meshInput && noise.settings.threshold == 0.0;
  const LevelGeometry geometry = settleGeometry(levels, sparse, boxDiagonal, scale, spacing, summary);
  levels = geometry.levels;
  printLevels(log, summary);
  const int measuredCount = points.count;
  summary.normalsTreated = treatNormals(points, normalStatus);
  // The spacing still holds when no point went with its normal.
  const double fittedSpacing = points.count == measuredCount ? spacing : 0.0;
  summary.noiseSigma = noise.sigma / scale;
  summary.noiseMeasured = noise.measured;
  summary.threshold = noise.settings.threshold;
  summary.regularization = noise.settings.regularization;
  if (summary.levelsChosen && !sparse) levels = noise.settings.levels;
  summary.levels = levels;
  if (log) {
    std::fprintf(log, "noise %.3g (%.3g %% of the box diagonal, %s); %ld normals re-oriented or dropped; "
                      "threshold %.3g, regularization %.3g, %d levels\n",
                 summary.noiseSigma, 100.0 * noise.sigma / boxDiagonal,
                 exactFaces ? "a mesh's face samples: exact" : options.noiseSigma < 0 ? "measured" : "given",
                 summary.normalsTreated, summary.threshold,
                 summary.regularization, levels);
    std::fflush(log);
  }
  RunOptions fit;
  fit.levels = levels;
  fit.errorThreshold = summary.threshold;
  fit.regularization = summary.regularization;
  fit.solver = options.solver;
  fit.signGuard = options.signGuard;
  fit.sampleSpacing = fittedSpacing;
  fit.quickTerms = options.quickTerms;
  fit.rootScale = geometry.rootScale;
  fit.radiusPerCell = geometry.radiusPerCell;
  const FitOutcome outcome = fitLevels(points, fit, nullptr, nullptr, [&](const FittedLevel& level) {
    if (!log) return;
    std::fprintf(log, "level %d/%d: %d centres, %d iterations, %.2f s\n", level.level, levels, level.sampled,
                 level.stats.iterations, level.seconds);
    std::fflush(log);
  });
  const ImplicitFunction& function = *outcome.function;
  summary.basisFunctions = function.functionCount();
  summary.fitSeconds = secondsSince(fitStart);

  if (!options.functionPath.empty()) writeFunctionFile(function, options.functionPath, nullptr);
  MeshOptions mesh = options.mesh;
  mesh.inputScale = scale;
  mesh.toolName = "wendfit-reconstruct";
  mesh.extraction.cellsPerRadius = meshInput ? kDefaultCellsPerRadius : kMeshCellsPerRadius;
  // On noisy data a grid finer than the noise traces the bumps the finest
  // level left in the function (diplodocus with 0.5 % noise: mean distance
  // 1.04e-3 of the diagonal with cells of 2.3 sigma, 1.18e-3 with 1.2).
  if (summary.threshold > 0) mesh.extraction.leastCell = kNoiseCellSigmas * noise.sigma;
  // A point input's finest centres are sparser than its samples (see
  // kReconstructRadiusPerCell): the grid follows the samples' spacing.
  if (sparse && spacing > 0.0) {
    mesh.extraction.leastCell = std::max(mesh.extraction.leastCell, kMeshCellSpacings * spacing);
    mesh.extraction.leastCellFromCentres = false;
  }
  mesh.extraction.progress = progress;
  mesh.extraction.noise = noise.sigma;
  mesh.extraction.quickTerms = options.quickTerms;
  mesh.dataSpacing = fittedSpacing;
  mesh.dataSides = outcome.sampleSides;
  // An empty mesh is no answer to "a surface from these points": say why
  // instead of writing it.
  if (mesh.emptyReason.empty()) {
    mesh.emptyReason = levelAdvice(levels, summary.boxDiagonal, summary.sampleSpacing, 0, 0,
                                     summary.levelAim);
  }
  summary.mesh = writeFunctionMesh(function, options.meshPath, mesh, nullptr, &points);
  summary.seconds = secondsSince(start);
  return summary;
}

}  // namespace

ReconstructSummary reconstruct(const ReconstructOptions& options, std::FILE* log, std::FILE* progress) {
  const Clock::time_point start = Clock::now();
  ReconstructSummary summary = reconstructOnce(options, log, progress, false);
  // A thin part (an ear, a horn) that the default samples leave thinner
  // than the finest support comes out detached: bull, triceratops and
  // cheese of libcgal-demo, closed meshes of one part, gave 2, 2 and 5
  // pieces, and one piece each with twice the samples.
  if (options.resampleSplit && options.samples == 0 && summary.closedParts > 0 &&
      summary.mesh.components > summary.closedParts && summary.fittedPoints <= INT32_MAX / 2) {
    if (log) {
      std::fprintf(log, "the surface came out in %ld pieces where the mesh has %ld: sampling it again with twice "
                        "the points\n",
                   summary.mesh.components, summary.closedParts);
      std::fflush(log);
    }
    ReconstructOptions again = options;
    again.samples = 2 * summary.fittedPoints;
    // The outputs are replaced only when written whole, so a second run
    // that fails leaves the first one's in place, and they stand.
    std::string failure;
    try {
      ReconstructSummary second = reconstructOnce(again, log, progress, true);
      second.seconds = secondsSince(start);
      return second;
    } catch (const std::bad_alloc&) {
      failure = "ran out of memory";
    } catch (const std::exception& error) {
      failure = std::string("failed (") + error.what() + ")";
    }
    if (log) {
      std::fprintf(log, "sampling again %s: the first mesh stands\n", failure.c_str());
      std::fflush(log);
    }
    summary.seconds = secondsSince(start);
  }
  return summary;
}

}  // namespace wendfit
