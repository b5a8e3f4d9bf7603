#pragma once
// The median split that the project's point hierarchies share: a range of
// points is cut at its middle along the longest side of its box, equal
// coordinates ordered by index, so that the cut depends on the points alone
// and not on the library's selection algorithm or the thread count.

#include <algorithm>
#include <cstddef>
#include <vector>

namespace wendfit {

// The axis (0, 1 or 2) of the box lo..hi with the longest side; the first
// of equally long ones.
template <class Coordinate>
int longestAxis(const Coordinate lo[3], const Coordinate hi[3]) {
  int axis = 0;
  for (int k = 1; k < 3; ++k) {
    if (hi[k] - lo[k] > hi[axis] - lo[axis]) axis = k;
  }
  return axis;
}

// Reorders order[begin, end) (indices of the points at positions[3 * i])
// so that order[middle] is the point whose coordinate along `axis` has
// rank middle - begin, with the lower ones before it and the higher ones
// after it; equal coordinates rank by index.
inline void splitAtMedian(std::vector<int>& order, const float* positions, int begin, int middle, int end,
                          int axis) {
  std::nth_element(order.begin() + begin, order.begin() + middle, order.begin() + end, [&](int a, int b) {
    const float pa = positions[3 * static_cast<std::size_t>(a) + axis];
    const float pb = positions[3 * static_cast<std::size_t>(b) + axis];
    return pa < pb || (pa == pb && a < b);
  });
}

}  // namespace wendfit
