#include "fitting/sign_guard.h"

#include <algorithm>
#include <parallel/algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <omp.h>

#include "fitting/level_fitter.h"
#include "fitting/level_terms.h"
#include "fitting/sample_sides.h"
#include "function/basis_function.h"
#include "core/error.h"

namespace wendfit {

namespace {

// A probe step is the support radius over this: about one octree cell of
// the level (the radius spans three to five cells, by the box's shape).
constexpr double kRadiusPerStep = 4.0;

// Probe offsets along the normal in steps: positive outside, negative
// inside. Outside they reach the whole support, where a spilled correction
// lands (a pocket past a tip sits one to three steps out); inside one step,
// as deeper points soon lie nearer another wall.
constexpr double kProbeSteps[] = {1.0, 2.0, 4.0, -1.0};
constexpr int kNormalProbes = sizeof(kProbeSteps) / sizeof(kProbeSteps[0]);

// Near a two-sided sheet (a flap thinner than the sampling, whose walls'
// normals point away from each other) a level's corrections spill into
// empty space in every direction, where no normal points. Every node of a
// lattice of one step within this many steps of a probed centre that lies
// closer than kThinReachSteps to a two-sided sample is probed too; its side
// comes from the samples' winding number, not from normals. The nodes form
// a ball, not the cube around it. The cube's corners were 46 % of the nodes
// probed on man at 100,000 points and cost man and 3torus 5 % of the fit at
// 9 levels; on eight scans they changed the records of three, and only
// camel's largest distance (1.60e-3 of the diagonal with them, 1.72e-3
// without). At 1,000,000 points they took 0.31 s of man's 3.4 s of guard
// and kept its largest distance at 2.43e-3 (2.90e-3 without).
constexpr int kLatticeReachSteps = 3;
// The ball's half height along z in a column where kLatticeReachSteps^2 -
// dx^2 - dy^2 = k (0 ... 9) is left of its squared radius: floor(sqrt(k)).
constexpr int kBallReach[kLatticeReachSteps * kLatticeReachSteps + 1] = {0, 1, 1, 1, 2, 2, 2, 2, 2, 3};

// The lattice probes only levels whose step is at least this many sample
// spacings. The pockets beside thin sheets come from the coarser levels
// (levels 5 to 7 on a 100,000-point scan); at the finest levels the step
// nears the spacing, the winding number within a spacing or two of a
// two-sided sheet is unreliable, and the lattice added thousands of
// records and tens of small pieces on scans with fingers and ears.
constexpr double kLatticeMinSpacings = 4.0;
constexpr double kThinReachSteps = 2.0;

// Winding numbers below this are outside, above kInsideWinding inside;
// between them a probe's side is left undecided and it is not judged.
constexpr double kOutsideWinding = 0.25;
constexpr double kInsideWinding = 0.75;

// Whether the winding number puts a point on the given side, by those bounds.
bool windingSays(double winding, bool outside) {
  return outside ? winding < kOutsideWinding : winding > kInsideWinding;
}

// A probe across the normal nearer to the samples than this many steps lies
// on the surface, where the sign has nothing to keep.
constexpr double kLeastOffSurfaceSteps = 0.25;

// Steps out of the points' box that its shell is probed to, from a centre
// near its face (as far as the centre's support reaches).
constexpr int kShellProbeSteps = 4;

// Probes per side of each face of the function's box (a grid of this
// squared on every face).
constexpr int kFaceProbesPerSide = 4;

constexpr int kProbeChunk = 64;

// The first round probes from one centre per cube of this many steps (the
// first centre in the level's order that falls in it): a pocket that a
// level leaves behind spans several steps, so a sparse set of probes finds
// where the level went wrong. Later rounds probe from every centre near the
// records just added, where the first round found something.
constexpr double kProbeCellSteps = 2.0;

// Probing and re-solving rounds per level: the first over the whole level,
// the others only where the previous round added records. One record per
// wrong probe pins the sign at that point only; the next round finds what
// is left of the pocket between the probes. A round that finds more wrong
// probes than the one before adds nothing and ends the level's guard: its
// probes contradict one another (where the samples describe sheets that
// cross, as scans that intersect themselves do), and more records there
// only moved the error. On four such scans at 100,000 points that halved
// the largest distance (cow 1.12e-2 -> 4.97e-3 of the diagonal, man
// 1.29e-2 -> 5.76e-3) and the guard's time, with a few more small pieces
// at the crossings (cow 11 -> 14).
constexpr int kSignGuardRounds = 3;

// A round that finds more wrong probes than kMostWrongShare of the level's
// fitted centres (and more than kFewWrongProbes) adds nothing and ends the
// level's guard: the probes then contradict the data everywhere, not a
// pocket here and there (normals that point into the surface, against the
// outside beyond the points' box; the flat faces of a box-shaped solid). On
// 24 sampled scans at 100,000 points no round from the third level on found
// more than 4 % of the centres wrong; on a box-shaped beam whose normals
// point in, rounds found 26 % at the fifth level and 5.8 times the centres
// at the eighth, and pinning them took minutes.
constexpr size_t kMostWrongShare = 4;
constexpr size_t kFewWrongProbes = 100;

// Records closer than this many support radii to a new record (those whose
// centres it reaches) are solved again; the others keep their constants.
// The constants' change dies out within a few radii of the new records, and
// solving out to two radii instead bought nothing: on eight scans at
// 100,000 points and 9 levels it gave the same components, means within
// 1 %, largest distances the same or larger (diplodocus 1.18e-3 of the
// diagonal against 9.8e-4), and took 11-46 % more of the guard's time on
// the scans where it adds most (cow, man, camel, 3torus).
constexpr double kResolveReach = 1.0;

// The next round probes from the records closer than this many support
// radii to a new one, those the re-solve changed. On five scans at 100,000
// points probing out to two radii gave the same distances and components
// and cost 3-6 % more time.
constexpr double kReprobeReach = 1.0;

// Point indices are carried through the kd-tree's reordering in the float
// values; floats hold every integer up to 2^24 exactly.
constexpr int kMaxTrackedPoints = 1 << 24;

struct Probe {
  float position[3] = {0, 0, 0};
  float normal[3] = {0, 0, 0};
  // What the function before this level must be offset by at the probe:
  // its value there minus the target, in the form assembleSystem takes.
  float value = 0;
  bool wrong = false;
  // Set where the level pushed the probe towards the wrong side: judging it
  // needs the function before the level there, which is evaluated for all
  // such probes together.
  bool pending = false;
  // Set where the probe's side must still agree with the samples' winding
  // number; that test is costlier than judging, and few probes are wrong,
  // so it is made last, on the wrong ones.
  bool sideUnchecked = false;
  // Distance outside the surface (inside when negative) and the level's
  // change at the probe.
  double distance = 0;
  double change = 0;
};

// A record's term at `p` with its current constant, in the order and
// precision of the level's assembly (`plain`: the fitter's plainValues).
double recordTerm(const BasisFunction& record, const float p[3], float radius, bool plain) {
  const float dx = p[0] - record.centre[0];
  const float dy = p[1] - record.centre[1];
  const float dz = p[2] - record.centre[2];
  const double d = std::sqrt(static_cast<double>(dz) * dz + static_cast<double>(dy) * dy +
                             static_cast<double>(dx) * dx);
  return levelWeight(d, radius, plain) * quadric(coefficientsOf(record), dx, dy, dz);
}

// The centres of the level's records (the fitted centres and the guard's
// own), for queries; in the guard's small tree each point's value holds its
// record's index through the tree's reordering.
class RecordIndex {
 public:
  // The records are the fitted centres, in the order of the level's
  // kd-tree, whose answers are then already their indices in ascending
  // order, followed by the guard's own records (a few hundred), which get a
  // small tree of their own. Answers join the two, still ascending, without
  // sorting them or building a tree over all records each round.
  explicit RecordIndex(const LevelFitter& fitter) : level_(*fitter.kdTree) {
    const int fitted = level_.size();
    const int m = static_cast<int>(fitter.basisFunctions.size());
    if (m == fitted) return;
    added_.allocate(m - fitted);
    added_.values.resize(m - fitted);
    for (int i = fitted; i < m; ++i) {
      const float* c = fitter.basisFunctions[i].centre;
      added_.setPosition(i - fitted, c[0], c[1], c[2]);
      added_.values[i - fitted] = static_cast<float>(i);
    }
    addedTree_ = std::make_unique<KdTree>(added_);
  }

