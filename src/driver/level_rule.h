#pragma once
// How many levels suit a set of points: the finest support radius should be
// a fixed number of sample spacings. Fewer levels blur detail the points
// hold; more make the finest supports smaller than the gaps between points,
// so the function breaks into pockets around single points (many small
// pieces, or no surface at all).

#include <string>

#include "core/point_set.h"

namespace wendfit {

// The finest support radius the level rule aims at, in median sample
// spacings. Chosen on sampled scans of 100,000 and 1,000,000 points for the
// distance to the true surface against the fitting time.
inline constexpr double kFinestRadiusSpacings = 5.0;

// wendfit-reconstruct's aim for point inputs: a level coarser than
// kFinestRadiusSpacings asks for, meshed on a finer grid, kMeshCellsPerRadius
// cells per finest support radius (on most scans the grid's bound of about
// one spacing of the finest centres is the finer of the two). On eight scans
// of 100,000 points that was 16-24 % faster than one level more on the
// default grid, with mean distances to the true surface 10-30 % larger (all
// below screened Poisson's at depth 8) and largest distances from 6 %
// smaller to 22 % larger. Between 6.4 and 12.7 spacings the choice flips to one level
// coarser at about 9 (1,000,000 points of a bear stay at 6.6 spacings: at
// 13.2 the largest distance grew by a fifth).
inline constexpr double kReconstructRadiusSpacings = 9.0;
inline constexpr int kMeshCellsPerRadius = 5;
// ... but cells of at least this many noise sigmas on noisy data.
inline constexpr double kNoiseCellSigmas = 1.5;

// The median distance from a point of `points` to its nearest distinct
// point (measured on a strided subset of at most 20,000 points), in the
// points' own units; 0 when no point has a distinct neighbour.
double measureSampleSpacing(const PointSet& points);

// The support radius of level `levels` (1-based) for a box of diagonal
// `boxDiagonal`: 1.5 times the diagonal, halved at every further level.
double finestSupportRadius(int levels, double boxDiagonal);

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
