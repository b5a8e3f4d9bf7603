// spatial_bench: the two spatial structures on a million points.
//
//   OctreeLevels1To10   builds the point octree over 1,000,000 points sampled
//                       on a torus and asks for the centres of levels 1 to 10
//                       in rising order, as the driver does.
//   KdTreeBuild         builds a kd-tree over 1,000,000 centres (the same
//                       sample).
//   KdTreeQueryEach     one radius query per centre, with the radius chosen so
//                       that a query finds about 80 neighbours; the counter
//                       "neighbours" reports the mean actually found.
//   NearestPointsBuild  builds the nearest-point index over the same sample
//                       (the data index of the spacing, the sign guard and the
//                       mesh's distances), on all threads.
//   IsolatedPoints      the stray-point check of wendfit-reconstruct over the
//                       same sample (in its random order), on all threads.
//
// Each iteration works on a fresh copy of the sample (copied outside the
// timed region), since both structures reorder the set they work on.

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>

#include "core/point_set.h"
#include "spatial/isolated_points.h"
#include "spatial/kd_tree.h"
#include "spatial/nearest_points.h"
#include "spatial/point_octree.h"

namespace {

constexpr int kPointCount = 1000000;
constexpr double kMajorRadius = 6.0;
constexpr double kMinorRadius = 2.0;
constexpr double kNeighbourTarget = 80.0;

// Points spread uniformly by area over the torus with outward unit normals.
// The tube angle is drawn by rejection, since the outer side of the tube has
// more area than the inner side.
wendfit::PointSet sampleTorus(int count, unsigned seed) {
  std::mt19937 rng(seed);
  const double twoPi = 2.0 * std::acos(-1.0);
  std::uniform_real_distribution<double> angle(0.0, twoPi);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  wendfit::PointSet set;
  set.allocate(count);
  for (int i = 0; i < count; ++i) {
    const double u = angle(rng);
    double v = angle(rng);
    while (unit(rng) * (kMajorRadius + kMinorRadius) > kMajorRadius + kMinorRadius * std::cos(v)) {
      v = angle(rng);
    }
    const double ring = kMajorRadius + kMinorRadius * std::cos(v);
    set.setPosition(i, static_cast<float>(ring * std::cos(u)), static_cast<float>(ring * std::sin(u)),
                    static_cast<float>(kMinorRadius * std::sin(v)));
    set.setNormal(i, static_cast<float>(std::cos(v) * std::cos(u)),
                  static_cast<float>(std::cos(v) * std::sin(u)), static_cast<float>(std::sin(v)));
  }
  return set;
}

const wendfit::PointSet& torusSample() {
  static const wendfit::PointSet sample = sampleTorus(kPointCount, 20240601u);
  return sample;
}

// The radius whose disc holds kNeighbourTarget points on average for points
// spread uniformly over the torus's area 4 pi^2 R r.
float neighbourRadius() {
  const double pi = std::acos(-1.0);
  const double area = 4.0 * pi * pi * kMajorRadius * kMinorRadius;
  return static_cast<float>(std::sqrt(kNeighbourTarget * area / (pi * kPointCount)));
}

void OctreeLevels1To10(benchmark::State& state) {
  long long centres = 0;
  for (auto _ : state) {
    state.PauseTiming();
    wendfit::PointSet points = torusSample();
    state.ResumeTiming();
    wendfit::PointOctree octree(points);
    centres = 0;
    for (int level = 1; level <= 10; ++level) {
      const wendfit::PointSet levelSet = octree.levelCentres(level);
      centres += levelSet.count;
      benchmark::DoNotOptimize(levelSet.positions.data());
    }
  }
  state.counters["centres"] = static_cast<double>(centres);
}
BENCHMARK(OctreeLevels1To10)->Unit(benchmark::kMillisecond)->Iterations(5);

void KdTreeBuild(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    wendfit::PointSet centres = torusSample();
    state.ResumeTiming();
    wendfit::KdTree tree(centres);
    benchmark::DoNotOptimize(tree.size());
  }
}
BENCHMARK(KdTreeBuild)->Unit(benchmark::kMillisecond)->Iterations(5);

void KdTreeQueryEach(benchmark::State& state) {
  wendfit::PointSet centres = torusSample();
  wendfit::KdTree tree(centres);
  const float radius = neighbourRadius();
  long long found = 0;
  for (auto _ : state) {
    found = 0;
    for (int i = 0; i < centres.count; ++i) {
      tree.query(centres.position(i), radius);
      found += tree.resultCount();
    }
    benchmark::DoNotOptimize(found);
  }
  state.counters["neighbours"] = static_cast<double>(found) / centres.count;
  state.counters["queries/s"] = benchmark::Counter(
      static_cast<double>(centres.count) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}
BENCHMARK(KdTreeQueryEach)->Unit(benchmark::kMillisecond)->Iterations(3);

void NearestPointsBuild(benchmark::State& state) {
  const wendfit::PointSet points = torusSample();
  for (auto _ : state) {
    wendfit::NearestPoints index(points.positions.data(), points.count);
    benchmark::DoNotOptimize(index.size());
  }
}
BENCHMARK(NearestPointsBuild)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

void IsolatedPoints(benchmark::State& state) {
  const wendfit::PointSet points = torusSample();
  // Cubes of 32 sample spacings (the square root of the torus's area per
  // point) and at least 8 neighbours: the reconstruction's setting.
  const double spacing = std::sqrt(4.0 * M_PI * M_PI * kMajorRadius * kMinorRadius / kPointCount);
  for (auto _ : state) {
    const std::vector<char> isolated = wendfit::isolatedPoints(points, 32.0 * spacing, 8);
    benchmark::DoNotOptimize(isolated.data());
  }
}
BENCHMARK(IsolatedPoints)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
