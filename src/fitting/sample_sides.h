#pragma once
// SampleSides: which side of the sampled surface a point lies on, from the
// oriented samples alone, and how far it is from them.
//
// The side is the generalised winding number of the samples (each sample an
// oriented surface element of area a, contributing a n . (p - q) / 4 pi
// |p - q|^3): about 1 inside a closed surface, about 0 outside it. Unlike a
// tangent-plane test it stays decisive beside a sheet thinner than the
// sample spacing, whose two sides' planes disagree about a point beside
// them (their terms cancel outside and add up between the walls). Each
// sample's area is pi rho^2 over the samples within rho = twice the median
// spacing that face the same way, so that a thin sheet's far wall does not
// halve its near wall's areas.
//
// Evaluation follows the usual hierarchy (Barill et al. 2018, first order):
// a binary tree over the samples; a node far enough away (beyond
// kFarRatio of its radius) contributes as one dipole at its area-weighted
// centre, nearer nodes are opened, and leaves sum their samples. Sums run in
// tree order, so a point's answer does not depend on who asks or when.

#include <optional>
#include <vector>

#include "core/point_set.h"
#include "spatial/nearest_points.h"

namespace wendfit {

// Whether the normals of `points` point into the surface they sample: over a
// closed surface the sum of (p - centroid) . n grows with the enclosed
// volume (the divergence theorem), positive when the normals point out. The
// normals count as pointing in when that sum is below -kInwardShare of the
// sum of its terms' sizes; on 24 sampled scans with outward normals it was
// above +0.2 of it, and an open patch's stays near 0 either way.
inline constexpr double kInwardShare = 0.1;
bool normalsPointInward(const PointSet& points);

class SampleSides {
 public:
  // Copies the samples' positions and normals (samples with a zero normal
  // are left out). An empty set gives winding 0 and infinite distances.
  // `spacing`: the median spacing of `samples` when known (0: measured
  // here); it holds for the oriented ones when all of them are.
  explicit SampleSides(const PointSet& samples, double spacing = 0.0);

  // Generalised winding number of the samples at `q`.
  double winding(const float q[3]) const;

  // Distance from `q` to the nearest sample; `nearest` (3 floats, may be
  // nullptr) receives that sample's position.
  double nearestDistance(const float q[3], float* nearest) const;

  // Positions (3 floats each) of the two-sided samples: those with a sample
  // facing the other way within twice the median spacing (a sheet thinner
  // than the sampling, or a sharp rim).
  const std::vector<float>& twoSided() const { return twoSided_; }

  double medianSpacing() const { return spacing_; }

  // The nearest-point index over the oriented samples (nullptr for an empty
  // set): when every sample has a normal it answers for the whole set, so a
  // caller that needs distances to the same samples need not build another.
  const NearestPoints* nearestIndex() const { return nearest_ ? &*nearest_ : nullptr; }

 private:
  struct Node {
    double centre[3] = {0, 0, 0};  // area-weighted mean of the samples
    double dipole[3] = {0, 0, 0};  // sum of area * normal
    double radius = 0;             // largest distance of a sample from centre
    int begin = 0;
    int end = 0;
    int left = -1;  // children (both -1 at a leaf)
    int right = -1;
  };
  // Builds the node over order[begin, end) (indices into the samples) and
  // its subtree at nodes_[index ...], reordering that range. Nodes are
  // numbered depth first, left before right, whatever thread builds them.
  void build(std::vector<int>& order, int index, int begin, int end);

  std::vector<float> positions_;
  std::vector<float> normals_;
  std::vector<double> areas_;
  std::vector<Node> nodes_;
  // The samples as the kd-tree left them, and the index over them (none
  // for an empty set), which also gives the spacing when none is passed in.
  std::vector<float> nearestPositions_;
  std::optional<NearestPoints> nearest_;
  std::vector<float> twoSided_;
  double spacing_ = 0;
};

}  // namespace wendfit
