#pragma once
// KdTree: radius queries over a PointSet ("which points lie strictly closer
// than r to q?"). Construction builds the whole tree and reorders the point
// set in place (position, normal and value together); every index a query
// returns refers to that new order. The tree does not own the set.

#include <utility>
#include <vector>

#include "core/point_set.h"

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

  // Indices of the points closer than `radius` to `point`, in visiting order
  // (which is ascending: a node's points are a range of the set, the part
  // above its split first, and that part is visited first), in the tree's own
  // buffer (overwritten by the next query, and grown to the
  // largest answer so far). Returns the buffer; resultCount() tells how many
  // entries are valid.
  const int* query(const float point[3], float radius);
  int resultCount() const { return static_cast<int>(results_.size()); }

  // The same query into a caller's vector, for concurrent use: `results` is
  // cleared and receives the answer, growing as needed (its capacity is kept
  // between queries, so a reused vector soon stops allocating). Returns the
  // number of results.
  int query(const float point[3], float radius, std::vector<int>& results) const;

  // The same query into a caller's buffer of at least size() entries;
  // returns the number of results. Allocates nothing.
  int query(const float point[3], float radius, int* results) const;

  int size() const { return size_; }

  // Runs of points [first, last), ascending and disjoint, that hold every
  // point closer than `radius` to any point of the box [low, high]: the
  // leaves the queries from inside the box would scan (and perhaps a few
  // more), with touching leaves joined. Lets a batch of nearby queries walk
  // the tree once; queryRuns then answers each of them.
  void candidateRuns(const float low[3], const float high[3], float radius,
                     std::vector<std::pair<int, int>>& runs) const;

  // query(point, radius, results) answered from runs that candidateRuns
  // gave for a box holding `point`: the same indices in the same order.
  int queryRuns(const float point[3], float radius, const std::vector<std::pair<int, int>>& runs,
                std::vector<int>& results) const;

 private:
  struct Node;
  // Divides nodes[index] (see kd_tree.cpp), appending its children to
  // `nodes`; touches only the node's own range of points.
  bool divide(std::vector<Node>& nodes, int index);
  // Divides the subtree at nodes[index] to its leaves, appending its nodes,
  // except the subtrees of at most `share` points, whose roots go to
  // `deferred` undivided.
  void divideAll(std::vector<Node>& nodes, int index, int share, std::vector<int>& deferred);
  // Calls emit(i) for every point i of the subtree at `node` closer than
  // `radius` to `point`, in visiting order (kd_tree.cpp).
  template <typename Emit>
  void collect(int node, const float point[3], float radius, Emit& emit) const;
  void collectRuns(int node, const float low[3], const float high[3], float radius,
                   std::vector<std::pair<int, int>>& runs) const;

  PointSet& points_;
  int size_ = 0;
  // Nodes refer to their children by index into this pool (node 0 is the
  // root), so building and destruction need no recursion.
  std::vector<Node> nodes_;
  std::vector<int> results_;
};

// The widest leaf test the radius queries may use, in points per step: 8
// (AVX-512, the default), 4 (AVX2) or 1 (scalar); a width the processor
// lacks falls back to the next narrower one. Every width finds the same
// points in the same order; tests compare them. Returns the previous limit.
int limitLeafTestWidth(int points);

// Whether the radius queries now test eight points at a time (AVX-512, not
// limited below). Kernels that repeat those tests follow the same switch.
bool wideLeafTestsEnabled();

}  // namespace wendfit
