#pragma once
// PointOctree: a lazily divided octree over the input points that hands out
// one centre per occupied cell of a level's depth (and one per shallower cell
// holding a single point). Cells have the proportions of the points' box.
// The octree reorders the point set in place (within a cell's range, when it
// divides that cell) and does not own it; nobody else may reorder the set
// while the octree exists.

#include <array>
#include <memory>

#include "io/point_set.h"

namespace wendfit {

class PointOctree;

struct PointCell {
  float centre[3];
  int depth = 0;
  int begin = 0;
  int end = 0;
  std::unique_ptr<std::array<std::unique_ptr<PointCell>, 8>> children;
};

class PointOctree {
 public:
  // Box and root over `points`, which must hold at least one point with
  // normals (Error otherwise). Does not reorder anything.
  explicit PointOctree(PointSet& points);

  // One centre per leaf cell for `level` (depth == level, or fewer than two
  // points), in depth-first order: mean position and unit normal sum (a zero
  // sum stays zero). Divides cells as needed.
  PointSet levelCentres(int level);

  float upper[3];
  float lower[3];
  float halfExtent[3];

 private:
  PointSet& points_;
  PointCell root_;
};

}  // namespace wendfit
