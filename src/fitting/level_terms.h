#pragma once
// LevelTerms: the sum of one level's fitted terms at a point, and the
// tangent-plane test of its centres near that point, read in one pass over
// the level's kd-tree runs, eight records at a time with AVX-512.
//
// The sign guard asks both at every probe: which centres lie within the
// support radius (a radius query), whether any of the nearer ones has the
// probe on its wrong side, and the level's change there (a term per
// centre). Done one by one these cost a query that writes the answer out
// and a scalar pass over it; here the leaf test, the side test and the terms
// share the loads. Every lane repeats the scalar operations exactly (float
// offsets for the terms, exact double offsets for the tests, nothing fused)
// and the terms are added one by one in ascending record order, so the sums
// and verdicts are bit for bit those of the scalar path.

#include <utility>
#include <vector>

#include "core/point_set.h"

namespace wendfit {

struct BasisFunction;

class LevelTerms {
 public:
  // The fitted records records[0, centres.count), one per centre of
  // `centres` in the same order, each with support `radius`. Usable (see
  // wide()) only for the plain weights (levelWeight with `plain`), records
  // without second-order coefficients, centres equal to the records' own,
  // and a processor with AVX-512 whose kd-tree leaf tests are allowed that
  // width; otherwise callers keep the scalar path. Copies the records'
  // constants (read afresh after every re-solve) but borrows `centres`'
  // positions and normals, which must outlive it unchanged.
  LevelTerms(const PointSet& centres, const std::vector<BasisFunction>& records, float radius,
             bool plain);

  bool wide() const { return wide_; }

  // Over the centres of `runs` (kd-tree runs holding every centre within
  // the radius of p): returns the sum of the terms of those closer than the
  // radius, in ascending order. With nearRadius >= 0 also sets `disagrees`
  // when a centre other than `self` closer than nearRadius has p on its
  // wrong side (not above its tangent plane for an `outside` probe, not
  // below it otherwise). Only when wide().
  double sum(const float p[3], const std::vector<std::pair<int, int>>& runs, int self, float nearRadius,
             bool outside, bool& disagrees) const;

 private:
  const float* positions_ = nullptr;
  const float* normals_ = nullptr;
  std::vector<float> c6_, c7_, c8_, c9_;
  float radius_ = 0;
  bool wide_ = false;
};

}  // namespace wendfit
