#include "fitting/sample_sides.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "spatial/kd_tree.h"
#include "spatial/median_split.h"

namespace wendfit {

bool normalsPointInward(const PointSet& points) {
  if (points.count == 0) return false;
  double centre[3] = {0.0, 0.0, 0.0};
  for (int i = 0; i < points.count; ++i) {
    for (int a = 0; a < 3; ++a) centre[a] += points.position(i)[a];
  }
  for (double& c : centre) c /= points.count;
  double sum = 0.0, sizes = 0.0;
  for (int i = 0; i < points.count; ++i) {
    const float* p = points.position(i);
    const float* n = points.normal(i);
    double term = 0.0;
    for (int a = 0; a < 3; ++a) term += (static_cast<double>(p[a]) - centre[a]) * n[a];
    sum += term;
    sizes += std::fabs(term);
  }
  return sum < -kInwardShare * sizes;
}

namespace {

// Samples per leaf of the tree.
constexpr int kLeafSamples = 8;

// A node contributes as one dipole when the point is farther from its centre
// than this many node radii; the dipole's error then falls off as the cube
// of the ratio's inverse.
constexpr double kFarRatio = 2.0;

// The area of a sample is measured over a ball of this many median spacings.
constexpr double kAreaSpacings = 2.0;

// Samples facing each other more squarely than this cosine make a sheet
// two-sided.
constexpr double kOppositeCosine = -0.5;

constexpr double kPi = 3.14159265358979323846;
constexpr double kFourPi = 4.0 * kPi;

double term(const double centre[3], const double dipole[3], const float q[3]) {
  const double dx = centre[0] - q[0];
  const double dy = centre[1] - q[1];
  const double dz = centre[2] - q[2];
  const double distSq = dx * dx + dy * dy + dz * dz;
  if (!(distSq > 0)) return 0.0;
  const double dist = std::sqrt(distSq);
  return (dipole[0] * dx + dipole[1] * dy + dipole[2] * dz) / (kFourPi * distSq * dist);
}

// Nodes of the subtree over `count` samples: a leaf holds at most
// kLeafSamples, and every other node splits its samples at the middle.
int subtreeNodes(int count) {
  if (count <= kLeafSamples) return 1;
  return 1 + subtreeNodes(count / 2) + subtreeNodes(count - count / 2);
}

// Subtrees of more samples than this are built as tasks of their own.
constexpr int kTaskSamples = 4096;

}  // namespace

SampleSides::SampleSides(const PointSet& samples, double spacing) {
  // Samples without a normal (dropped by the noise step) face no side.
  std::vector<char> oriented(static_cast<size_t>(samples.count));
  for (int i = 0; i < samples.count; ++i) {
    const float* n = samples.normal(i);
    oriented[i] = n[0] != 0.0f || n[1] != 0.0f || n[2] != 0.0f;
  }
  PointSet kept = samples.subset(oriented);
  const int count = kept.count;
  if (count == 0) return;
  // The kd-tree reorders the copy; everything below uses that order.
  KdTree tree(kept);
  positions_ = kept.positions;
  normals_ = kept.normals;
  nearestPositions_ = kept.positions;
  nearest_.emplace(nearestPositions_.data(), count);
  spacing_ = spacing > 0.0 && count == samples.count ? spacing : wendfit::medianSpacing(*nearest_);

  areas_.assign(count, 0.0);
  const double rho = kAreaSpacings * spacing_;
  // Each sample's area and two-sidedness depend on it alone: any thread
  // count gives the same.
  std::vector<char> twoSided(count, 0);
#pragma omp parallel
  {
    std::vector<int> found;
#pragma omp for schedule(dynamic, 256)
    for (int i = 0; i < count; ++i) {
      const float* n = kept.normal(i);
      int facing = 0;
      if (rho > 0) tree.query(kept.position(i), static_cast<float>(rho), found);
      for (int j : found) {
        const float* m = kept.normal(j);
        const double cosine = static_cast<double>(n[0]) * m[0] + static_cast<double>(n[1]) * m[1] +
                              static_cast<double>(n[2]) * m[2];
        if (cosine > 0) ++facing;
        if (cosine < kOppositeCosine) twoSided[i] = 1;
      }
      areas_[i] = facing > 0 ? kPi * rho * rho / facing : 0.0;
    }
  }
  for (int i = 0; i < count; ++i) {
    if (twoSided[i]) twoSided_.insert(twoSided_.end(), kept.position(i), kept.position(i) + 3);
  }
  nodes_.resize(static_cast<size_t>(subtreeNodes(count)));
  std::vector<int> order(count);
  std::iota(order.begin(), order.end(), 0);
#pragma omp parallel
#pragma omp single
  build(order, 0, 0, count);
  // The samples in tree order, so that every node is a range of them.
  std::vector<float> positions(positions_.size());
  std::vector<float> normals(normals_.size());
  std::vector<double> areas(areas_.size());
  for (int e = 0; e < count; ++e) {
    const size_t i = static_cast<size_t>(order[e]);
    std::copy(&positions_[3 * i], &positions_[3 * i] + 3, &positions[3 * static_cast<size_t>(e)]);
    std::copy(&normals_[3 * i], &normals_[3 * i] + 3, &normals[3 * static_cast<size_t>(e)]);
    areas[e] = areas_[i];
  }
  positions_ = std::move(positions);
  normals_ = std::move(normals);
  areas_ = std::move(areas);
}

void SampleSides::build(std::vector<int>& order, int index, int begin, int end) {
  Node node;
  node.begin = begin;
  node.end = end;
  double area = 0;
  double lo[3] = {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::infinity(),
                  std::numeric_limits<double>::infinity()};
  double hi[3] = {-lo[0], -lo[1], -lo[2]};
  for (int e = begin; e < end; ++e) {
    const size_t i = static_cast<size_t>(order[e]);
    const double a = areas_[i];
    area += a;
    for (int k = 0; k < 3; ++k) {
      const double p = positions_[3 * i + k];
      node.centre[k] += a * p;
      node.dipole[k] += a * normals_[3 * i + k];
      lo[k] = std::min(lo[k], p);
      hi[k] = std::max(hi[k], p);
    }
  }
  for (int k = 0; k < 3; ++k) node.centre[k] = area > 0 ? node.centre[k] / area : 0.5 * (lo[k] + hi[k]);
  for (int e = begin; e < end; ++e) {
    const size_t i = static_cast<size_t>(order[e]);
    double distSq = 0;
    for (int k = 0; k < 3; ++k) {
      const double d = positions_[3 * i + k] - node.centre[k];
      distSq += d * d;
    }
    node.radius = std::max(node.radius, std::sqrt(distSq));
  }
  if (end - begin > kLeafSamples) {
    const int middle = begin + (end - begin) / 2;
    splitAtMedian(order, positions_.data(), begin, middle, end, longestAxis(lo, hi));
    node.left = index + 1;
    node.right = index + 1 + subtreeNodes(middle - begin);
    // Subtrees own disjoint ranges of `order` and of the nodes; the large
    // ones go to other threads.
#pragma omp task default(shared) if (end - begin > kTaskSamples)
    build(order, node.left, begin, middle);
    build(order, node.right, middle, end);
#pragma omp taskwait
  }
  nodes_[index] = node;
}

double SampleSides::winding(const float q[3]) const {
  if (nodes_.empty()) return 0.0;
  double sum = 0;
  int stack[64];
  int top = 0;
  stack[top++] = 0;
  while (top > 0) {
    const Node& node = nodes_[stack[--top]];
    const double dx = node.centre[0] - q[0];
    const double dy = node.centre[1] - q[1];
    const double dz = node.centre[2] - q[2];
    const double far = kFarRatio * node.radius;
    if (dx * dx + dy * dy + dz * dz > far * far) {
      sum += term(node.centre, node.dipole, q);
    } else if (node.left < 0) {
      for (int i = node.begin; i < node.end; ++i) {
        const double p[3] = {positions_[3 * static_cast<size_t>(i)], positions_[3 * static_cast<size_t>(i) + 1],
                             positions_[3 * static_cast<size_t>(i) + 2]};
        const double an[3] = {areas_[i] * normals_[3 * static_cast<size_t>(i)],
                              areas_[i] * normals_[3 * static_cast<size_t>(i) + 1],
                              areas_[i] * normals_[3 * static_cast<size_t>(i) + 2]};
        sum += term(p, an, q);
      }
    } else {
      // Right pushed first: the left child is summed first.
      stack[top++] = node.right;
      stack[top++] = node.left;
    }
  }
  return sum;
}

double SampleSides::nearestDistance(const float q[3], float* nearest) const {
  if (!nearest_) return std::numeric_limits<double>::infinity();
  double distSq = 0;
  const int i = nearest_->nearest(q, &distSq);
  if (nearest && i >= 0) std::copy(nearestPositions_.begin() + 3 * static_cast<size_t>(i),
                                   nearestPositions_.begin() + 3 * static_cast<size_t>(i) + 3, nearest);
  return std::sqrt(distSq);
}

}  // namespace wendfit
