#include "spatial/nearest_points.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "spatial/median_split.h"

namespace wendfit {

namespace {

// Ranges of at most this many points are scanned rather than divided.
constexpr int kLeafSize = 8;
// Ranges of more points build their lower half as a task of its own: the
// halves touch disjoint slots, so the tree is the same on any thread count.
constexpr int kTaskSize = 1 << 15;

double distSqTo(const double q[3], const float* p) {
  const double dx = q[0] - p[0];
  const double dy = q[1] - p[1];
  const double dz = q[2] - p[2];
  return dx * dx + dy * dy + dz * dz;
}

// FNV-1a over the bits of the three coordinates.
uint32_t positionHash(const float* p) {
  uint32_t hash = 2166136261u;
  for (int k = 0; k < 3; ++k) {
    uint32_t bits;
    std::memcpy(&bits, &p[k], sizeof bits);
    for (int shift = 0; shift < 32; shift += 8) {
      hash ^= (bits >> shift) & 0xFFu;
      hash *= 16777619u;
    }
  }
  return hash;
}

}  // namespace

NearestPoints::NearestPoints(const float* positions, int count)
    : positions_(positions),
      order_(static_cast<size_t>(std::max(count, 0))),
      boxes_(6 * order_.size(), 0.0f) {
  std::vector<Slot> slots(order_.size());
  for (int i = 0; i < size(); ++i) {
    std::copy(position(i), position(i) + 3, slots[i].p);
    slots[i].index = i;
  }
#pragma omp parallel if (size() > kTaskSize)
#pragma omp single
  build(slots, 0, size());
  // The searches read the points in tree order: a copy in that order keeps
  // a subtree's points together in memory instead of scattered over the
  // caller's array.
  treeOrdered_.resize(3 * order_.size());
  for (size_t slot = 0; slot < order_.size(); ++slot) {
    order_[slot] = slots[slot].index;
    std::copy(slots[slot].p, slots[slot].p + 3, &treeOrdered_[3 * slot]);
  }
}

// Splits the range at its middle slot along the longest side of its points'
// box: the slots before the middle hold points at or below the middle
// point's coordinate, the slots after it points at or above it; the middle
// point itself stays in its slot, so it keeps giving the split. Median
// splits keep the depth at log2(count / kLeafSize) whatever the layout, so
// the recursion stays shallow even on clustered or duplicated points.
void NearestPoints::build(std::vector<Slot>& slots, int begin, int end) {
  if (end - begin <= kLeafSize) return;
  float lo[3];
  float hi[3];
  for (int k = 0; k < 3; ++k) lo[k] = hi[k] = slots[begin].p[k];
  for (int i = begin + 1; i < end; ++i) {
    const float* p = slots[i].p;
    for (int k = 0; k < 3; ++k) {
      lo[k] = std::min(lo[k], p[k]);
      hi[k] = std::max(hi[k], p[k]);
    }
  }
  const int axis = longestAxis(lo, hi);
  const int mid = begin + (end - begin) / 2;
  // Ties by index, so the tree does not depend on the library's selection.
  std::nth_element(slots.begin() + begin, slots.begin() + mid, slots.begin() + end,
                   [axis](const Slot& a, const Slot& b) {
                     return a.p[axis] < b.p[axis] || (a.p[axis] == b.p[axis] && a.index < b.index);
                   });
  std::copy(lo, lo + 3, &boxes_[6 * static_cast<size_t>(mid)]);
  std::copy(hi, hi + 3, &boxes_[6 * static_cast<size_t>(mid) + 3]);
  if (end - begin > kTaskSize) {
#pragma omp task shared(slots)
    build(slots, begin, mid);
    build(slots, mid + 1, end);
#pragma omp taskwait
  } else {
    build(slots, begin, mid);
    build(slots, mid + 1, end);
  }
}

// Squared distance from q to the box of the range [begin, end) when it is a
// node (more than kLeafSize points; its box is kept at its middle slot), 0
// for a leaf, which is scanned anyway.
double NearestPoints::boxDistSq(int begin, int end, const double q[3]) const {
  if (end - begin <= kLeafSize) return 0.0;
  const float* box = &boxes_[6 * static_cast<size_t>(begin + (end - begin) / 2)];
  double sum = 0.0;
  for (int k = 0; k < 3; ++k) {
    const double below = box[k] - q[k];
    const double above = q[k] - box[3 + k];
    const double d = below > 0.0 ? below : (above > 0.0 ? above : 0.0);
    sum += d * d;
  }
  return sum;
}

// Visits the nearer child first and the other only when its points' box is
// no farther than the best distance so far ("no farther", so that an
// equally near point of lower index is still found). The boxes are the
// points' own, not the cells of the splits: a query far off the points (a
// probe a few support radii from a scan) then skips every subtree beyond
// the nearest point's distance, where the split planes alone let it open
// most of the tree.
void NearestPoints::search(int begin, int end, const double q[3], bool skipCoincident, int* best,
                           double* bestSq) const {
  auto consider = [&](int slot) {
    const int index = order_[slot];
    const double distSq = distSqTo(q, &treeOrdered_[3 * static_cast<size_t>(slot)]);
    if (skipCoincident && distSq == 0.0) return;
    if (distSq < *bestSq || (distSq == *bestSq && index < *best)) {
      *bestSq = distSq;
      *best = index;
    }
  };
  if (end - begin <= kLeafSize) {
    for (int i = begin; i < end; ++i) consider(i);
    return;
  }
  const int mid = begin + (end - begin) / 2;
  consider(mid);
  const double lowSq = boxDistSq(begin, mid, q);
  const double highSq = boxDistSq(mid + 1, end, q);
  if (lowSq <= highSq) {
    if (lowSq <= *bestSq) search(begin, mid, q, skipCoincident, best, bestSq);
    if (highSq <= *bestSq) search(mid + 1, end, q, skipCoincident, best, bestSq);
  } else {
    if (highSq <= *bestSq) search(mid + 1, end, q, skipCoincident, best, bestSq);
    if (lowSq <= *bestSq) search(begin, mid, q, skipCoincident, best, bestSq);
  }
}

int NearestPoints::nearest(const float point[3], double* distSq, bool skipCoincident) const {
  const double q[3] = {point[0], point[1], point[2]};
  int best = -1;
  *distSq = std::numeric_limits<double>::infinity();
  search(0, size(), q, skipCoincident, &best, distSq);
  return best;
}

std::vector<double> nearestDistances(const NearestPoints& index, const float* queries, long count) {
  std::vector<double> distances(static_cast<size_t>(std::max(count, 0L)));
#pragma omp parallel for schedule(dynamic, 1024)
  for (long i = 0; i < count; ++i) {
    double distSq = 0.0;
    index.nearest(queries + 3 * i, &distSq);
    distances[i] = std::sqrt(distSq);
  }
  return distances;
}

double medianSpacing(const NearestPoints& index, int maxSamples) {
  const uint32_t stride =
      static_cast<uint32_t>(std::max(1, (index.size() + maxSamples - 1) / std::max(maxSamples, 1)));
  // The sample is chosen by a hash of each position's bits, not by index, so
  // the same points give the same figure in any order (the fit reorders
  // them, a second reading of the file does not).
  std::vector<int> sample;
  for (int i = 0; i < index.size(); ++i) {
    if (positionHash(index.position(i)) % stride == 0) sample.push_back(i);
  }
  std::vector<double> spacings(sample.size());
#pragma omp parallel for schedule(dynamic, 256)
  for (long s = 0; s < static_cast<long>(sample.size()); ++s) {
    double distSq = 0.0;
    index.nearest(index.position(sample[s]), &distSq, true);
    spacings[s] = std::sqrt(distSq);
  }
  // Points without a distinct neighbour have none to report.
  spacings.erase(std::remove_if(spacings.begin(), spacings.end(), [](double d) { return !std::isfinite(d); }),
                 spacings.end());
  if (spacings.empty()) return 0.0;
  const size_t middle = (spacings.size() - 1) / 2;
  std::nth_element(spacings.begin(), spacings.begin() + middle, spacings.end());
  return spacings[middle];
}

}  // namespace wendfit
