#include "fitting/noise_estimate.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <parallel/algorithm>

#include <Eigen/Dense>

#include "core/error.h"
#include "spatial/nearest_points.h"

namespace wendfit {

namespace {

// The first local fits use this many spacings as radius (about 25
// neighbours on an even sampling, enough for six coefficients) ...
constexpr double kSpacingRadius = 6.0;
// ... and the radius grows until it is this many sigmas, so that a
// neighbourhood spans much more surface than noise.
constexpr double kSigmaRadius = 8.0;
constexpr int kMaxRadiusRounds = 4;
// A wider neighbourhood that raises sigma by more than this factor sees
// the shape (a thin limb it wraps around), not more of the noise: the
// narrower estimate stands.
constexpr double kMaxSigmaGrowth = 1.25;
// Local fits over a ball narrower than this many sigmas absorb part of the
// noise, so their estimate is low whatever the shape.
constexpr double kMinSigmaRadius = 4.0;
// ... and the estimate then counts only if a ball this much wider raises it
// by less than this factor.
constexpr double kSteadyRadiusGrowth = 1.5;
constexpr double kSteadySigmaGrowth = 1.1;
// A ball wider than this share of the box diagonal sees the whole shape,
// not a patch of it: no local fit there says anything about the noise.
constexpr double kMaxRadiusDiagonals = 0.125;
// At most this many local fits enter sigma (a strided subset of the points).
constexpr int kMaxSamples = 4000;
// A fit uses at most this many neighbours (a strided subset of them).
constexpr int kMaxFitNeighbours = 192;
constexpr int kMinFitNeighbours = 12;
// MAD of a Gaussian times this is its standard deviation.
constexpr double kMadToSigma = 1.4826;
// Normals are judged against the neighbours within this many spacings.
constexpr double kNormalRadius = 6.0;
constexpr int kMinNormalNeighbours = 4;
// A neighbourhood whose normals cancel out (the two sides of a thin part)
// has no consensus: the mean of its unit normals must be at least this long.
constexpr double kMinConsensus = 0.8;

// A normal that at least kMinAllies and one in kVotesPerAlly of its voting
// neighbours share is taken as the wall of a two-sided sheet, not as a
// wrong normal (wrong normals are rare: a few percent share a neighbourhood
// by chance).
constexpr int kMinAllies = 3;
constexpr int kVotesPerAlly = 10;
// cos 60 degrees: beyond this a normal is far off its neighbourhood.
constexpr double kStrayCosine = 0.5;

// Fixed-radius neighbour search over a caller's positions: points sorted by
// the cell of a cubic grid whose cells are one radius wide, so a query
// looks at 27 cells. Answers list points by cell, then by index, whatever
// the thread or the order of the queries.
class RadiusGrid {
 public:
  RadiusGrid(const std::vector<float>& positions, int count, double radius) : radius_(radius) {
    for (int k = 0; k < 3; ++k) lo_[k] = std::numeric_limits<double>::infinity();
    for (int i = 0; i < count; ++i) {
      for (int k = 0; k < 3; ++k) lo_[k] = std::min(lo_[k], static_cast<double>(positions[3 * size_t(i) + k]));
    }
    entries_.resize(static_cast<size_t>(count));
#pragma omp parallel for schedule(static)
    for (int i = 0; i < count; ++i) entries_[i] = {keyOf(cellOf(&positions[3 * size_t(i)])), i};
    // The entries are distinct (each has its point's index): one order,
    // however the threads divide the sort.
    __gnu_parallel::sort(entries_.begin(), entries_.end());
    // The scans read the positions in the entries' order: a cell's points
    // lie together in memory instead of scattered over the caller's array.
    sorted_.resize(3 * entries_.size());
#pragma omp parallel for schedule(static)
    for (size_t e = 0; e < entries_.size(); ++e) {
      std::copy(&positions[3 * size_t(entries_[e].second)], &positions[3 * size_t(entries_[e].second)] + 3,
                &sorted_[3 * e]);
    }
  }

