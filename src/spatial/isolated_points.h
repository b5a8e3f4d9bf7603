#pragma once
// Isolated points: stray returns of a scanner, far from the surface and from
// each other. A few of them widen the points' box many times over, and every
// level of the fit is scaled to that box.

#include <vector>

#include "core/point_set.h"

namespace wendfit {

// Marks (1) the points with fewer than `neighbours` others in their cube of
// a grid of side `cell` and the 26 cubes around it, so within about one to
// three cells. The grid is laid from the points' lowest corner, so the marks
// do not depend on the points' order.
std::vector<char> isolatedPoints(const PointSet& points, double cell, int neighbours);

}  // namespace wendfit
