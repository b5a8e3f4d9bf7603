#pragma once
// PointOctree: a lazily divided octree over the input points that hands out
// one centre per occupied cell of a level's depth (and one per shallower cell
// holding a single point). Cells have the proportions of the points' box.
// The octree reorders the point set in place (within a cell's range, when it
// divides that cell) and does not own it; nobody else may reorder the set
// while the octree exists.

#include <array>
#include <vector>

#include "core/point_set.h"

namespace wendfit {

class PointOctree {
 public:
  // Box and root over `points`, which must hold at least one point with
  // normals (Error otherwise). Does not reorder anything. The set must
  // outlive the octree. A `rootScale` above 1 widens the root cell about
  // the box's centre by that factor, so that every depth's cells are that
  // much larger (a level between the box's own powers of two).
  explicit PointOctree(PointSet& points, float rootScale = 1.0f);
  ~PointOctree();
  PointOctree(const PointOctree&) = delete;
  PointOctree& operator=(const PointOctree&) = delete;

  // One centre per leaf cell for `level` (depth == level, or fewer than two
  // points), in depth-first order: mean position and unit normal sum (a zero
  // sum stays zero); values absent. Divides cells as needed, which reorders
  // the point set within the divided cells' ranges. Error for a negative
  // level.
  PointSet levelCentres(int level);

  // Number of cells created so far, the root included. The tree only grows.
  int cellCount() const;

  // The root cell.
  float upper[3];
  float lower[3];
  float halfExtent[3];

  // The diagonal of the points' box: the length the fit's tolerances are
  // measured against.
  float boxDiagonal() const { return boxDiagonal_; }
  // The diagonal of the root cell, 2 |halfExtent|: the box's own unless
  // widened. The fit's radii are measured against it.
  float rootDiagonal() const;

 private:
  struct Cell;
  // Child cell indices of a divided cell in octant order; -1 for an empty
  // octant.
  using Slots = std::array<int, 8>;

  template <class Visit>
  void forEachLeaf(int level, Visit&& visit);
  void divide(int cell);
  // Reorders the cell's points into its octants; returns the octants'
  // bounds in the point set (octant i holds [m[i], m[i+1])).
  std::array<int, 9> partition(int cell);
  void addChildren(int cell, const std::array<int, 9>& m);
  // Divides every cell above `level` that the level's leaves lie below.
  void divideDownTo(int level);

  PointSet& points_;
  float boxDiagonal_ = 0.0f;
  // Cells refer to one another by index into these pools, so neither
  // traversal nor destruction recurses however deep a cluster is divided.
  std::vector<Cell> cells_;
  std::vector<Slots> slots_;
};

// PointOctree(points).boxDiagonal(), bit for bit, without building the tree
// (and without reordering the points); 0 for no points.
float octreeBoxDiagonal(const PointSet& points);

}  // namespace wendfit