  using Cell = std::array<long, 3>;
  using Range = std::pair<size_t, size_t>;  // entries [first, second)

  Cell cellOf(const float* p) const {
    Cell cell;
    for (int k = 0; k < 3; ++k) cell[k] = static_cast<long>(std::floor((p[k] - lo_[k]) / radius_));
    return cell;
  }

  // The entries of the 27 cells around `cell` as ranges, in cell order.
  // Every point of the cell reads the same ranges.
  void rangesAround(const Cell& cell, std::vector<Range>& ranges) const {
    ranges.clear();
    auto from = [&](uint64_t key) {
      return static_cast<size_t>(
          std::lower_bound(entries_.begin(), entries_.end(), std::make_pair(key, -1)) - entries_.begin());
    };
    for (int dx = -1; dx <= 1; ++dx) {
      for (int dy = -1; dy <= 1; ++dy) {
        const long x = cell[0] + dx;
        const long y = cell[1] + dy;
        if (x < 0 || y < 0) continue;
        const long firstZ = std::max(cell[2] - 1, 0L);
        const long lastZ = cell[2] + 1;
        if (lastZ < 0) continue;
        if (lastZ <= kLastCell && x <= kLastCell && y <= kLastCell) {
          // The column's cells are adjacent keys: one range, in the same
          // cell-then-index order as cell by cell.
          ranges.emplace_back(from(keyOf({x, y, firstZ})), from(keyOf({x, y, lastZ}) + 1));
          continue;
        }
        for (long z = firstZ; z <= lastZ; ++z) {
          const uint64_t key = keyOf({x, y, z});
          ranges.emplace_back(from(key), from(key + 1));
        }
      }
    }
  }

  // Indices of the points closer than the radius to p (p included when it
  // is one of them), into `out`; `ranges` are those around p's cell.
  void scan(const float* p, const std::vector<Range>& ranges, std::vector<int>& out) const {
    out.clear();
    const double radiusSq = radius_ * radius_;
    for (const Range& range : ranges) {
      for (size_t e = range.first; e < range.second; ++e) {
        const float* q = &sorted_[3 * e];
        double distSq = 0;
        for (int k = 0; k < 3; ++k) distSq += (double(q[k]) - p[k]) * (double(q[k]) - p[k]);
        if (distSq < radiusSq) out.push_back(entries_[e].second);
      }
    }
  }

  void query(const float* p, std::vector<int>& out) const {
    std::vector<Range> ranges;
    rangesAround(cellOf(p), ranges);
    scan(p, ranges, out);
  }

  // The points in the grid's order (by cell): neighbouring entries have
  // neighbouring queries.
  int pointAt(size_t e) const { return entries_[e].second; }

 private:
  // 21 bits per axis. Beyond 2 million cells along a side (a far outlier)
  // distant cells share a key: queries then test more points, never fewer.
  static constexpr long kLastCell = (1L << 21) - 1;
  static uint64_t keyOf(const std::array<long, 3>& cell) {
    const uint64_t mask = kLastCell;
    return (uint64_t(cell[0]) & mask) << 42 | (uint64_t(cell[1]) & mask) << 21 | (uint64_t(cell[2]) & mask);
  }

