#include "fitting/sign_guard.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <omp.h>

#include "fitting/level_fitter.h"
#include "function/basis_function.h"
#include "core/error.h"

namespace wendfit {

namespace {

// A probe step is the support radius over this: about one octree cell of
// the level (the radius spans three to five cells, by the box's shape).
constexpr double kRadiusPerStep = 4.0;

// Probe offsets along the normal in steps: positive outside, negative
// inside. Outside they reach the whole support, where a spilled correction
// lands; inside one step, as deeper points soon lie nearer another wall.
constexpr double kProbeSteps[] = {1.0, 4.0, -1.0};
constexpr int kRayProbes = sizeof(kProbeSteps) / sizeof(kProbeSteps[0]);
constexpr int kProbesPerCentre = kRayProbes;

// Probes per side of each face of the function's box (a grid of this
// squared on every face).
constexpr int kFaceProbesPerSide = 4;

constexpr int kProbeChunk = 64;

// Probing and re-solving rounds per level. A second round would have to
// keep new probes off the records the first one added.
constexpr int kSignGuardRounds = 1;

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
};

bool beyondPoints(const LevelFitter& fitter, const float p[3]) {
  for (int a = 0; a < 3; ++a) {
    if (p[a] < fitter.pointsMin[a] || p[a] > fitter.pointsMax[a]) return true;
  }
  return false;
}

// Tests the probe at `probe.position` whose target is -distance outside
// (distance > 0) and +|distance| inside against the function with the
// level's current records.
void testProbe(const LevelFitter& fitter, const KdTree& tree, double distance, int* answer,
               Probe& probe) {
  const float* p = probe.position;
  const ImplicitFunction& function = *fitter.function;
  for (int a = 0; a < 3; ++a) {
    if (!(p[a] >= function.boxMin()[a] && p[a] <= function.boxMax()[a])) return;
  }
  const double before = function.value(p[0], p[1], p[2]);
  double after = before;
  const float radius = fitter.radius;
  const int found = tree.query(p, radius, answer);
  std::sort(answer, answer + found);
  for (int e = 0; e < found; ++e) {
    const BasisFunction& record = fitter.basisFunctions[answer[e]];
    const float dx = p[0] - record.centre[0];
    const float dy = p[1] - record.centre[1];
    const float dz = p[2] - record.centre[2];
    const double d = std::sqrt(static_cast<double>(dz) * dz + static_cast<double>(dy) * dy +
                               static_cast<double>(dx) * dx);
    after += weight(d, radius) * record.quadric(dx, dy, dz);
  }
  // Negative outside, positive inside; a zero is wrong on either side.
  probe.wrong = distance > 0 ? after >= 0.0 : after <= 0.0;
  probe.value = static_cast<float>(before + distance);
}

// The probes of centre j. `answer` is a query buffer of at least n entries.
void probeCentre(const LevelFitter& fitter, const KdTree& tree, int j, double step, int* answer,
                 Probe* probes) {
  const PointSet& centres = fitter.centres;
  const float* c = centres.position(j);
  const float* nrm = centres.normal(j);
  if (nrm[0] == 0.0f && nrm[1] == 0.0f && nrm[2] == 0.0f) return;
  for (int k = 0; k < kRayProbes; ++k) {
    Probe& probe = probes[k];
    const double offset = kProbeSteps[k] * step;
    for (int a = 0; a < 3; ++a) {
      probe.position[a] = static_cast<float>(c[a] + offset * nrm[a]);
      probe.normal[a] = nrm[a];
    }
    // Beyond the points' box every point is outside; elsewhere the probe
    // counts only where its centre is the nearest one.
    if (!(offset > 0 && beyondPoints(fitter, probe.position))) {
      const int found = tree.query(probe.position, static_cast<float>(std::fabs(offset)), answer);
      bool nearest = true;
      for (int e = 0; e < found; ++e) nearest = nearest && answer[e] == j;
      if (!nearest) continue;
    }
    testProbe(fitter, tree, offset, answer, probe);
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

// Probes every data centre (guard records are not probed); returns the
// wrong ones in centre order, which does not depend on the thread count.
std::vector<Probe> wrongProbes(const LevelFitter& fitter, const std::vector<char>& isData) {
  const int n = fitter.count;
  const double step = static_cast<double>(fitter.radius) / kRadiusPerStep;
  std::vector<Probe> probes(static_cast<size_t>(n) * kProbesPerCentre);
  std::vector<std::vector<int>> answers(omp_get_max_threads(), std::vector<int>(std::max(n, 1)));
  const KdTree& tree = *fitter.kdTree;
#pragma omp parallel
  {
    int* answer = answers[omp_get_thread_num()].data();
#pragma omp for schedule(dynamic, kProbeChunk)
    for (int j = 0; j < n; ++j) {
      if (!isData[j]) continue;
      Probe* own = &probes[static_cast<size_t>(j) * kProbesPerCentre];
      probeCentre(fitter, tree, j, step, answer, own);
    }
  }
  // The shell between the points' box and the function's box is all
  // outside, but only the coarse levels reach far into it, and there the
  // function fades towards the offset: its faces are where a wrong-sign
  // sheet survives (above a spike that points at a face). A coarse grid on
  // every face is probed too, with the distance from the points' box as the
  // target's size.
  std::vector<int> faceAnswer(std::max(n, 1));
  for (int face = 0; face < 6; ++face) {
    const int axis = face / 2;
    const bool upper = face % 2 == 1;
    const double distance = upper ? fitter.function->boxMax()[axis] - fitter.pointsMax[axis]
                                  : fitter.pointsMin[axis] - fitter.function->boxMin()[axis];
    if (!(distance > 0)) continue;
    for (int cell = 0; cell < kFaceProbesPerSide * kFaceProbesPerSide; ++cell) {
      probes.push_back(faceProbe(fitter, axis, upper, cell));
      testProbe(fitter, tree, distance, faceAnswer.data(), probes.back());
    }
  }
  const auto right = [](const Probe& probe) { return !probe.wrong; };
  probes.erase(std::remove_if(probes.begin(), probes.end(), right), probes.end());
  return probes;
}

}  // namespace

int guardLevelSigns(LevelFitter& fitter) {
  int added = 0;
  std::vector<char> isData(fitter.count, 1);
  for (int round = 0; round < kSignGuardRounds; ++round) {
    const std::vector<Probe> wrong = wrongProbes(fitter, isData);
    if (wrong.empty()) break;
    const int n = fitter.count;
    const int m = n + static_cast<int>(wrong.size());
    if (m > kMaxTrackedPoints) {
      throw Error("level " + std::to_string(fitter.level) + ": the sign guard would need " +
                  std::to_string(m) + " records (expected at most " +
                  std::to_string(kMaxTrackedPoints) + ")");
    }

    // The level's centres, then the new records; each point's index rides
    // along in its value through the kd-tree's reordering.
    PointSet extended;
    extended.allocate(m);
    extended.values.resize(m);
    for (int i = 0; i < m; ++i) {
      const float* p = i < n ? fitter.centres.position(i) : wrong[i - n].position;
      const float* nrm = i < n ? fitter.centres.normal(i) : wrong[i - n].normal;
      extended.setPosition(i, p[0], p[1], p[2]);
      extended.setNormal(i, nrm[0], nrm[1], nrm[2]);
      extended.values[i] = static_cast<float>(i);
    }
    std::vector<float> oldValues = std::move(fitter.centres.values);
    std::vector<double> oldConstants(n);
    for (int i = 0; i < n; ++i) oldConstants[i] = fitter.basisFunctions[i].coeff[9];

    fitter.kdTree.reset();
    fitter.centres = std::move(extended);
    fitter.kdTree = std::make_unique<KdTree>(fitter.centres);
    // The solve starts from the constants already found, so it only has to
    // take in the new records.
    std::vector<double> start(m + 1, 0.0);
    std::vector<char> data(m, 0);
    for (int i = 0; i < m; ++i) {
      const int origin = static_cast<int>(fitter.centres.values[i]);
      fitter.centres.values[i] = origin < n ? oldValues[origin] : wrong[origin - n].value;
      if (origin < n) {
        start[i + 1] = oldConstants[origin];
        data[i] = isData[origin];
      }
    }
    isData = std::move(data);
    fitter.count = m;
    fitter.fitLocal();
    fitter.startGuess = std::move(start);
    fitter.fitGlobal();
    added += m - n;
  }
  return added;
}

}  // namespace wendfit

