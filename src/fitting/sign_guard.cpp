#include "fitting/sign_guard.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <omp.h>

#include "fitting/level_fitter.h"
#include "function/basis_function.h"
#include "io/error.h"

namespace wendfit {

namespace {

// A probe step is the support radius over this: about one octree cell of
// the level (the radius spans three to five cells, by the box's shape).
constexpr double kRadiusPerStep = 4.0;

// Probe offsets along the normal in steps: positive outside, negative
// inside. Outside they reach the whole support, where a spilled correction
// lands; inside one step, as deeper points soon lie nearer another wall.
constexpr double kProbeSteps[] = {1.0, 2.0, 4.0, -1.0};
constexpr int kProbesPerCentre = sizeof(kProbeSteps) / sizeof(kProbeSteps[0]);

constexpr int kProbeChunk = 64;

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

// The probes of centre j, tested against the function with the level's
// current records. `answer` is a query buffer of at least n entries.
void probeCentre(const LevelFitter& fitter, const KdTree& tree, int j, double step, int* answer,
                 Probe* probes) {
  const PointSet& centres = fitter.centres;
  const float* c = centres.position(j);
  const float* nrm = centres.normal(j);
  if (nrm[0] == 0.0f && nrm[1] == 0.0f && nrm[2] == 0.0f) return;
  const float radius = fitter.radius;
  for (int k = 0; k < kProbesPerCentre; ++k) {
    Probe& probe = probes[k];
    const double offset = kProbeSteps[k] * step;
    for (int a = 0; a < 3; ++a) {
      probe.position[a] = static_cast<float>(c[a] + offset * nrm[a]);
      probe.normal[a] = nrm[a];
    }
    const float* p = probe.position;
    // Outside the function's box its value is the offset, whatever a
    // record would add there.
    bool inBox = true;
    for (int a = 0; a < 3; ++a) {
      inBox = inBox && p[a] >= fitter.function->boxMin[a] && p[a] <= fitter.function->boxMax[a];
    }
    if (!inBox) continue;
    const float distance = static_cast<float>(std::fabs(offset));
    int found = tree.query(p, distance, answer);
    bool nearest = true;
    for (int e = 0; e < found; ++e) nearest = nearest && answer[e] == j;
    if (!nearest) continue;

    const double before = fitter.function->value(p[0], p[1], p[2]);
    double after = before;
    found = tree.query(p, radius, answer);
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
    probe.wrong = offset > 0 ? after >= 0.0 : after <= 0.0;
    probe.value = static_cast<float>(before + offset);
  }
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
      if (isData[j]) probeCentre(fitter, tree, j, step, answer, &probes[static_cast<size_t>(j) * kProbesPerCentre]);
    }
  }
  probes.erase(std::remove_if(probes.begin(), probes.end(), [](const Probe& p) { return !p.wrong; }),
               probes.end());
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
