#include "mesh/surface_grid.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <unordered_map>

#include "core/error.h"
#include "core/float_precision.h"
#include "spatial/nearest_points.h"

namespace wendfit {

namespace {

double longestSide(const float boxMin[3], const float boxMax[3]) {
  double longest = 0.0;
  for (int a = 0; a < 3; ++a) {
    longest = std::max(longest, static_cast<double>(boxMax[a]) - static_cast<double>(boxMin[a]));
  }
  return longest;
}

// Every record in the function's cell tree: a cell's own list, then its
// children in index order (the order of the result file).
template <typename Visit>
void forEachRecord(const FunctionCell& root, Visit visit) {
  std::vector<const FunctionCell*> stack{&root};
  while (!stack.empty()) {
    const FunctionCell* cell = stack.back();
    stack.pop_back();
    for (const FunctionNode* node = cell->functions; node; node = node->next) visit(*node->function);
    if (!cell->children) continue;
    for (int c = 7; c >= 0; --c) {
      if ((*cell->children)[c]) stack.push_back((*cell->children)[c].get());
    }
  }
}

// Uniform hash grid over a set of centres, for "is any centre within r of p".
class CentreGrid {
 public:
  CentreGrid(const std::vector<BandRecord>& records, double cellSize) : cellSize_(cellSize) {
    for (size_t i = 0; i < records.size(); ++i) cells_[keyOf(records[i].centre)].push_back(i);
  }

  bool anyWithin(const std::vector<BandRecord>& records, const float p[3], double radius) const {
    long base[3];
    for (int a = 0; a < 3; ++a) base[a] = static_cast<long>(std::floor(p[a] / cellSize_));
    double radiusSq = radius * radius;
    for (long dz = -1; dz <= 1; ++dz) {
      for (long dy = -1; dy <= 1; ++dy) {
        for (long dx = -1; dx <= 1; ++dx) {
          auto found = cells_.find(pack(base[0] + dx, base[1] + dy, base[2] + dz));
          if (found == cells_.end()) continue;
          for (size_t i : found->second) {
            double distSq = 0.0;
            for (int a = 0; a < 3; ++a) {
              double d = static_cast<double>(records[i].centre[a]) - static_cast<double>(p[a]);
              distSq += d * d;
            }
            if (distSq <= radiusSq) return true;
          }
        }
      }
    }
    return false;
  }

  // Distance from records[self] to the nearest other record closer than
  // cellSize, or a negative number when there is none.
  double nearestOther(const std::vector<BandRecord>& records, size_t self) const {
    const float* p = records[self].centre;
    long base[3];
    for (int a = 0; a < 3; ++a) base[a] = static_cast<long>(std::floor(p[a] / cellSize_));
    double bestSq = cellSize_ * cellSize_;
    bool found = false;
    for (long dz = -1; dz <= 1; ++dz) {
      for (long dy = -1; dy <= 1; ++dy) {
        for (long dx = -1; dx <= 1; ++dx) {
          auto cell = cells_.find(pack(base[0] + dx, base[1] + dy, base[2] + dz));
          if (cell == cells_.end()) continue;
          for (size_t i : cell->second) {
            if (i == self) continue;
            double distSq = 0.0;
            for (int a = 0; a < 3; ++a) {
              double d = static_cast<double>(records[i].centre[a]) - static_cast<double>(p[a]);
              distSq += d * d;
            }
            if (distSq < bestSq) {
              bestSq = distSq;
              found = true;
            }
          }
        }
      }
    }
    return found ? std::sqrt(bestSq) : -1.0;
  }

 private:
  static uint64_t pack(long x, long y, long z) {
    auto part = [](long v) { return static_cast<uint64_t>(v + (1L << 20)) & 0x1FFFFFu; };
    return (part(z) << 42) | (part(y) << 21) | part(x);
  }
  uint64_t keyOf(const float p[3]) const {
    return pack(static_cast<long>(std::floor(p[0] / cellSize_)),
                static_cast<long>(std::floor(p[1] / cellSize_)),
                static_cast<long>(std::floor(p[2] / cellSize_)));
  }