  std::vector<float> sorted_;  // positions in the entries' order
  double radius_;
  double lo_[3];
  std::vector<std::pair<uint64_t, int>> entries_;
};

Eigen::Vector3d positionOf(const PointSet& points, int i) {
  const float* p = points.position(i);
  return {p[0], p[1], p[2]};
}

Eigen::Vector3d unitNormalOf(const PointSet& points, int i) {
  const float* n = points.normal(i);
  Eigen::Vector3d normal(n[0], n[1], n[2]);
  const double length = normal.norm();
  return length > 0 ? Eigen::Vector3d(normal / length) : Eigen::Vector3d::Zero();
}

struct LocalFit {
  bool valid = false;
  double residual = 0;  // of the centre point, standardised by its leverage
  double normalAngle = 0;
};

// The quadric height field over the neighbours' principal plane, and the
// centre's residual and normal angle against it.
LocalFit fitAround(const PointSet& points, int centre, const std::vector<int>& found) {
  LocalFit fit;
  std::vector<int> used;
  const int stride = static_cast<int>((found.size() + kMaxFitNeighbours - 1) / kMaxFitNeighbours);
  used.push_back(centre);
  for (size_t k = 0; k < found.size(); k += static_cast<size_t>(std::max(stride, 1))) {
    if (found[k] != centre) used.push_back(found[k]);
  }
  if (static_cast<int>(used.size()) < kMinFitNeighbours) return fit;

  Eigen::Vector3d mean = Eigen::Vector3d::Zero();
  for (int i : used) mean += positionOf(points, i);
  mean /= static_cast<double>(used.size());
  Eigen::Matrix3d covariance = Eigen::Matrix3d::Zero();
  for (int i : used) {
    const Eigen::Vector3d d = positionOf(points, i) - mean;
    covariance += d * d.transpose();
  }
  const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> axes(covariance);
  const Eigen::Vector3d t1 = axes.eigenvectors().col(2);
  const Eigen::Vector3d t2 = axes.eigenvectors().col(1);
  const Eigen::Vector3d normal = axes.eigenvectors().col(0);
  // Coordinates in the plane scaled to about 1, for a well-conditioned
  // system.
  const double scale = std::sqrt(axes.eigenvalues()(2) / static_cast<double>(used.size()));
  if (!(scale > 0)) return fit;

  Eigen::Matrix<double, 6, 6> normalMatrix = Eigen::Matrix<double, 6, 6>::Zero();
  Eigen::Matrix<double, 6, 1> rhs = Eigen::Matrix<double, 6, 1>::Zero();
  auto rowOf = [&](int i, double* w) {
    const Eigen::Vector3d d = positionOf(points, i) - mean;
    const double u = d.dot(t1) / scale;
    const double v = d.dot(t2) / scale;
    *w = d.dot(normal);
    Eigen::Matrix<double, 6, 1> row;
    row << 1, u, v, u * u, u * v, v * v;
    return row;
  };
  for (int i : used) {
    double w = 0;
    const Eigen::Matrix<double, 6, 1> row = rowOf(i, &w);
    normalMatrix += row * row.transpose();
    rhs += row * w;
  }
  const Eigen::LDLT<Eigen::Matrix<double, 6, 6>> solver(normalMatrix);
  if (solver.info() != Eigen::Success || !(solver.rcond() > 1e-12)) return fit;
  const Eigen::Matrix<double, 6, 1> coefficients = solver.solve(rhs);
  double w = 0;
  const Eigen::Matrix<double, 6, 1> row = rowOf(centre, &w);
  const double leverage = row.dot(solver.solve(row));
  // A centre that carries its own fit (leverage near 1) says little about
  // the noise; keep its weight bounded.
  fit.residual = (w - row.dot(coefficients)) / std::sqrt(std::max(1.0 - leverage, 0.1));

  // The height field's normal at the centre: (-dw/du, -dw/dv, 1) in the
  // frame, with the derivatives taken in unscaled units.
  const double u = row(1);
  const double v = row(2);
  const double slopeU = (coefficients(1) + 2 * coefficients(3) * u + coefficients(4) * v) / scale;
  const double slopeV = (coefficients(2) + coefficients(4) * u + 2 * coefficients(5) * v) / scale;
  const Eigen::Vector3d fitNormal = (normal - slopeU * t1 - slopeV * t2).normalized();
  const Eigen::Vector3d given = unitNormalOf(points, centre);
  fit.normalAngle = std::acos(std::min(1.0, std::fabs(fitNormal.dot(given))));
  fit.valid = std::isfinite(fit.residual);
  return fit;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const size_t middle = (values.size() - 1) / 2;
  std::nth_element(values.begin(), values.begin() + middle, values.end());
  return values[middle];
}

// One round of local fits at `radius` over the sampled points: sigma and
// the median normal angle.
void fitSamples(const PointSet& points, double radius, NoiseEstimate& estimate) {
  const RadiusGrid grid(points.positions, points.count, radius);
  const int stride = std::max(1, (points.count + kMaxSamples - 1) / kMaxSamples);
  const long sampleCount = (points.count + stride - 1) / stride;
  std::vector<LocalFit> fits(static_cast<size_t>(sampleCount));
#pragma omp parallel
  {
    std::vector<int> found;
#pragma omp for schedule(dynamic, 16)
    for (long s = 0; s < sampleCount; ++s) {
      const int i = static_cast<int>(s * stride);
      grid.query(points.position(i), found);
      fits[s] = fitAround(points, i, found);
    }
  }
  std::vector<double> residuals;
  std::vector<double> angles;
  for (const LocalFit& fit : fits) {
    if (!fit.valid) continue;
    residuals.push_back(std::fabs(fit.residual));
    angles.push_back(fit.normalAngle);
  }
  estimate.neighbourhoodRadius = radius;
  estimate.fittedSamples = static_cast<int>(residuals.size());
  estimate.sigma = kMadToSigma * median(residuals);
  estimate.normalAngle = median(angles);
}

// The mean direction of the unit normals of point i's neighbours (itself
// left out), which gives its tangent plane; false when they cancel.
bool neighboursAcross(const std::vector<Eigen::Vector3d>& units, int i, const std::vector<int>& found,
                      Eigen::Vector3d& across) {
  Eigen::Vector3d all = Eigen::Vector3d::Zero();
  for (int j : found) {
    if (j != i) all += units[j];
  }
  if (!(all.norm() > 0)) return false;
  across = all.normalized();
  return true;
}

// Whether a neighbour at offset d lies near the tangent plane across
// `across`: within 30 degrees of it, widened by the noise.
bool nearTangentPlane(const Eigen::Vector3d& d, const Eigen::Vector3d& across, double sigma) {
  return !(std::fabs(d.dot(across)) > 0.5 * d.norm() + 2.0 * sigma);
}

// Of point i's neighbours near its tangent plane (as judgeNormal takes them),
// the share whose normals face against its own; negative when too few vote.
double opposedShareAt(const PointSet& points, const std::vector<Eigen::Vector3d>& units, int i,
                      const std::vector<int>& found, double sigma) {
  const Eigen::Vector3d& normal = units[i];
  const Eigen::Vector3d p = positionOf(points, i);
  Eigen::Vector3d across;
  if (normal.isZero() || !neighboursAcross(units, i, found, across)) return -1.0;
  int used = 0;
  int opposed = 0;
  for (int j : found) {
    if (j == i) continue;
    if (!nearTangentPlane(positionOf(points, j) - p, across, sigma)) continue;
    ++used;
    if (units[j].dot(normal) < -kStrayCosine) ++opposed;
  }
  return used < kMinNormalNeighbours ? -1.0 : static_cast<double>(opposed) / used;
}

// The verdict on point i's normal from the unit normals of its neighbours.
// Their mean direction gives the tangent plane (point i's own normal may be
// the wrong one to give it); only neighbours near that plane then vote, so
// that on a thin part the other side, whose normals point the other way,
// does not.
// `units` holds every point's unitNormalOf.
NormalStatus judgeNormal(const PointSet& points, const std::vector<Eigen::Vector3d>& units, int i,
                         const std::vector<int>& found, double sigma) {
  const Eigen::Vector3d& normal = units[i];
  if (normal.isZero()) return NormalStatus::Stray;
  const Eigen::Vector3d p = positionOf(points, i);
  Eigen::Vector3d across;
  if (!neighboursAcross(units, i, found, across)) return NormalStatus::Agrees;
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  int used = 0;
  int alike = 0;
  // Once the allies outnumber a tenth of every neighbour that could still
  // vote, the normal agrees whatever the rest say: most points of a clean
  // scan are settled after a dozen of their hundred-odd neighbours.
  const long total = static_cast<long>(found.size());
  for (long k = 0; k < total; ++k) {
    const int j = found[k];
    if (j == i) continue;
    if (!nearTangentPlane(positionOf(points, j) - p, across, sigma)) continue;
    sum += units[j];
    ++used;
    if (units[j].dot(normal) > kStrayCosine) {
      ++alike;
      if (alike >= kMinAllies && alike * kVotesPerAlly >= used + (total - 1 - k)) return NormalStatus::Agrees;
    }
  }
  if (used < kMinNormalNeighbours || sum.norm() < kMinConsensus * used) return NormalStatus::Agrees;
  // A sheet thinner than the noise band, sampled on both sides, puts both
  // walls' samples in one plane: the side with fewer samples there is
  // outvoted, yet many of its neighbours face its way. A wrong normal has
  // few such allies.
  if (alike >= kMinAllies && alike * kVotesPerAlly >= used) return NormalStatus::Agrees;
  const double cosine = normal.dot(sum.normalized());
  if (cosine < -kStrayCosine) return NormalStatus::Flipped;
  if (cosine < kStrayCosine) return NormalStatus::Stray;
  return NormalStatus::Agrees;
}

// Regularization on noisy data, per unit of relative noise: 10 at 0.2 %
// noise, 25 at 0.5 %. Measured on scans at the threshold below: at 0.2 %,
// 10 cut the largest distance to the true surface by 40 % against 1 (and
// beat 3); at 0.5 %, 30 beat 10 by as much.
constexpr double kRegularizationPerNoise = 5000.0;

// Exact data are smoothed as lightly as the least noise that counts as
// noise (the noisy rule at kExactRelativeNoise), so the setting does not
// jump there. Without it the interpolant overshoots at sharp and thin
// features: on 16 sampled scans (100,000 points, 9 levels) it cut the
// largest distance to the true surface by 2 to 20 times on 11 of them
// (armadillo 9.0e-3 -> 1.4e-3, elephant 1.8e-2 -> 1.4e-3 of the diagonal),
// for 0 to 11 % on the mean of smooth shapes.
constexpr double kExactRegularization = kRegularizationPerNoise * kExactRelativeNoise;

}  // namespace

NoiseEstimate estimateNoise(const PointSet& points, std::vector<NormalStatus>* status, double spacing) {
  NoiseEstimate estimate;
  if (status) status->assign(static_cast<size_t>(points.count), NormalStatus::Agrees);
  float lo[3];
  float hi[3];
  points.boundingBox(lo, hi, 1.0f);
  estimate.boxDiagonal = std::sqrt(double(hi[0] - lo[0]) * (hi[0] - lo[0]) + double(hi[1] - lo[1]) * (hi[1] - lo[1]) +
                                   double(hi[2] - lo[2]) * (hi[2] - lo[2]));
  if (points.count < kMinFitNeighbours || !(estimate.boxDiagonal > 0)) return estimate;
  estimate.spacing = spacing > 0 ? spacing : medianSpacing(NearestPoints(points.positions.data(), points.count));
  if (!(estimate.spacing > 0)) return estimate;

  double radius = kSpacingRadius * estimate.spacing;
  fitSamples(points, radius, estimate);
  for (int round = 1; round < kMaxRadiusRounds; ++round) {
    const double wanted = kSigmaRadius * estimate.sigma;
    // Within 10 % of the wanted radius is close enough; never shrink below
    // the spacing-based start.
    if (wanted < 1.1 * radius) break;
    NoiseEstimate wider = estimate;
    fitSamples(points, wanted, wider);
    if (wider.sigma > kMaxSigmaGrowth * estimate.sigma) {
      // A rise is the shape showing, unless the narrower fits could not
      // measure that much noise: a ball narrower than kMinSigmaRadius sigmas
      // is so small that its quadric follows the noise (on dense noisy
      // scans, whose spacing is below the noise, the first estimate came
      // out at 64 % of the true sigma). Then the estimate must also hold
      // still in a wider ball still, as noise does and a limb does not.
      if (radius >= kMinSigmaRadius * wider.sigma ||
          kSteadyRadiusGrowth * wanted > kMaxRadiusDiagonals * estimate.boxDiagonal) {
        break;
      }
      NoiseEstimate check = wider;
      fitSamples(points, kSteadyRadiusGrowth * wanted, check);
      if (check.sigma > kSteadySigmaGrowth * wider.sigma) break;
    }
    estimate = wider;
    radius = wanted;
  }

  std::vector<NormalStatus> verdicts(static_cast<size_t>(points.count));
  // Each share depends on its point alone; they are added in the points'
  // order.
  const int stride = std::max(1, (points.count + kMaxSamples - 1) / kMaxSamples);
  std::vector<double> shares(static_cast<size_t>((points.count + stride - 1) / stride), -1.0);
  const RadiusGrid grid(points.positions, points.count,
                        std::max(kNormalRadius * estimate.spacing, 2.0 * estimate.sigma));
  // Every point's unit normal is read by each of its hundred-odd neighbours:
  // normalised once.
  std::vector<Eigen::Vector3d> units(static_cast<size_t>(points.count));
#pragma omp parallel
  {
#pragma omp for schedule(static)
    for (long i = 0; i < points.count; ++i) units[i] = unitNormalOf(points, static_cast<int>(i));
    std::vector<int> found;
    std::vector<RadiusGrid::Range> ranges;
    RadiusGrid::Cell rangesCell = {-1, -1, -1};
    // Cell by cell, so that the points of a cell share their cells' ranges;
    // each verdict depends on its point alone.
#pragma omp for schedule(dynamic, 1024)
    for (long e = 0; e < points.count; ++e) {
      const int i = grid.pointAt(static_cast<size_t>(e));
      const RadiusGrid::Cell cell = grid.cellOf(points.position(i));
      if (ranges.empty() || cell != rangesCell) {
        grid.rangesAround(cell, ranges);
        rangesCell = cell;
      }
      grid.scan(points.position(i), ranges, found);
      verdicts[i] = judgeNormal(points, units, i, found, estimate.sigma);
      // Every stride-th point also gives its share of opposed neighbours.
      if (i % stride == 0) shares[i / stride] = opposedShareAt(points, units, i, found, estimate.sigma);
    }
  }
  for (NormalStatus verdict : verdicts) {
    if (verdict == NormalStatus::Flipped) ++estimate.flippedNormals;
    if (verdict == NormalStatus::Stray) ++estimate.strayNormals;
  }
  double shareSum = 0.0;
  long voted = 0;
  for (double share : shares) {
    if (share < 0.0) continue;
    shareSum += share;
    ++voted;
  }
  estimate.opposedShare = voted > 0 ? shareSum / voted : 0.0;
  if (status) *status = std::move(verdicts);
  return estimate;
}

long treatNormals(PointSet& points, const std::vector<NormalStatus>& status) {
  if (status.size() != static_cast<size_t>(points.count)) {
    throw Error("treatNormals: " + std::to_string(status.size()) + " statuses for " +
                std::to_string(points.count) + " points (expected one per point)");
  }
  long treated = 0;
  int kept = 0;
  for (int i = 0; i < points.count; ++i) {
    if (status[i] == NormalStatus::Stray) {
      ++treated;
      continue;
    }
    const float* p = points.position(i);
    const float* n = points.normal(i);
    float normal[3] = {n[0], n[1], n[2]};
    if (status[i] == NormalStatus::Flipped) {
      ++treated;
      for (float& c : normal) c = -c;
    }
    points.setPosition(kept, p[0], p[1], p[2]);
    std::copy(normal, normal + 3, &points.normals[3 * size_t(kept)]);
    ++kept;
  }
  points.positions.resize(3 * size_t(kept));
  points.normals.resize(3 * size_t(kept));
  if (points.hasValues()) points.values.resize(size_t(kept));
  points.count = kept;
  return treated;
}

NoiseFitSettings noiseFitSettings(double sigma, double boxDiagonal, int cleanLevels) {
  if (!(sigma >= 0) || !std::isfinite(sigma)) {
    throw Error("noise sigma " + std::to_string(sigma) + " is not a finite number of at least 0");
  }
  if (!(boxDiagonal > 0) || !std::isfinite(boxDiagonal)) {
    throw Error("box diagonal " + std::to_string(boxDiagonal) + " is not positive");
  }
  if (cleanLevels < 1) throw Error("level count " + std::to_string(cleanLevels) + " is below 1");
  NoiseFitSettings settings;
  settings.levels = cleanLevels;
  settings.regularization = kExactRegularization;
  const double relative = sigma / boxDiagonal;
  if (relative < kExactRelativeNoise) return settings;
  settings.threshold = 2.0 * relative;
  settings.regularization = kRegularizationPerNoise * relative;
  int levels = 1;
  double finestRadius = 1.5 * boxDiagonal;
  while (levels < cleanLevels && finestRadius * 0.5 >= 3.0 * sigma) {
    ++levels;
    finestRadius *= 0.5;
  }
  settings.levels = levels;
  return settings;
}

namespace {

// Exact data's side of a choice: normals judged Flipped become Stray, and
// the counts follow.
void dropFlippedNormals(NoiseChoice& choice, std::vector<NormalStatus>* status) {
  if (status) {
    for (NormalStatus& verdict : *status) {
      if (verdict == NormalStatus::Flipped) verdict = NormalStatus::Stray;
    }
  }
  choice.estimate.strayNormals += choice.estimate.flippedNormals;
  choice.estimate.flippedNormals = 0;
}

}  // namespace

NoiseChoice chooseNoiseSettings(const PointSet& points, double givenSigma, int cleanLevels,
                                std::vector<NormalStatus>* status, double spacing) {
  if (!std::isfinite(givenSigma)) throw Error("noise sigma " + std::to_string(givenSigma) + " is not finite");
  NoiseChoice choice;
  if (givenSigma == 0) {
    if (status) status->assign(static_cast<size_t>(points.count), NormalStatus::Agrees);
    choice.settings = noiseFitSettings(0.0, 1.0, cleanLevels);
    return choice;
  }
  choice.estimate = estimateNoise(points, status, spacing);
  choice.measured = givenSigma < 0;
  choice.sigma = choice.measured ? choice.estimate.sigma : givenSigma;
  // A set without extent has no diagonal; its settings are the designed ones.
  choice.settings = choice.estimate.boxDiagonal > 0
                        ? noiseFitSettings(choice.sigma, choice.estimate.boxDiagonal, cleanLevels)
                        : noiseFitSettings(0.0, 1.0, cleanLevels);
  // On exact data a normal that opposes its neighbours' consensus sits at a
  // sharp edge or on a thin wall, where the consensus comes from across the
  // edge: the sample lies on the surface, and reversing its normal would
  // pin the wrong side there. It is dropped instead. At 100,000 points a
  // triple torus had 54 such normals at its concave edges (largest distance
  // to the true surface 5.18e-3 of the diagonal with them reversed, 4.33e-3
  // with them dropped), cow 9 (2.99e-3 -> 2.24e-3), diplodocus 1 (1.26e-3 ->
  // 1.14e-3).
  if (choice.settings.threshold == 0.0) dropFlippedNormals(choice, status);
  return choice;
}

void takeAsExact(NoiseChoice& choice, int cleanLevels, std::vector<NormalStatus>* status) {
  choice.sigma = 0.0;
  choice.settings = noiseFitSettings(0.0, 1.0, cleanLevels);
  dropFlippedNormals(choice, status);
}

}  // namespace wendfit
