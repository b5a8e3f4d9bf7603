#pragma once
// KdTree: radius queries over a PointSet ("which points lie strictly closer
// than r to q?"). Construction builds the whole tree and reorders the point
// set in place (position, normal and value together); every index a query
// returns refers to that new order. The tree does not own the set.

#include <vector>

#include "io/point_set.h"

namespace wendfit {

class KdTree {
 public:
  explicit KdTree(PointSet& points);

  // Indices of the points closer than `radius` to `point`, in visiting order,
  // in the tree's own buffer (overwritten by the next query). Returns the
  // buffer; resultCount() tells how many entries are valid.
  const int* query(const float point[3], float radius);
  int resultCount() const { return resultCount_; }

  // The same query into a caller's buffer of at least size() entries, for
  // concurrent use; returns the number of results. Does not touch the
  // tree's own buffer.
  int query(const float point[3], float radius, int* results) const;

  int size() const { return static_cast<int>(results_.size()); }

 private:
  struct Node;
  PointSet& points_;
  std::vector<Node> nodes_;
  std::vector<int> results_;
  int resultCount_ = 0;
};

}  // namespace wendfit