  double cellSize_;
  std::unordered_map<uint64_t, std::vector<size_t>> cells_;
};

}  // namespace

SurfaceGrid SurfaceGrid::overBox(const float boxMin[3], const float boxMax[3], int resolution) {
  if (resolution < 1 || resolution > kMaxResolution) {
    throw Error("resolution " + std::to_string(resolution) + " is out of range (expected 1 ... " +
                std::to_string(kMaxResolution) + ")");
  }
  double longest = longestSide(boxMin, boxMax);
  if (!(longest > 0.0) || !std::isfinite(longest)) {
    throw Error("the function's box is empty or not finite; there is nothing to mesh");
  }
  SurfaceGrid grid;
  double target = longest / resolution;
  for (int a = 0; a < 3; ++a) {
    grid.origin[a] = boxMin[a];
    grid.upper[a] = boxMax[a];
    double extent = static_cast<double>(boxMax[a]) - static_cast<double>(boxMin[a]);
    long cells = std::lround(extent / target);
    grid.n[a] = static_cast<int>(std::clamp(cells, 1L, static_cast<long>(resolution)));
    grid.spacing[a] = extent / grid.n[a];
    grid.blocks[a] = (grid.n[a] + 2 + kBlockCells - 1) / kBlockCells;
    // Cells narrower than the float resolution at the box collapse their
    // corners onto the same positions, and the grid then traces the float
    // rounding instead of a surface (a box far from the origin).
    const double reach = std::max(std::fabs(static_cast<double>(boxMin[a])), std::fabs(static_cast<double>(boxMax[a])));
    const double step = floatStepAt(reach);
    if (grid.spacing[a] > 0.0 && step * kLeastFloatStepsPerDetail > grid.spacing[a]) {
      char text[320];
      std::snprintf(text, sizeof text,
                    "the function's box reaches %.9g from the origin, where single precision resolves only %.3g: "
                    "too coarse for cells of %.3g (expected a box nearer the origin, or a coarser --resolution)",
                    reach, step, grid.spacing[a]);
      throw Error(text);
    }
  }
  return grid;
}

void SurfaceGrid::point(int i, int j, int k, float out[3]) const {
  const int index[3] = {i, j, k};
  for (int a = 0; a < 3; ++a) {
    out[a] = index[a] == n[a]
                 ? upper[a]
                 : static_cast<float>(static_cast<double>(origin[a]) + index[a] * spacing[a]);
  }
}

int SurfaceGrid::cellAlong(int axis, double coordinate) const {
  double t = spacing[axis] > 0.0
                 ? std::floor((coordinate - static_cast<double>(origin[axis])) / spacing[axis])
                 : 0.0;
  if (!(t >= 0.0)) t = 0.0;  // also catches NaN
  return static_cast<int>(std::min(t, static_cast<double>(n[axis] - 1)));
}

void SurfaceGrid::cellOf(const float p[3], int cell[3]) const {
  for (int a = 0; a < 3; ++a) cell[a] = cellAlong(a, p[a]);
}

BandSource collectBandRecords(const ImplicitFunction& function) {
  std::map<int, std::vector<BandRecord>> byLevel;
  forEachRecord(function.root(), [&](const BasisFunction& record) {
    BandRecord band;
    std::copy(record.centre, record.centre + 3, band.centre);
    band.radius = record.radius;
    byLevel[record.level].push_back(band);
  });
  BandSource source;
  if (byLevel.empty()) return source;
  for (const auto& level : byLevel) {
    source.largestLevel = std::max(source.largestLevel, static_cast<long>(level.second.size()));
  }
  auto finest = byLevel.rbegin();
  source.finestLevel = finest->first;
  source.finestRadius = finest->second.front().radius;
  for (const BandRecord& record : finest->second) {
    source.finestRadius = std::min(source.finestRadius, record.radius);
  }
  // A coarser record still bounds the band where the next finer level left
  // its neighbourhood out (adaptive levels): its own support is then the
  // width of the band there.
  for (auto level = byLevel.begin(); level != byLevel.end(); ++level) {
    auto finer = std::next(level);
    if (finer == byLevel.end()) {
      source.records.insert(source.records.end(), level->second.begin(), level->second.end());
      break;
    }
    double widest = 0.0;
    for (const BandRecord& record : level->second) widest = std::max(widest, double{record.radius});
    if (!(widest > 0.0)) continue;
    CentreGrid finerCentres(finer->second, widest);
    const std::vector<BandRecord>& records = level->second;
    std::vector<char> uncovered(records.size());
#pragma omp parallel for schedule(dynamic, 1024)
    for (long i = 0; i < static_cast<long>(records.size()); ++i) {
      uncovered[i] = !finerCentres.anyWithin(finer->second, records[i].centre, records[i].radius);
    }
    for (size_t i = 0; i < records.size(); ++i) {
      if (uncovered[i]) source.records.push_back(records[i]);
    }
  }
  return source;
}

namespace {

constexpr double kCellsPerSampleSpacing = 2.0;
constexpr size_t kSpacingSamples = 4096;
// A finest level with at least this share of the densest level's records
// holds about one centre per sample, as levels finer than the data do.
constexpr double kFullLevelShare = 0.5;

// The least cell the default grid takes, from the finest-level centres:
// kCellsPerSampleSpacing times the median distance from one to its nearest
// neighbour closer than the finest radius (over an evenly strided sample);
// 0 when there is no such pair.
double leastCellFromCentres(const BandSource& source) {
  std::vector<BandRecord> finest;
  for (const BandRecord& record : source.records) {
    if (record.radius == source.finestRadius) finest.push_back(record);
  }
  if (finest.size() < 2) return 0.0;
  CentreGrid grid(finest, source.finestRadius);
  const size_t stride = std::max<size_t>(1, finest.size() / kSpacingSamples);
  // A centre with no other within the finest radius counts as farther.
  std::vector<double> distances;
  for (size_t i = 0; i < finest.size(); i += stride) {
    const double d = grid.nearestOther(finest, i);
    distances.push_back(d >= 0.0 ? d : std::numeric_limits<double>::infinity());
  }
  auto middle = distances.begin() + static_cast<long>(distances.size() / 2);
  std::nth_element(distances.begin(), middle, distances.end());
  if (std::isfinite(*middle)) return kCellsPerSampleSpacing * *middle;
  // A finest level far sparser than the densest holds the few centres an
  // error threshold kept: their distances say nothing of the data's
  // spacing, and the grid follows the finest supports.
  if (static_cast<double>(finest.size()) < kFullLevelShare * static_cast<double>(source.largestLevel)) return 0.0;
  // Finest supports narrower than the spacing (more levels than the data
  // carry): without a spacing the grid would be as fine as the supports,
  // millions of triangles for a few thousand points. Between the centres
  // the function then has the shape the data give it, at their spacing, and
  // a cell of one spacing keeps it (a coarse mesh's vertices carry holes and
  // walls only a spacing or two wide).
  std::vector<float> positions;
  positions.reserve(3 * finest.size());
  for (const BandRecord& record : finest) positions.insert(positions.end(), record.centre, record.centre + 3);
  return medianSpacing(NearestPoints(positions.data(), static_cast<int>(finest.size())));
}

}  // namespace

int defaultResolution(const ImplicitFunction& function, const BandSource& source, int cellsPerRadius,
                      double leastCell, bool fromCentres) {
  if (!(source.finestRadius > 0.0f)) return 1;
  if (cellsPerRadius < 1) {
    throw Error("cells per support radius " + std::to_string(cellsPerRadius) + " is below 1");
  }
  // A grid finer than the samples adds triangles and evaluations but no
  // detail the data can support: the cell is at least about one sample
  // spacing (twice the median distance between neighbouring finest
  // centres), even when the finest level's radius is smaller than that.
  const double spacing = std::max({static_cast<double>(source.finestRadius) / cellsPerRadius,
                                   fromCentres ? leastCellFromCentres(source) : 0.0, leastCell});
  double cells = std::ceil(longestSide(function.boxMin(), function.boxMax()) / spacing);
  if (!(cells <= kMaxResolution)) {
    throw Error("the finest support radius " + std::to_string(source.finestRadius) +
                " asks for more than " + std::to_string(kMaxResolution) +
                " cells along the box (expected a smaller box or --resolution)");
  }
  return std::max(1, static_cast<int>(cells));
}

}  // namespace wendfit
