#pragma once
// How many levels suit a set of points: the finest support radius should be
// a fixed number of sample spacings. Fewer levels blur detail the points
// hold; more make the finest supports smaller than the gaps between points,
// so the function breaks into pockets around single points (many small
// pieces, or no surface at all).

#include <string>

#include "core/point_set.h"

namespace wendfit {

// The designed levels' geometry: a level's support radius is this many
// times the diagonal of its octree cells (see RunOptions).
inline constexpr double kDesignedRadiusPerCell = 3.0;

// The finest support radius the level rule aims at, in median sample
// spacings. Chosen on sampled scans of 100,000 and 1,000,000 points for the
// distance to the true surface against the fitting time.
inline constexpr double kFinestRadiusSpacings = 5.0;

// wendfit-reconstruct's aim for point inputs: about a level coarser than
// kFinestRadiusSpacings asks for, meshed on a finer grid. On eight scans of
// 100,000 points that was 16-24 % faster than one level more on the
// default grid, with mean distances to the true surface 10-30 % larger
// (all below screened Poisson's at depth 8) and largest distances from 6 %
// smaller to 22 % larger. The choice flips to one level coarser at about 9
// spacings for levels rounded to the box's own (1,000,000 points of a bear
// came out at 6.6 spacings: at 13.2 the largest distance grew by a fifth);
// the tool widens the box to make it exact (exactLevels).
inline constexpr double kReconstructRadiusSpacings = 9.0;
// Its grid: kMeshCellsPerRadius cells per finest support radius, but cells
// of at least kMeshCellSpacings median sample spacings, the larger of the
// two at that aim. Man at 1,000,000 points took 13.7 s with cells of 2
// spacings (3.5 M triangles) and 10.1 s with 2.5 (2.3 M, as many as with
// the old grid), at the same distances to the true surface.
inline constexpr int kMeshCellsPerRadius = 5;
inline constexpr double kMeshCellSpacings = 2.5;
// ... but cells of at least this many noise sigmas on noisy data.
inline constexpr double kNoiseCellSigmas = 1.5;
// The centres of each level: one per cell whose diagonal is this many
// times less than the level's radius, half as many centres per support as
// wendfit's 3. On eight scans of 100,000 points the tool took 0.15-0.36 x
// screened Poisson depth 8's time (0.19-0.48 with wendfit's centres), with
// mean distances to the true surface from 12 % smaller to 19 % larger, all
// below Poisson's; at 1,000,000 points man took 0.34 x depth 10 (0.43-0.52)
// with smaller mean and largest distances. Cells a further sqrt(2) wider
// (ratio 1.5) broke a camel into a sheet. Noisy data keep wendfit's
// centres: with these, sheets grew across half the noisy scans.
inline constexpr double kReconstructRadiusPerCell = 2.1213203435596424;  // 3 / sqrt(2)
// The root's widening that keeps the designed radii with those cells.
inline constexpr double kSparseRootScale = kDesignedRadiusPerCell / kReconstructRadiusPerCell;

// The median distance from a point of `points` to its nearest distinct
// point (measured on a strided subset of at most 20,000 points), in the
// points' own units; 0 when no point has a distinct neighbour.
double measureSampleSpacing(const PointSet& points);

// The support radius of level `levels` (1-based) for a box of diagonal
// `boxDiagonal`: 1.5 times the diagonal, halved at every further level; in
// general radiusPerCell / 2 times the root's diagonal (see RunOptions).
double finestSupportRadius(int levels, double boxDiagonal, double rootScale = 1.0,
                           double radiusPerCell = kDesignedRadiusPerCell);

// Levels of point inputs in wendfit-reconstruct: the count and the root's
// widening (see RunOptions) that make the finest support radius exactly
// `radiusSpacings` times `spacing`, with `radiusPerCell`: the fewest levels
// whose finest cells (at the box's own size) are no wider than the radius
// asks, widened to fit (a factor in [1, 2); more only when one level is
// already too fine). Lengths in the same units; `spacing` must be positive.
struct LevelGeometry {
  int levels = 1;
  double rootScale = 1.0;
  double radiusPerCell = kDesignedRadiusPerCell;
};
LevelGeometry exactLevels(double boxDiagonal, double spacing, double radiusSpacings, double radiusPerCell);

// The level count whose finest support radius comes nearest (on a log scale)
// to `radiusSpacings` times `spacing`, within 1 ... maxFitLevels().
// Both lengths in the same units; `spacing` must be positive.
int levelsForSpacing(double boxDiagonal, double spacing, double radiusSpacings = kFinestRadiusSpacings);

// One line (without a line feed) that tells why a fit at `levels` gave an
// empty mesh or one of several pieces, and what to try: the level count the
// rule picks when `levels` is well off it, else the likely cause in the data.
// Empty when there is nothing to say (a mesh of one piece, or an unknown
// spacing). Lengths in the same units; `radiusSpacings`: the rule's aim (see
// levelsForSpacing).
std::string levelAdvice(int levels, double boxDiagonal, double spacing, long triangles, long components,
                        double radiusSpacings = kFinestRadiusSpacings);

}  // namespace wendfit
