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
  // Builds the whole tree over `points` (which must outlive the tree and must
  // not be reordered while it is in use) and reorders the set. An empty set
  // gives a tree whose queries find nothing. Error when the set has fewer
  // positions than its count.
  explicit KdTree(PointSet& points);
  ~KdTree();
  KdTree(const KdTree&) = delete;
  KdTree& operator=(const KdTree&) = delete;

  // Indices of the points closer than `radius` to `point`, in visiting order,
  // in the tree's own buffer (overwritten by the next query). Returns the
  // buffer; resultCount() tells how many entries are valid. Allocates
  // nothing.
  const int* query(const float point[3], float radius);
  int resultCount() const { return resultCount_; }

  // The same query into a caller's buffer of at least size() entries, for
  // concurrent use; returns the number of results. Does not touch the
  // tree's own buffer.
  int query(const float point[3], float radius, int* results) const;

  int size() const { return static_cast<int>(results_.size()); }

 private:
  struct Node;
  bool divide(int node);
  int collect(int node, const float point[3], float radius, int* results, int count) const;

  PointSet& points_;
  // Nodes refer to their children by index into this pool (node 0 is the
  // root), so building and destruction need no recursion.
  std::vector<Node> nodes_;
  std::vector<int> results_;
  int resultCount_ = 0;
};

}  // namespace wendfit
