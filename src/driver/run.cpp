#include "driver/run.h"

#include <chrono>
#include <cmath>
#include <memory>

#include <omp.h>

#include "fitting/level_fitter.h"
#include "function/implicit_function.h"
#include "io/error.h"
#include "io/function_file_writer.h"
#include "io/input_reader.h"
#include "spatial/point_octree.h"

namespace wendfit {

namespace {

// The rescaling divides by the largest extent of the points' box; a set
// whose points all coincide has none, and a fit over it would be all NaN.
void requireExtent(const PointSet& points, const std::string& path) {
  float lo[3];
  float hi[3];
  points.boundingBox(lo, hi, 1.0f);
  if (hi[0] - lo[0] > 0 || hi[1] - lo[1] > 0 || hi[2] - lo[2] > 0) return;
  throw Error(fileMessage(path, "all " + std::to_string(points.count) +
                                    " points are at one position; nothing to fit "
                                    "(expected points spread over a surface)"));
}

void flipNormals(PointSet& points) {
  for (float& component : points.normals) component = -component;
}

}  // namespace

PointSet readInput(const std::string& path, std::FILE* console) {
  return readAnyInput(path, console);
}

void runFit(const RunOptions& options, std::FILE* console) {
  if (options.threads > 0) omp_set_num_threads(options.threads);
  PointSet points = readInput(options.input, console);
  requireExtent(points, options.input);
  if (options.flipNormals) flipNormals(points);
  points.rescale(20.0f);

  auto start = std::chrono::steady_clock::now();
  auto octree = std::make_unique<PointOctree>(points);
  const float* h = octree->halfExtent;
  const float boxDiagonal = 2.0f * std::sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]);

  float boxMin[3];
  float boxMax[3];
  points.boundingBox(boxMin, boxMax, 1.5f);
  ImplicitFunction function(boxMin, boxMax, console);
  function.offset = 0.0f;

  LevelFitter fitter;
  fitter.function = &function;
  fitter.console = console;
  fitter.boxDiagonal = boxDiagonal;
  fitter.errorThreshold = static_cast<float>(options.errorThreshold * boxDiagonal);
  fitter.regularization = static_cast<float>(options.regularization);

  float radius = boxDiagonal * 1.5f;
  for (int level = 1; level <= options.levels; ++level) {
    PointSet centres = octree->levelCentres(level);
    if (console) {
      std::fprintf(console, "Level %d: %d points\n", level, centres.count);
      std::fflush(console);
    }
    fitter.fitLevel(std::move(centres), radius, level);
    radius *= 0.5f;
  }
  octree.reset();

  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  if (console) std::fprintf(console, "Fitting time is %d sec.\n\n", static_cast<int>(elapsed.count() / 1000));

  writeFunctionFile(function, options.output, console);
}

}  // namespace wendfit
