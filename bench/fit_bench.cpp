// fit_bench: the whole multi-level fit on a seeded sample of a closed surface,
// run as the driver runs it (octree level centres + one LevelFitter), with the
// time of every level split into its phases, the solver's iterations and the
// peak memory of the process.
//
//   fit_bench [points] [levels] [relative error threshold]
//
// Defaults: 100000 points, 8 levels, threshold 0. The sample is a torus with
// a wavy tube (radii 7 and 3, six waves around), so the levels see varying
// curvature; it is rescaled to the extent 20 like the driver's input.

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "fitting/level_fitter.h"
#include "function/implicit_function.h"
#include "core/point_set.h"
#include "spatial/point_octree.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Points and outward unit normals on the wavy torus
// p(u, v) = (R + r(u) cos v)(cos u, sin u) + r(u) sin v e_z, r(u) = 3 + 0.5 sin 6u.
wendfit::PointSet sampleWavyTorus(int count, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> angle(0.0, 2.0 * std::acos(-1.0));
  wendfit::PointSet set;
  set.allocate(count);
  for (int i = 0; i < count; ++i) {
    const double u = angle(rng), v = angle(rng);
    const double r = 3.0 + 0.5 * std::sin(6.0 * u), dr = 3.0 * std::cos(6.0 * u);
    const double ring = 7.0 + r * std::cos(v);
    const double p[3] = {ring * std::cos(u), ring * std::sin(u), r * std::sin(v)};
    // Normal = dp/du x dp/dv, oriented outward.
    const double pu[3] = {dr * std::cos(v) * std::cos(u) - ring * std::sin(u),
                          dr * std::cos(v) * std::sin(u) + ring * std::cos(u), dr * std::sin(v)};
    const double pv[3] = {-r * std::sin(v) * std::cos(u), -r * std::sin(v) * std::sin(u), r * std::cos(v)};
    double n[3] = {pu[1] * pv[2] - pu[2] * pv[1], pu[2] * pv[0] - pu[0] * pv[2],
                   pu[0] * pv[1] - pu[1] * pv[0]};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    set.setPosition(i, float(p[0]), float(p[1]), float(p[2]));
    set.setNormal(i, float(n[0] / length), float(n[1] / length), float(n[2] / length));
  }
  return set;
}

long peakMemoryKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const int pointCount = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int levels = argc > 2 ? std::atoi(argv[2]) : 8;
  const float threshold = argc > 3 ? static_cast<float>(std::atof(argv[3])) : 0.0f;
  if (pointCount < 1 || levels < 1) {
    std::fprintf(stderr, "usage: fit_bench [points >= 1] [levels >= 1] [threshold]\n");
    return 2;
  }

  wendfit::PointSet input = sampleWavyTorus(pointCount, 20240601u);
  input.rescale(20.0f);
  const Clock::time_point start = Clock::now();
  wendfit::PointOctree octree(input);
  const float diagonal = octree.boxDiagonal();
  float boxMin[3], boxMax[3];
  input.boundingBox(boxMin, boxMax, 1.5f);
  wendfit::ImplicitFunction function(boxMin, boxMax, nullptr);
  function.setOffset(0.0f);
  wendfit::LevelFitter fitter;
  fitter.function = &function;
  fitter.boxDiagonal = diagonal;
  fitter.errorThreshold = threshold * diagonal;
  fitter.console = nullptr;

  std::printf("fit_bench: %d points, %d levels, threshold %g, box diagonal %.4f\n", pointCount, levels,
              threshold, diagonal);
  std::printf("%5s %9s %9s %11s %6s %9s %9s %9s %9s %9s %9s\n", "level", "centres", "fitted",
              "nonzeros", "iters", "octree", "eval", "select", "assembly", "solve", "level s");
  float radius = 1.5f * diagonal;
  for (int level = 1; level <= levels; ++level, radius *= 0.5f) {
    const Clock::time_point levelStart = Clock::now();
    wendfit::PointSet centres = octree.levelCentres(level);
    const double octreeSeconds = secondsSince(levelStart);
    const int sampled = centres.count;
    fitter.fitLevel(std::move(centres), radius, level);
    const wendfit::LevelStats& s = fitter.stats;
    std::printf("%5d %9d %9d %11lld %6d %9.3f %9.3f %9.3f %9.3f %9.3f %9.3f\n", level, sampled,
                s.selectedCount, fitter.nonZeroCount, s.iterations, octreeSeconds, s.evaluationSeconds,
                s.selectionSeconds, s.assemblySeconds, s.solveSeconds, secondsSince(levelStart));
    std::fflush(stdout);
  }
  std::printf("total fitting time %.3f s, %ld basis functions, peak memory %.1f MiB\n",
              secondsSince(start), function.functionCount(), peakMemoryKiB() / 1024.0);
  return 0;
}
