#pragma once
// Noise of an oriented point set, measured from the data, and the fit
// settings that suit it.
//
// Position noise: around a subset of the points, a quadric height field
// w(u, v) is fitted by least squares to the neighbours within a radius, in
// the frame of their principal axes. The residual of the point itself,
// divided by sqrt(1 - leverage) so that it is unbiased for the fit's own
// degrees of freedom, is one sample of the noise along the surface normal;
// sigma is 1.4826 x the median of their absolute values (robust to outliers
// and to the few neighbourhoods that a quadric does not describe). The
// radius starts at a few sample spacings and grows to a multiple of the
// estimated sigma, so that noisy neighbourhoods are wide enough to show
// the surface rather than the noise.
//
// Normals: a normal disagrees with its neighbourhood when it points away
// from the consensus of the normals of the points around it that lie near
// its tangent plane: against it (flipped) or more than 60 degrees off it
// (stray). Each point's verdict uses only its neighbours, so every point's
// status is the same in any order of evaluation and for any thread count.

#include <cstdint>
#include <vector>

#include "core/point_set.h"

namespace wendfit {

enum class NormalStatus : uint8_t { Agrees, Flipped, Stray };

struct NoiseEstimate {
  double sigma = 0;               // position noise along the normal, in the points' units
  double spacing = 0;             // median distance to the nearest other point
  double boxDiagonal = 0;         // of the points' tight box
  double neighbourhoodRadius = 0; // radius of the local fits that gave sigma
  int fittedSamples = 0;          // local fits that entered sigma
  double normalAngle = 0;         // median angle (radians) between a sampled point's
                                  // normal and its local fit's normal, orientation ignored
  // Over sampled points, the mean share of the neighbours near a point's
  // tangent plane whose normals face against its own: a few hundredths on
  // oriented scans (thin parts, sharp edges), a half for normals whose
  // signs are random.
  double opposedShare = 0;
  long flippedNormals = 0;        // over all points
  long strayNormals = 0;          // over all points
};

// Measures the noise of `points` (positions and normals of `count` points;
// normals need not be unit length). When `status` is given it receives one
// NormalStatus per point, in the set's order. Deterministic and independent
// of the thread count. A set with too few points or without extent gives
// an estimate of 0 with every normal agreeing. Does not change the set.
// `spacing`, when positive, is the set's medianSpacing as the caller has
// already measured it, and is not measured again.
NoiseEstimate estimateNoise(const PointSet& points, std::vector<NormalStatus>* status = nullptr,
                            double spacing = 0);

// Acts on the statuses of estimateNoise: negates flipped normals and drops
// stray points (a normal that is far off from the surface it sits on makes
// a wrong-sign patch in the fit, and no better normal is known for it).
// `status` must have one entry per point. Returns the number of points
// treated (flipped + dropped); the order of the kept points is unchanged.
long treatNormals(PointSet& points, const std::vector<NormalStatus>& status);

struct NoiseFitSettings {
  double threshold = 0;       // relative error threshold (times the box diagonal)
  double regularization = 0;  // added to every level's diagonal
  int levels = 0;             // number of levels
  double sigma = 0;           // the position noise they follow (input units; 0: exact)
};

// Below this sigma (relative to the box diagonal) the data count as exact:
// noiseFitSettings keeps every level and threshold 0, with the light
// regularization of the least noise (1).
constexpr double kExactRelativeNoise = 2e-4;

// The fit settings for points with position noise `sigma` (same units as
// `boxDiagonal`, the diagonal of the points' tight box):
//  - exact data (sigma < kExactRelativeNoise x boxDiagonal): threshold 0,
//    regularization 1 (what the noisy rule gives at that bound: it damps
//    the overshoot at sharp and thin features), levels = cleanLevels;
//  - noisy data: threshold 2 sigma / boxDiagonal (refinement stops where the
//    function already lies within the noise band), regularization
//    5000 sigma / boxDiagonal (10 at 0.2 % noise; smooths what the
//    threshold lets through; chosen by measurement on noisy scans), and
//    cleanLevels capped so that the finest support radius,
//    1.5 x boxDiagonal / 2^(levels - 1), stays above 3 sigma (finer levels
//    could only follow the noise).
// cleanLevels is the level count the caller would use on exact data (at
// least 1). Throws Error for a negative or non-finite sigma, a diagonal that
// is not positive, or cleanLevels < 1.
NoiseFitSettings noiseFitSettings(double sigma, double boxDiagonal, int cleanLevels);

struct NoiseChoice {
  NoiseEstimate estimate;     // what was measured (all 0 for exact data)
  double sigma = 0;           // the noise the settings follow: given or measured
  bool measured = false;      // sigma comes from the estimate
  NoiseFitSettings settings;  // noiseFitSettings(sigma, ...)
};

// The whole choice for a tool with a noise option, on the points as read
// (input units):
//  - givenSigma < 0 ("auto"): measures the noise and the normals;
//  - givenSigma > 0: measures the normals, takes givenSigma as the noise;
//  - givenSigma == 0: the data are exact; nothing is measured and the
//    settings are those of exact data (threshold 0, regularization 1,
//    cleanLevels).
// `status` (when given) receives one NormalStatus per point, all Agrees for
// givenSigma == 0, and no Flipped where the noise measured or given counts
// as exact (such normals are Stray: dropped, not reversed); pass it to
// treatNormals to act on it. `spacing` is passed on
// to estimateNoise. The caller prints the choice. Throws Error for a
// non-finite givenSigma or cleanLevels < 1.
//
// wendfit-reconstruct, for example:
//   std::vector<NormalStatus> status;
//   const NoiseChoice choice = chooseNoiseSettings(points, sigmaOption, levels, &status);
//   const long treated = treatNormals(points, status);
//   ... fit choice.settings.levels levels with choice.settings.threshold
//       (times the box diagonal) and choice.settings.regularization.
NoiseChoice chooseNoiseSettings(const PointSet& points, double givenSigma, int cleanLevels,
                                std::vector<NormalStatus>* status = nullptr, double spacing = 0);

// Turns a choice made on measured noise into that of exact data (sigma 0,
// the exact settings at `cleanLevels`, normals judged Flipped dropped as
// Stray), keeping what was measured: for points known to lie on the surface, such as samples of
// a mesh's faces, whose sharp edges and thin parts read as noise.
void takeAsExact(NoiseChoice& choice, int cleanLevels, std::vector<NormalStatus>* status);

}  // namespace wendfit
