#include "spatial/kd_tree.h"

#include <string>

#include "core/error.h"

namespace wendfit {

struct KdTree::Node {
  int begin;
  int end;
  int left = -1;   // points above the split, -1 when there are none
  int right = -1;  // points at or below the split (and NaN), -1 when none
  int axis = 0;
  float split = 0.0f;
  bool isLeaf = true;
};

namespace {

// Nodes with fewer points are scanned rather than divided.
constexpr int kMinDivisibleCount = 10;

}  // namespace

KdTree::KdTree(PointSet& points) : points_(points), size_(points.count < 0 ? 0 : points.count) {
  if (points.positions.size() < 3 * static_cast<size_t>(size_)) {
    throw Error("kd-tree: the point set has fewer positions than points (expected " +
                std::to_string(points.count) + ")");
  }
  nodes_.push_back(Node{0, size(), -1, -1, 0, 0.0f, true});
  // Every division touches only its own node's range, so the order in which
  // pending nodes are divided does not change the result; an explicit list
  // keeps adversarial input from nesting calls deeply.
  std::vector<int> pending{0};
  while (!pending.empty()) {
    const int index = pending.back();
    pending.pop_back();
    if (!divide(index)) continue;
    if (nodes_[index].right >= 0) pending.push_back(nodes_[index].right);
    if (nodes_[index].left >= 0) pending.push_back(nodes_[index].left);
  }
}

KdTree::~KdTree() = default;

// Splits a node of ten or more points at the midpoint of its longest side
// (ties go to y over x and keep x or y over z). A node none of whose points
// lies above the midpoint (coincident points, or a side so short that the
// float midpoint equals the maximum) stays a leaf and keeps its order, since
// dividing it would reproduce itself forever.
bool KdTree::divide(int index) {
  const Node node = nodes_[index];  // the pool may move when children are added
  if (node.end - node.begin < kMinDivisibleCount) return false;
  const float* pos = points_.positions.data();
  float lo[3];
  float hi[3];
  for (int k = 0; k < 3; ++k) lo[k] = hi[k] = pos[3 * static_cast<size_t>(node.begin) + k];
  for (int i = node.begin + 1; i < node.end; ++i) {
    const float* p = pos + 3 * static_cast<size_t>(i);
    for (int k = 0; k < 3; ++k) {
      if (lo[k] > p[k]) lo[k] = p[k];
      if (hi[k] < p[k]) hi[k] = p[k];
    }
  }
  const float extent[3] = {hi[0] - lo[0], hi[1] - lo[1], hi[2] - lo[2]};
  int axis = extent[1] >= extent[0] ? 1 : 0;
  if (extent[2] > extent[axis]) axis = 2;
  const float split = (lo[axis] + hi[axis]) * 0.5f;
  if (!(hi[axis] > split)) return false;

  int first = node.begin;
  int last = node.end - 1;
  while (first <= last) {
    if (pos[3 * static_cast<size_t>(first) + axis] > split) {
      ++first;
    } else {
      points_.exchange(first, last);
      --last;
    }
  }

  Node& divided = nodes_[index];
  divided.axis = axis;
  divided.split = split;
  divided.isLeaf = false;
  const int leftIndex = first != node.begin ? static_cast<int>(nodes_.size()) : -1;
  const int rightIndex =
      first != node.end ? static_cast<int>(nodes_.size()) + (leftIndex >= 0 ? 1 : 0) : -1;
  divided.left = leftIndex;
  divided.right = rightIndex;
  if (leftIndex >= 0) nodes_.push_back(Node{node.begin, first, -1, -1, 0, 0.0f, true});
  if (rightIndex >= 0) nodes_.push_back(Node{first, node.end, -1, -1, 0, 0.0f, true});
  return true;
}

// Emits the points of the subtree at `index` closer than `radius` to
// `point`. Left subtrees (points above the split) come first, and nest calls;
// the right-hand descent loops. The pruning tests are inclusive and the
// distance test strict.
template <typename Emit>
void KdTree::collect(int index, const float point[3], float radius, Emit& emit) const {
  const Node* node = &nodes_[index];
  while (!node->isLeaf) {
    const float diff = point[node->axis] - node->split;
    if (node->left >= 0 && diff + radius >= 0.0f) collect(node->left, point, radius, emit);
    if (node->right < 0 || !(diff - radius <= 0.0f)) return;
    node = &nodes_[node->right];
  }
  const double radiusSq = static_cast<double>(radius) * static_cast<double>(radius);
  const double qx = point[0];
  const double qy = point[1];
  const double qz = point[2];
  const float* pos = points_.positions.data();
  for (int i = node->begin; i < node->end; ++i) {
    const float* p = pos + 3 * static_cast<size_t>(i);
    const double dx = qx - p[0];
    const double dy = qy - p[1];
    const double dz = qz - p[2];
    const double distSq = dz * dz + dy * dy + dx * dx;
    if (distSq < radiusSq) emit(i);
  }
}

const int* KdTree::query(const float point[3], float radius) {
  query(point, radius, results_);
  return results_.data();
}

int KdTree::query(const float point[3], float radius, std::vector<int>& results) const {
  results.clear();
  auto append = [&results](int i) { results.push_back(i); };
  collect(0, point, radius, append);
  return static_cast<int>(results.size());
}

int KdTree::query(const float point[3], float radius, int* results) const {
  int count = 0;
  auto store = [results, &count](int i) { results[count++] = i; };
  collect(0, point, radius, store);
  return count;
}

}  // namespace wendfit
