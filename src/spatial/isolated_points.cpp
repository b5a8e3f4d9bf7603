#include "spatial/isolated_points.h"

#include <algorithm>
#include <parallel/algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace wendfit {

namespace {

constexpr int kAxisBits = 21;
constexpr int64_t kLastCube = (int64_t{1} << kAxisBits) - 1;

int64_t pack(const int64_t cube[3]) {
  return (cube[0] << (2 * kAxisBits)) | (cube[1] << kAxisBits) | cube[2];
}

}  // namespace

std::vector<char> isolatedPoints(const PointSet& points, double cell, int neighbours) {
  const int n = points.count;
  std::vector<char> isolated(static_cast<size_t>(std::max(n, 0)), 0);
  if (n == 0 || !(cell > 0.0) || neighbours <= 0) return isolated;
  float low[3], high[3];
  points.boundingBox(low, high, 1.0f);
  // Cubes beyond the grid's reach share the last one: more neighbours are
  // counted there, never fewer.
  std::vector<std::pair<int64_t, int>> keyed(static_cast<size_t>(n));
  std::vector<int64_t> cubes(3 * static_cast<size_t>(n));
#pragma omp parallel for schedule(static)
  for (int i = 0; i < n; ++i) {
    const float* p = points.position(i);
    for (int a = 0; a < 3; ++a) {
      const double steps = std::floor((static_cast<double>(p[a]) - low[a]) / cell);
      cubes[3 * static_cast<size_t>(i) + a] =
          static_cast<int64_t>(std::clamp(steps, 0.0, static_cast<double>(kLastCube)));
    }
    keyed[i] = {pack(&cubes[3 * static_cast<size_t>(i)]), i};
  }
  // The keys are distinct (each carries its point's index), so the order
  // is the same however the sort divides the work.
  __gnu_parallel::sort(keyed.begin(), keyed.end());
  auto inCube = [&](const int64_t cube[3]) {
    const int64_t key = pack(cube);
    const auto first = std::lower_bound(keyed.begin(), keyed.end(), std::make_pair(key, -1));
    const auto last = std::lower_bound(first, keyed.end(), std::make_pair(key + 1, -1));
    return static_cast<long>(last - first);
  };
  // One count per occupied cube; its points share it, and no other cube
  // writes them.
  std::vector<size_t> starts;
  for (size_t e = 0; e < keyed.size(); ++e) {
    if (e == 0 || keyed[e].first != keyed[e - 1].first) starts.push_back(e);
  }
  starts.push_back(keyed.size());
  const long occupied = static_cast<long>(starts.size()) - 1;
#pragma omp parallel for schedule(dynamic, 1024)
  for (long c = 0; c < occupied; ++c) {
    const size_t e = starts[c], end = starts[c + 1];
    const int64_t* cube = &cubes[3 * static_cast<size_t>(keyed[e].second)];
    long around = -1;  // the point itself
    for (int dx = -1; dx <= 1 && around < neighbours; ++dx) {
      for (int dy = -1; dy <= 1 && around < neighbours; ++dy) {
        for (int dz = -1; dz <= 1 && around < neighbours; ++dz) {
          const int64_t next[3] = {cube[0] + dx, cube[1] + dy, cube[2] + dz};
          if (std::min({next[0], next[1], next[2]}) < 0 || std::max({next[0], next[1], next[2]}) > kLastCube) continue;
          around += inCube(next);
        }
      }
    }
    if (around < neighbours) {
      for (size_t k = e; k < end; ++k) isolated[keyed[k].second] = 1;
    }
  }
  return isolated;
}

}  // namespace wendfit
