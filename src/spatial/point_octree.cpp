#include "spatial/point_octree.h"

#include <array>
#include <cmath>
#include <string>

#include "core/error.h"

namespace wendfit {

struct PointOctree::Cell {
  float centre[3];
  int depth;
  int begin;
  int end;
  int slots;  // index into slots_, -1 until the cell is divided
};

namespace {

// Moves the points of [begin, end) whose coordinate on `axis` is below
// `centre` to the front and returns the first index of the upper part. A
// coordinate equal to the centre, or NaN, counts as upper. The exchange
// sequence (the entry brought in from the back is examined next) fixes the
// order of the points after division, and so the order in which later cells
// sum them; it must stay as it is.
int partitionBelow(PointSet& points, int begin, int end, int axis, float centre) {
  const float* pos = points.positions.data();
  int lo = begin;
  int hi = end - 1;
  while (lo <= hi) {
    if (pos[3 * static_cast<size_t>(lo) + axis] < centre) {
      ++lo;
    } else {
      points.exchange(lo, hi);
      --hi;
    }
  }
  return lo;
}

// Mean position and normalised normal sum of the points [begin, end), summed
// in double precision in index order. A normal sum of exactly zero stays zero.
void writeCentre(const PointSet& points, int begin, int end, float position[3],
                 float normal[3]) {
  double posSum[3] = {0.0, 0.0, 0.0};
  double normalSum[3] = {0.0, 0.0, 0.0};
  for (int j = begin; j < end; ++j) {
    const float* p = points.position(j);
    const float* n = points.normal(j);
    for (int k = 0; k < 3; ++k) {
      posSum[k] += p[k];
      normalSum[k] += n[k];
    }
  }
  const double inverseCount = 1.0 / (end - begin);
  for (int k = 0; k < 3; ++k) position[k] = static_cast<float>(posSum[k] * inverseCount);
  const double length = std::sqrt(normalSum[0] * normalSum[0] + normalSum[1] * normalSum[1] +
                                  normalSum[2] * normalSum[2]);
  if (length == 0.0) {
    for (int k = 0; k < 3; ++k) normal[k] = static_cast<float>(normalSum[k]);
    return;
  }
  const double inverseLength = 1.0 / length;
  for (int k = 0; k < 3; ++k) normal[k] = static_cast<float>(normalSum[k] * inverseLength);
}

// The smallest box around the points (at least one).
void pointBounds(const PointSet& points, float lower[3], float upper[3]) {
  const float* first = points.position(0);
  for (int k = 0; k < 3; ++k) lower[k] = upper[k] = first[k];
  for (int i = 1; i < points.count; ++i) {
    const float* p = points.position(i);
    for (int k = 0; k < 3; ++k) {
      if (lower[k] > p[k]) lower[k] = p[k];
      if (upper[k] < p[k]) upper[k] = p[k];
    }
  }
}

// Depths whose undivided cells hold fewer points than this are divided on
// one thread: the work would not pay for starting the others.
constexpr long long kParallelPoints = 1 << 14;

float diagonalOf(const float halfExtent[3]) {
  const float* h = halfExtent;
  return 2.0f * std::sqrt(h[0] * h[0] + h[1] * h[1] + h[2] * h[2]);
}

}  // namespace

float PointOctree::rootDiagonal() const { return diagonalOf(halfExtent); }

float octreeBoxDiagonal(const PointSet& points) {
  if (points.count <= 0) return 0.0f;
  float lower[3];
  float upper[3];
  pointBounds(points, lower, upper);
  float h[3];
  for (int k = 0; k < 3; ++k) h[k] = (upper[k] - lower[k]) * 0.5f;
  return diagonalOf(h);
}

PointOctree::PointOctree(PointSet& points, float rootScale) : points_(points) {
  const size_t floatCount = 3 * static_cast<size_t>(points.count < 0 ? 0 : points.count);
  if (points.count <= 0 || points.positions.size() < floatCount) {
    throw Error("point octree: the point set is empty (expected at least one point)");
  }
  if (points.normals.size() < floatCount) {
    throw Error("point octree: the point set has no normals (expected one per point)");
  }
  pointBounds(points, lower, upper);
  Cell root{};
  for (int k = 0; k < 3; ++k) {
    halfExtent[k] = (upper[k] - lower[k]) * 0.5f;
    root.centre[k] = (lower[k] + upper[k]) * 0.5f;
  }
  boxDiagonal_ = diagonalOf(halfExtent);
  if (!(rootScale >= 1.0f) || !std::isfinite(rootScale)) {
    throw Error("point octree: root scale " + std::to_string(rootScale) + " is not a finite number of at least 1");
  }
  if (rootScale != 1.0f) {
    for (int k = 0; k < 3; ++k) {
      halfExtent[k] *= rootScale;
      lower[k] = root.centre[k] - halfExtent[k];
      upper[k] = root.centre[k] + halfExtent[k];
    }
  }
  root.depth = 0;
  root.begin = 0;
  root.end = points.count;
  root.slots = -1;
  cells_.push_back(root);
}

PointOctree::~PointOctree() = default;

int PointOctree::cellCount() const { return static_cast<int>(cells_.size()); }

// Visits the leaf cells for `level` depth first, children in octant order,
// dividing every inner cell on the way that has no children yet. A cell is a
// leaf when its depth equals the level or it holds fewer than two points, so
// a coincident cluster is divided down to the level and no further.
template <class Visit>
void PointOctree::forEachLeaf(int level, Visit&& visit) {
  std::vector<int> pending{0};
  while (!pending.empty()) {
    const int index = pending.back();
    pending.pop_back();
    if (cells_[index].depth == level || cells_[index].end - cells_[index].begin < 2) {
      visit(cells_[index]);
      continue;
    }
    if (cells_[index].slots < 0) divide(index);
    const Slots& children = slots_[cells_[index].slots];
    for (int i = 7; i >= 0; --i) {
      if (children[i] >= 0) pending.push_back(children[i]);
    }
  }
}

std::array<int, 9> PointOctree::partition(int index) {
  const Cell& cell = cells_[index];
  std::array<int, 9> m;
  m[0] = cell.begin;
  m[8] = cell.end;
  m[4] = partitionBelow(points_, m[0], m[8], 2, cell.centre[2]);
  m[2] = partitionBelow(points_, m[0], m[4], 1, cell.centre[1]);
  m[6] = partitionBelow(points_, m[4], m[8], 1, cell.centre[1]);
  m[1] = partitionBelow(points_, m[0], m[2], 0, cell.centre[0]);
  m[3] = partitionBelow(points_, m[2], m[4], 0, cell.centre[0]);
  m[5] = partitionBelow(points_, m[4], m[6], 0, cell.centre[0]);
  m[7] = partitionBelow(points_, m[6], m[8], 0, cell.centre[0]);
  return m;
}

void PointOctree::addChildren(int index, const std::array<int, 9>& m) {
  const Cell cell = cells_[index];  // the pool may move when children are added
  // The child's half size; it underflows to zero for very deep cells, whose
  // children then share the parent's centre (the partition still ends).
  const double scale = std::pow(2.0, -cell.depth);
  float offset[3];
  for (int k = 0; k < 3; ++k) {
    offset[k] = static_cast<float>(static_cast<double>(halfExtent[k]) * scale * 0.5);
  }

  Slots children;
  children.fill(-1);
  for (int i = 0; i < 8; ++i) {
    if (m[i + 1] - m[i] <= 0) continue;
    Cell child{};
    for (int k = 0; k < 3; ++k) {
      child.centre[k] = (i >> k) & 1 ? cell.centre[k] + offset[k] : cell.centre[k] - offset[k];
    }
    child.depth = cell.depth + 1;
    child.begin = m[i];
    child.end = m[i + 1];
    child.slots = -1;
    children[i] = static_cast<int>(cells_.size());
    cells_.push_back(child);
  }
  cells_[index].slots = static_cast<int>(slots_.size());
  slots_.push_back(children);
}

void PointOctree::divide(int index) { addChildren(index, partition(index)); }

// A cell's division depends on its own points alone, and the cells of one
// depth own disjoint ranges of the set: each depth's cells are partitioned
// in parallel, and the tree and the points' order come out as the serial
// descent leaves them. Only the cells' places in the pool differ, which
// nothing outside the tree sees.
void PointOctree::divideDownTo(int level) {
  std::vector<int> depthCells{0};
  std::vector<int> undivided;
  std::vector<std::array<int, 9>> bounds;
  std::vector<int> next;
  while (!depthCells.empty()) {
    undivided.clear();
    long long points = 0;
    for (int index : depthCells) {
      const Cell& cell = cells_[index];
      if (cell.depth == level || cell.end - cell.begin < 2 || cell.slots >= 0) continue;
      undivided.push_back(index);
      points += cell.end - cell.begin;
    }
    const int count = static_cast<int>(undivided.size());
    bounds.resize(undivided.size());
#pragma omp parallel for schedule(guided) if (count > 1 && points >= kParallelPoints)
    for (int e = 0; e < count; ++e) bounds[e] = partition(undivided[e]);
    for (int e = 0; e < count; ++e) addChildren(undivided[e], bounds[e]);
    next.clear();
    for (int index : depthCells) {
      const Cell& cell = cells_[index];
      if (cell.slots < 0 || cell.depth == level) continue;
      for (int child : slots_[cell.slots]) {
        if (child >= 0) next.push_back(child);
      }
    }
    depthCells.swap(next);
  }
}

PointSet PointOctree::levelCentres(int level) {
  if (level < 0) {
    throw Error("point octree: level " + std::to_string(level) +
                " is negative (expected 0 or more)");
  }
  // Every cell the level needs is made first; then two passes in the same
  // order, so that the result is allocated once at its exact size.
  divideDownTo(level);
  int leafCount = 0;
  forEachLeaf(level, [&leafCount](const Cell&) { ++leafCount; });

  PointSet centres;
  centres.allocate(leafCount);
  int next = 0;
  forEachLeaf(level, [&](const Cell& cell) {
    writeCentre(points_, cell.begin, cell.end, &centres.positions[3 * static_cast<size_t>(next)],
                &centres.normals[3 * static_cast<size_t>(next)]);
    ++next;
  });
  return centres;
}

}  // namespace wendfit
