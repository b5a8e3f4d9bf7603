#pragma once
// NearestPoints: nearest-neighbour queries over a caller's float positions
// ("how far is q from the closest point?"), for reporting how far a mesh
// strays from the data it was fitted to.
//
// A balanced kd-tree over an index permutation: the caller's positions stay
// as they are, and the searches read a copy in tree order (40 bytes per
// point in all). Distances are computed in double from the float positions and
// returned as the exact nearest distance, so the answer does not depend on
// the tree's shape or on which of several equally near points is found.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wendfit {

class NearestPoints {
 public:
  // Builds the tree over `count` points at positions[3*i ... 3*i+2], which
  // must stay valid and unchanged while the index is in use and must be
  // finite. An empty set (count 0) gives an index whose queries find nothing.
  NearestPoints(const float* positions, int count);

  // Index of the point nearest to `point` (the lowest index among equally
  // near ones) and its squared distance in *distSq; -1 (and *distSq
  // infinite) on an empty set. With skipCoincident, points at exactly the
  // query position are ignored (-1 when no other point exists). Thread-safe.
  int nearest(const float point[3], double* distSq, bool skipCoincident = false) const;

  int size() const { return static_cast<int>(order_.size()); }
  const float* position(int i) const { return positions_ + 3 * static_cast<size_t>(i); }

 private:
  // A point as the build moves it: its position beside its index, so that
  // the splits read memory in order instead of chasing indices.
  struct Slot {
    float p[3];
    int index;
  };
  void build(std::vector<Slot>& slots, int begin, int end);
  void search(int begin, int end, const double q[3], bool skipCoincident, int* best, double* bestSq) const;
  double boxDistSq(int begin, int end, const double q[3]) const;

  const float* positions_;
  std::vector<int> order_;      // point indices; every node is a range of it
  std::vector<float> treeOrdered_;  // the positions by slot (3 floats each)
  std::vector<float> boxes_;        // at a node's middle slot: its points' box (lo, hi)
};

// The distance from each of `count` query positions (3 floats each) to its
// nearest point in `index`, computed in parallel; one entry per query, the
// same for any number of threads. Infinite when the index is empty.
std::vector<double> nearestDistances(const NearestPoints& index, const float* queries, long count);

// The median distance from a point of `index` to its nearest distinct point
// (the lower median for an even number), over all points or, for more than
// `maxSamples`, over about that many chosen by their positions, so that the
// order of the points does not matter. 0 when no point has a distinct
// neighbour.
double medianSpacing(const NearestPoints& index, int maxSamples = 20000);

}  // namespace wendfit