  // Indices of the records whose centres are closer than `radius` to `p`,
  // ascending (the order in which their terms are summed).
  void query(const float p[3], float radius, std::vector<int>& answer) const {
    level_.query(p, radius, answer);
    appendAdded(p, radius, answer);
  }

  // Appends to `answer` (the fitted centres closer than `radius` to `p`)
  // the guard's records that are closer too.
  void appendAdded(const float p[3], float radius, std::vector<int>& answer) const {
    if (!addedTree_) return;
    const size_t first = answer.size();
    answer.resize(first + static_cast<size_t>(addedTree_->size()));
    const int found = addedTree_->query(p, radius, answer.data() + first);
    answer.resize(first + static_cast<size_t>(found));
    for (size_t e = first; e < answer.size(); ++e) answer[e] = static_cast<int>(added_.values[answer[e]]);
    std::sort(answer.begin() + static_cast<long>(first), answer.end());
  }

 private:
  const KdTree& level_;
  PointSet added_;
  std::unique_ptr<KdTree> addedTree_;
};

// What one round of probing reads: the level as it stands.
struct ProbeContext {
  const LevelFitter& fitter;
  const RecordIndex& records;
  double step;
  const SampleSides* sides;  // nullptr: no probes across normals
  const LevelTerms& terms;   // the fitted records' terms, eight at a time
};

bool beyondPoints(const LevelFitter& fitter, const float p[3]) {
  for (int a = 0; a < 3; ++a) {
    if (p[a] < fitter.pointsMin[a] || p[a] > fitter.pointsMax[a]) return true;
  }
  return false;
}

bool insideFunctionBox(const ImplicitFunction& function, const float p[3]) {
  for (int a = 0; a < 3; ++a) {
    if (!(p[a] >= function.boxMin()[a] && p[a] <= function.boxMax()[a])) return false;
  }
  return true;
}

// Whether `p` is closer than `radius` to `q`, exactly as the kd-tree decides.
bool closerThan(const float q[3], const float p[3], float radius) {
  const double dx = static_cast<double>(q[0]) - p[0];
  const double dy = static_cast<double>(q[1]) - p[1];
  const double dz = static_cast<double>(q[2]) - p[2];
  return dz * dz + dy * dy + dx * dx < static_cast<double>(radius) * static_cast<double>(radius);
}

// `change` (the sum of the level's fitted records' terms at `p`) plus the
// terms of the guard's own records there, in ascending order; `answer` is
// the caller's buffer.
double withAddedRecords(const ProbeContext& context, const float p[3], double change,
                        std::vector<int>& answer) {
  answer.clear();
  context.records.appendAdded(p, context.fitter.radius, answer);
  for (int i : answer) {
    change += recordTerm(context.fitter.basisFunctions[i], p, context.fitter.radius, context.fitter.plainValues);
  }
  return change;
}

// The level's own change at `p`: the sum of its records' terms there, in
// the order of the index's answer. `answered`: `answer` already holds the
// records closer than the support radius to `p`.
double levelChange(const ProbeContext& context, const float p[3], std::vector<int>& answer,
                   bool answered = false) {
  const float radius = context.fitter.radius;
  if (!answered && context.terms.wide() && std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) {
    // The fitted records in one pass over the runs, then the guard's own.
    thread_local std::vector<std::pair<int, int>> runs;
    context.fitter.kdTree->candidateRuns(p, p, radius, runs);
    bool unused = false;
    return withAddedRecords(context, p, context.terms.sum(p, runs, -1, -1.0f, false, unused), answer);
  }
  if (!answered) context.records.query(p, radius, answer);
  double change = 0;
  for (int i : answer) {
    change += recordTerm(context.fitter.basisFunctions[i], p, radius, context.fitter.plainValues);
  }
  return change;
}

// The first half of the probe's test, given the level's own `change` at
// `probe.position`, at `distance` outside the surface (inside when
// negative). A probe that the level pushed towards its right side cannot
// have been made wrong by it, and the function before the level, the costly
// part, is not needed there; the others become pending, for judgeProbe.
void settleProbe(const ProbeContext& context, double distance, double change, Probe& probe) {
  if (distance > 0 ? !(change > 0) : !(change < 0)) return;
  // Where the samples' sides are known, they must agree too (checked once
  // the probe is judged wrong, by sidesAgree). Beyond the points' box
  // everything is outside.
  probe.sideUnchecked = context.sides && !beyondPoints(context.fitter, probe.position);
  probe.pending = true;
  probe.distance = distance;
  probe.change = change;
}

// settleProbe with the level's change at the probe (levelChange, whose
// `answered` this passes on), for probes inside the function's box.
void measureProbe(const ProbeContext& context, double distance, std::vector<int>& answer,
                  Probe& probe, bool answered = false) {
  if (!insideFunctionBox(*context.fitter.function, probe.position)) return;
  settleProbe(context, distance, levelChange(context, probe.position, answer, answered), probe);
}

// The second half: judges a pending probe given the function's value
// `before` the level there. A probe is wrong where the level has pushed it
// towards the wrong side (positive outside, negative inside) and either made
// its sign wrong or used up more than half of the margin the function had
// there (a pocket about to open). The target keeps the value from before the
// level where it was already beyond -distance outside (or +|distance|
// inside), so the guard never pulls a good value towards zero.
void judgeProbe(Probe& probe, double before) {
  const double change = probe.change;
  const double after = before + change;
  double target = 0;
  if (probe.distance > 0) {
    probe.wrong = after >= 0.0 || after > -change;
    target = std::min(before, -probe.distance);
  } else {
    probe.wrong = after <= 0.0 || after < -change;
    target = std::max(before, -probe.distance);
  }
  probe.value = static_cast<float>(before - target);
}

// Whether a probe along a normal lies on its side by the samples' winding
// number too: one through a wedge or plate thinner than its offset lands
// on the other side (an inside probe at an acute edge of a triple torus
// grew a spur 17 sample spacings long), as does one across a sheet where a
// scan runs through itself.
bool sidesAgree(const SampleSides& sides, const Probe& probe) {
  return windingSays(sides.winding(probe.position), probe.distance > 0);
}

// Judges every pending probe from probes[first] on, with the function before
// the level evaluated at all of them together (each value is its point's
// own, whatever the batch); a wrong probe whose side is unchecked stays
// wrong only where the samples agree on its side.
void judgePending(const ProbeContext& context, std::vector<Probe>& probes, size_t first = 0) {
  const LevelFitter& fitter = context.fitter;
  // Consecutive pending probes belong to neighbouring centres in the
  // level's order, so they lie close together.
  std::vector<int> pending;
  for (size_t e = first; e < probes.size(); ++e) {
    if (probes[e].pending) pending.push_back(static_cast<int>(e));
  }
  const int count = static_cast<int>(pending.size());
  std::vector<float> xyz(static_cast<size_t>(count) * 3);
  for (int e = 0; e < count; ++e) {
    std::copy(probes[pending[e]].position, probes[pending[e]].position + 3, &xyz[3 * e]);
  }
  std::vector<float> before(count);
  functionValues(*fitter.function, xyz.data(), count, before.data(),
                 fitter.valueTerms());
  for (int e = 0; e < count; ++e) {
    Probe& probe = probes[pending[e]];
    judgeProbe(probe, before[e]);
    if (probe.wrong && probe.sideUnchecked) probe.wrong = sidesAgree(*context.sides, probe);
  }
}

// A probe away from the normals: the level's change first (cheap), then,
// only where the change pushes towards a side, whether the probe lies on
// the other side by the samples' winding number, and last (for the few
// that do) whether it lies off the samples at all. Its distance and outward
// direction are those from the nearest sample.
void measureAcross(const ProbeContext& context, std::vector<int>& answer, Probe& probe) {
  const float* p = probe.position;
  if (!insideFunctionBox(*context.fitter.function, p)) return;
  const double change = levelChange(context, p, answer);
  if (!(change != 0)) return;
  // A change towards the inside can be wrong only outside, and the other
  // way round.
  const bool outside = change > 0;
  if (!windingSays(context.sides->winding(p), outside)) return;
  float nearest[3];
  const double distance = context.sides->nearestDistance(p, nearest);
  if (!(distance >= kLeastOffSurfaceSteps * context.step)) return;
  for (int a = 0; a < 3; ++a) {
    const double outward = (static_cast<double>(p[a]) - nearest[a]) / distance;
    probe.normal[a] = static_cast<float>(outside ? outward : -outward);
  }
  probe.pending = true;
  probe.distance = outside ? distance : -distance;
  probe.change = change;
}

// The probes of centre j. A probe counts only where it lies on its own side
// of the tangent plane of every centre nearer to it than its own, so that
// the normals agree on the side it is on (an inside probe through a spike
// thinner than a step lands outside the far wall's plane and is skipped);
// outside probes beyond the points' box always count, as everything there
// is outside. `near`, `answer` and `runs` are the calling thread's buffers.
void probeCentre(const ProbeContext& context, const KdTree& tree, int j, std::vector<int>& near,
                 std::vector<int>& answer, std::vector<std::pair<int, int>>& runs, Probe* probes) {
  const PointSet& centres = context.fitter.centres;
  const float* c = centres.position(j);
  const float* nrm = centres.normal(j);
  if (nrm[0] == 0.0f && nrm[1] == 0.0f && nrm[2] == 0.0f) return;
  const float radius = context.fitter.radius;
  // The probes lie on one segment: one walk of the level's tree finds the
  // candidates of all their queries (none reaches beyond the support
  // radius), and each query then scans only those.
  float low[3], high[3];
  bool finite = true;
  for (int k = 0; k < kNormalProbes; ++k) {
    Probe& probe = probes[k];
    const double offset = kProbeSteps[k] * context.step;
    for (int a = 0; a < 3; ++a) {
      probe.position[a] = static_cast<float>(c[a] + offset * nrm[a]);
      probe.normal[a] = nrm[a];
      finite = finite && std::isfinite(probe.position[a]);
      low[a] = k == 0 ? probe.position[a] : std::min(low[a], probe.position[a]);
      high[a] = k == 0 ? probe.position[a] : std::max(high[a], probe.position[a]);
    }
  }
  if (finite) tree.candidateRuns(low, high, radius, runs);
  // The runs hold every centre within the support radius of the segment.
  auto levelQuery = [&](const float* p, float within, std::vector<int>& found) {
    if (finite && within <= radius) {
      tree.queryRuns(p, within, runs, found);
    } else {
      tree.query(p, within, found);
    }
  };
  for (int k = 0; k < kNormalProbes; ++k) {
    Probe& probe = probes[k];
    const double offset = kProbeSteps[k] * context.step;
    // Outside the function's box there is nothing to test.
    if (!insideFunctionBox(*context.fitter.function, probe.position)) continue;
    const float nearRadius = static_cast<float>(std::fabs(offset));
    const bool testSides = !(offset > 0 && beyondPoints(context.fitter, probe.position));
    if (finite && nearRadius <= radius && context.terms.wide()) {
      // The side test and the fitted records' terms in one pass over the
      // runs, then the guard's own records.
      bool disagrees = false;
      const double fitted =
          context.terms.sum(probe.position, runs, j, testSides ? nearRadius : -1.0f, offset > 0, disagrees);
      if (!disagrees) settleProbe(context, offset, withAddedRecords(context, probe.position, fitted, answer), probe);
      continue;
    }
    // One query of the fitted centres at the support radius answers both
    // the test of the nearer centres and, with the guard's own records
    // added, the level's change at the probe.
    const bool answered = nearRadius <= radius;
    if (answered) levelQuery(probe.position, radius, answer);
    if (testSides) {
      auto disagrees = [&](int i) {
        if (i == j) return false;
        const float* ci = centres.position(i);
        const float* ni = centres.normal(i);
        double side = 0;
        for (int a = 0; a < 3; ++a) {
          side += static_cast<double>(ni[a]) * (static_cast<double>(probe.position[a]) - ci[a]);
        }
        return offset > 0 ? !(side > 0) : !(side < 0);
      };
      bool agreed = true;
      if (answered) {
        for (size_t e = 0; e < answer.size() && agreed; ++e) {
          const int i = answer[e];
          agreed = !(closerThan(probe.position, centres.position(i), nearRadius) && disagrees(i));
        }
      } else {
        levelQuery(probe.position, nearRadius, near);
        for (size_t e = 0; e < near.size() && agreed; ++e) agreed = !disagrees(near[e]);
      }
      if (!agreed) continue;
    }
    if (answered) context.records.appendAdded(probe.position, radius, answer);
    measureProbe(context, offset, answer, probe, answered);
  }
}

// The probe at grid cell `cell` of one face of the function's box. Its
// normal stays zero: the record there is a constant bump, as a slope across
// the face would raise the function on the way back to the data.
Probe faceProbe(const LevelFitter& fitter, int axis, bool upper, int cell) {
  const ImplicitFunction& function = *fitter.function;
  Probe probe;
  probe.position[axis] = upper ? function.boxMax()[axis] : function.boxMin()[axis];
  const int across[2] = {(axis + 1) % 3, (axis + 2) % 3};
  const int index[2] = {cell % kFaceProbesPerSide, cell / kFaceProbesPerSide};
  for (int k = 0; k < 2; ++k) {
    const int a = across[k];
    const double fraction = (index[k] + 0.5) / kFaceProbesPerSide;
    probe.position[a] = static_cast<float>(function.boxMin()[a] +
                                           fraction * (function.boxMax()[a] - function.boxMin()[a]));
  }
  return probe;
}

// One centre per cube of `cellSize`, chosen by the centres' order alone, so
// that any thread count picks the same.
std::vector<char> sparseCentres(const PointSet& centres, const float boxMin[3], double cellSize) {
  const int n = centres.count;
  constexpr int kKeyBits = 21;
  constexpr double kLastCube = (1 << kKeyBits) - 1;
  std::vector<std::pair<long long, int>> cubes(n);
  for (int j = 0; j < n; ++j) {
    const float* p = centres.position(j);
    long long key = 0;
    for (int a = 0; a < 3; ++a) {
      const double cube = std::floor((static_cast<double>(p[a]) - boxMin[a]) / cellSize);
      key = (key << kKeyBits) | static_cast<long long>(std::clamp(cube, 0.0, kLastCube));
    }
    cubes[j] = {key, j};
  }
  __gnu_parallel::sort(cubes.begin(), cubes.end());  // distinct pairs: one order
  std::vector<char> chosen(n, 0);
  for (int e = 0; e < n; ++e) {
    if (e == 0 || cubes[e].first != cubes[e - 1].first) chosen[cubes[e].second] = 1;
  }
  return chosen;
}

// The lattice probes around the centres `from` that lie near a two-sided
// sample, in lattice order (which does not depend on the thread count).
std::vector<Probe> latticeProbes(const ProbeContext& context, const std::vector<int>& from) {
  if (!context.sides) return {};
  if (context.step < kLatticeMinSpacings * context.sides->medianSpacing()) return {};
  const LevelFitter& fitter = context.fitter;
  const int count = static_cast<int>(from.size());
  // Centres near a two-sided sample, found from those samples (few, on
  // the thin parts) through the level's kd-tree.
  std::vector<char> near(fitter.centres.count, 0);
  const std::vector<float>& twoSided = context.sides->twoSided();
  std::vector<int> found;
  for (size_t e = 0; e < twoSided.size(); e += 3) {
    fitter.kdTree->query(&twoSided[e], static_cast<float>(kThinReachSteps * context.step), found);
    for (int j : found) near[j] = 1;
  }
  std::vector<char> thin(count, 0);
  for (int e = 0; e < count; ++e) thin[e] = near[from[e]];
  constexpr int kKeyBits = 21;
  constexpr long long kLastNode = (1LL << kKeyBits) - 1;
  const float* boxMin = fitter.function->boxMin();
  // Each thin centre's ball of nodes as one run along z per (x, y) column:
  // sorting the runs (29 per ball of 123 nodes) and merging them per column
  // gives the nodes in key order, each once.
  std::vector<std::pair<long long, long long>> runs;  // (column << kKeyBits | first z, last z)
  const auto clampNode = [&](long long at) { return std::clamp(at, 0LL, kLastNode); };
  for (int e = 0; e < count; ++e) {
    if (!thin[e]) continue;
    const float* c = fitter.centres.position(from[e]);
    long long node[3];
    for (int a = 0; a < 3; ++a) {
      node[a] = static_cast<long long>(std::floor((static_cast<double>(c[a]) - boxMin[a]) / context.step + 0.5));
    }
    for (int dx = -kLatticeReachSteps; dx <= kLatticeReachSteps; ++dx) {
      for (int dy = -kLatticeReachSteps; dy <= kLatticeReachSteps; ++dy) {
        const int across = kLatticeReachSteps * kLatticeReachSteps - dx * dx - dy * dy;
        if (across < 0) continue;
        const int reach = kBallReach[across];
        const long long column = (clampNode(node[0] + dx) << kKeyBits) | clampNode(node[1] + dy);
        runs.emplace_back((column << kKeyBits) | clampNode(node[2] - reach), clampNode(node[2] + reach));
      }
    }
  }
  __gnu_parallel::sort(runs.begin(), runs.end());  // equal runs are alike: one order
  std::vector<long long> keys;
  const auto emit = [&keys](long long column, long long low, long long high) {
    for (long long z = low; z <= high; ++z) keys.push_back((column << kKeyBits) | z);
  };
  for (size_t e = 0; e < runs.size();) {
    const long long column = runs[e].first >> kKeyBits;
    const long long low = runs[e].first & kLastNode;
    long long high = runs[e].second;
    for (++e; e < runs.size() && runs[e].first >> kKeyBits == column && (runs[e].first & kLastNode) <= high + 1; ++e) {
      high = std::max(high, runs[e].second);
    }
    emit(column, low, high);
  }
  const int probeCount = static_cast<int>(keys.size());
  std::vector<Probe> probes(probeCount);
  const int threads = omp_get_max_threads();
  std::vector<std::vector<int>> answers(threads);
#pragma omp parallel for schedule(dynamic, kProbeChunk)
  for (int e = 0; e < probeCount; ++e) {
    Probe& probe = probes[e];
    for (int a = 0; a < 3; ++a) {
      const long long index = (keys[e] >> (kKeyBits * (2 - a))) & kLastNode;
      probe.position[a] = static_cast<float>(boxMin[a] + static_cast<double>(index) * context.step);
    }
    measureAcross(context, answers[omp_get_thread_num()], probe);
  }
  return probes;
}

// Everything beyond the points' box is outside, whatever the normals say
// (a spike pointing at a face has normals across it, and no normal probe
// reaches the space above its tip). Beyond each face of the points' box,
// the shell is probed on a lattice of one step, in the cells at and next
// to the probed centres near that face, out to where their supports
// reach; the distance from the face is the target's size. The lattice
// keeps neighbouring centres from probing the same spot twice.
std::vector<Probe> shellProbes(const ProbeContext& context, const std::vector<int>& from) {
  std::vector<std::array<long long, 4>> cells;  // face, steps out, two across
  const double step = context.step;
  const LevelFitter& fitter = context.fitter;
  const double radius = fitter.radius;
  for (int j : from) {
    const float* c = fitter.centres.position(j);
    for (int face = 0; face < 6; ++face) {
      const int axis = face / 2;
      const bool upper = face % 2 == 1;
      const double gap = upper ? fitter.pointsMax[axis] - c[axis] : c[axis] - fitter.pointsMin[axis];
      if (!(gap + step < radius)) continue;  // the centre's support stays inside
      const int across[2] = {(axis + 1) % 3, (axis + 2) % 3};
      const long long u = std::llround((c[across[0]] - fitter.pointsMin[across[0]]) / step);
      const long long v = std::llround((c[across[1]] - fitter.pointsMin[across[1]]) / step);
      for (int k = 1; k <= kShellProbeSteps && gap + k * step < radius; ++k) {
        for (int du = -1; du <= 1; ++du) {
          for (int dv = -1; dv <= 1; ++dv) cells.push_back({face, k, u + du, v + dv});
        }
      }
    }
  }
  // Equal cells are alike, so the sorted list is the same however the sort
  // divides the work.
  __gnu_parallel::sort(cells.begin(), cells.end());
  cells.erase(std::unique(cells.begin(), cells.end()), cells.end());
  std::vector<Probe> shell(cells.size());
  const int shellCount = static_cast<int>(shell.size());
  std::vector<std::vector<int>> answers(omp_get_max_threads());
#pragma omp parallel for schedule(dynamic, kProbeChunk)
  for (int e = 0; e < shellCount; ++e) {
    const int face = static_cast<int>(cells[e][0]);
    const int axis = face / 2;
    const bool upper = face % 2 == 1;
    const double out = static_cast<double>(cells[e][1]) * step;
    Probe& probe = shell[e];
    probe.position[axis] =
        static_cast<float>(upper ? fitter.pointsMax[axis] + out : fitter.pointsMin[axis] - out);
    for (int k = 0; k < 2; ++k) {
      const int a = (axis + 1 + k) % 3;
      const double across = static_cast<double>(cells[e][2 + k]) * step;
      probe.position[a] = static_cast<float>(fitter.pointsMin[a] + across);
    }
    if (!beyondPoints(fitter, probe.position)) continue;
    measureProbe(context, out, answers[omp_get_thread_num()], probe);
  }
  return shell;
}

// Probes from the centres marked in `probed` (and, with `faces`, the box's
// faces); returns the wrong probes in centre order, which does not depend
// on the thread count. Where the probes along the normals alone are more
// than `limit` wrong, returns those only: the caller discards such a round
// whole, and the lattice and shell probes would be wasted.
std::vector<Probe> wrongProbes(const ProbeContext& context, const std::vector<char>& probed,
                               bool faces, size_t limit) {
  const LevelFitter& fitter = context.fitter;
  const int n = fitter.centres.count;
  // Probes only for the probed centres (the first round probes a few of
  // them), in centre order.
  std::vector<int> from;
  for (int j = 0; j < n; ++j) {
    if (probed[j]) from.push_back(j);
  }
  const int probedCount = static_cast<int>(from.size());
  std::vector<Probe> probes(static_cast<size_t>(probedCount) * kNormalProbes);
  const int threads = omp_get_max_threads();
  std::vector<std::vector<int>> nearBuffers(threads);
  std::vector<std::vector<int>> answers(threads);
  std::vector<std::vector<std::pair<int, int>>> runBuffers(threads);
  const KdTree& tree = *fitter.kdTree;
#pragma omp parallel
  {
    const int thread = omp_get_thread_num();
#pragma omp for schedule(dynamic, kProbeChunk)
    for (int e = 0; e < probedCount; ++e) {
      Probe* own = &probes[static_cast<size_t>(e) * kNormalProbes];
      probeCentre(context, tree, from[e], nearBuffers[thread], answers[thread], runBuffers[thread], own);
    }
  }
  const auto right = [](const Probe& probe) { return !probe.wrong; };
  judgePending(context, probes);
  const size_t alongNormals = probes.size();
  if (probes.size() - static_cast<size_t>(std::count_if(probes.begin(), probes.end(), right)) > limit) {
    probes.erase(std::remove_if(probes.begin(), probes.end(), right), probes.end());
    return probes;
  }
  std::vector<Probe> lattice = latticeProbes(context, from);
  probes.insert(probes.end(), lattice.begin(), lattice.end());
  std::vector<Probe> shell = shellProbes(context, from);
  probes.insert(probes.end(), shell.begin(), shell.end());
  // The shell between the points' box and the function's box is all
  // outside, but only the coarse levels reach far into it, and there the
  // function fades towards the offset: its faces are where a wrong-sign
  // sheet survives (above a spike that points at a face). A coarse grid on
  // every face is probed too, with the distance from the points' box as the
  // target's size.
  for (int face = 0; faces && face < 6; ++face) {
    const int axis = face / 2;
    const bool upper = face % 2 == 1;
    const double distance = upper ? fitter.function->boxMax()[axis] - fitter.pointsMax[axis]
                                  : fitter.pointsMin[axis] - fitter.function->boxMin()[axis];
    if (!(distance > 0)) continue;
    for (int cell = 0; cell < kFaceProbesPerSide * kFaceProbesPerSide; ++cell) {
      probes.push_back(faceProbe(fitter, axis, upper, cell));
      measureProbe(context, distance, answers[0], probes.back());
    }
  }
  judgePending(context, probes, alongNormals);
  probes.erase(std::remove_if(probes.begin(), probes.end(), right), probes.end());
  return probes;
}

// Appends one record per wrong probe to the level's records (made as
// fitLocal makes them) and their targets to `values`, then solves the
// constants of every record closer than kResolveReach radii to a new one
// again, with the others' terms fixed. Returns the records closer than
// kReprobeReach radii to a new one, which the next round probes from;
// `index` becomes the index over all records, which serves the next round.
std::vector<char> addAndResolve(LevelFitter& fitter, const std::vector<Probe>& wrong,
                                std::vector<float>& values, std::unique_ptr<RecordIndex>& index) {
  std::vector<BasisFunction>& records = fitter.basisFunctions;
  const int first = static_cast<int>(records.size());
  const float radius = fitter.radius;
  for (const Probe& probe : wrong) {
    BasisFunction record;
    std::copy(probe.position, probe.position + 3, record.centre);
    std::fill(record.coeff, record.coeff + 10, 0.0f);
    for (int a = 0; a < 3; ++a) record.coeff[6 + a] = -probe.normal[a];
    record.radius = radius;
    record.level = fitter.level;
    records.push_back(record);
    values.push_back(probe.value);
  }
  const int m = static_cast<int>(records.size());

  index = std::make_unique<RecordIndex>(fitter);
  std::vector<char> solved(m, 0), reprobe(m, 0);
  std::vector<int> answer;
  for (int k = first; k < m; ++k) {
    index->query(records[k].centre, static_cast<float>(kResolveReach * radius), answer);
    for (int i : answer) {
      solved[i] = 1;
      if (closerThan(records[i].centre, records[k].centre, kReprobeReach * radius)) reprobe[i] = 1;
    }
  }
  std::vector<int> local;
  for (int i = 0; i < m; ++i) {
    if (solved[i]) local.push_back(i);
  }
  const int s = static_cast<int>(local.size());

  // The local system is the level's system over the solved records; the
  // fixed records' terms join each centre's value from before the level.
  LevelFitter sub;
  sub.function = fitter.function;
  sub.regularization = fitter.regularization;
  sub.boxDiagonal = fitter.boxDiagonal;
  sub.solver = fitter.solver;
  sub.plainValues = fitter.plainValues;
  sub.quickValues = fitter.quickValues;
  sub.radius = radius;
  sub.level = fitter.level;
  sub.count = s;
  sub.centres.allocate(s);
  sub.centres.values.resize(s);
  for (int e = 0; e < s; ++e) {
    const BasisFunction& record = records[local[e]];
    sub.centres.setPosition(e, record.centre[0], record.centre[1], record.centre[2]);
    sub.centres.setNormal(e, -record.coeff[6], -record.coeff[7], -record.coeff[8]);
    sub.centres.values[e] = static_cast<float>(e);
  }
  sub.kdTree = std::make_unique<KdTree>(sub.centres);
  std::vector<int> origin(s);
  std::vector<double> start(s + 1, 0.0);
  std::vector<std::vector<int>> answers(omp_get_max_threads());
#pragma omp parallel for schedule(dynamic, kProbeChunk)
  for (int e = 0; e < s; ++e) {
    std::vector<int>& near = answers[omp_get_thread_num()];
    const int i = local[static_cast<int>(sub.centres.values[e])];
    origin[e] = i;
    const float* p = records[i].centre;
    double value = values[i];
    index->query(p, radius, near);
    for (int f : near) {
      if (!solved[f]) value += recordTerm(records[f], p, radius, fitter.plainValues);
    }
    sub.centres.values[e] = static_cast<float>(value);
    start[e + 1] = records[i].coeff[9];
  }
  sub.fitLocal();
  sub.startGuess = std::move(start);
  sub.fitGlobal();
  for (int e = 0; e < s; ++e) records[origin[e]].coeff[9] = sub.basisFunctions[e].coeff[9];
  fitter.count = m;
  reprobe.resize(fitter.centres.count);
  return reprobe;
}

}  // namespace

int guardLevelSigns(LevelFitter& fitter) {
  const int n = fitter.count;
  if (!fitter.kdTree || fitter.kdTree->size() != n || static_cast<int>(fitter.basisFunctions.size()) != n) {
    throw Error("level " + std::to_string(fitter.level) +
                ": the sign guard needs the level's kd-tree over its fitted centres");
  }
  // A fit with an error threshold takes the data as noisy: a sheet thinner
  // than the noise cannot be told from it, and beside noisy samples the
  // winding number misjudged probes (on diplodocus with 0.5 % noise the
  // lattice added hundreds of records and a sheet 0.34 diagonals long). Such
  // fits get no sample sides, and so no probes across the normals.
  if (!fitter.sampleSides && fitter.samples && fitter.errorThreshold == 0.0f) {
    fitter.sampleSides = std::make_shared<SampleSides>(*fitter.samples, fitter.samplesSpacing);
  }
  const double step = static_cast<double>(fitter.radius) / kRadiusPerStep;
  std::vector<float> values(fitter.centres.values.begin(), fitter.centres.values.begin() + n);
  std::vector<char> probed =
      sparseCentres(fitter.centres, fitter.function->boxMin(), kProbeCellSteps * step);
  // The re-solve moves no record, so the index it builds over all records
  // serves the next round's probes.
  std::unique_ptr<RecordIndex> records = std::make_unique<RecordIndex>(fitter);
  size_t previous = 0;
  const size_t most = std::max(kFewWrongProbes, static_cast<size_t>(n) / kMostWrongShare);
  for (int round = 0; round < kSignGuardRounds; ++round) {
    // The re-solve changes constants: the terms are read afresh each round.
    const LevelTerms terms(fitter.centres, fitter.basisFunctions, fitter.radius, fitter.plainValues);
    const ProbeContext context{fitter, *records, step, fitter.sampleSides.get(), terms};
    const size_t limit = round == 0 ? most : std::min(most, previous);
    const std::vector<Probe> wrong = wrongProbes(context, probed, round == 0, limit);
    if (wrong.empty() || wrong.size() > most || (round > 0 && wrong.size() > previous)) break;
    previous = wrong.size();
    const long long m = static_cast<long long>(fitter.basisFunctions.size()) + wrong.size();
    if (m > kMaxTrackedPoints) {
      throw Error("level " + std::to_string(fitter.level) + ": the sign guard would need " +
                  std::to_string(m) + " records (expected at most " +
                  std::to_string(kMaxTrackedPoints) + ")");
    }
    probed = addAndResolve(fitter, wrong, values, records);
  }
  return fitter.count - n;
}

}  // namespace wendfit
