// End-to-end check of wendfit --noise on a noisy sphere: the designed fit
// interpolates the noise and leaves bubbles around the surface; with the
// measured noise the fit is one closed surface near the exact sphere.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "support/fit_support.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

constexpr int kSampleCount = 20000;
constexpr double kDiagonal = 2.0 * 1.7320508075688772;  // of the unit sphere's box
constexpr double kRelativeNoise = 0.002;

// Unit sphere samples with Gaussian noise kRelativeNoise x diagonal on every
// coordinate and 0.1 on every normal component, as .xyz lines; every 50th
// normal is flipped.
std::string noisySphere(unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0.0, 1.0);
  std::string text;
  char line[160];
  for (int i = 0; i < kSampleCount; ++i) {
    double n[3];
    double length = 0;
    do {
      for (double& c : n) c = gauss(rng);
      length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    } while (length < 1e-9);
    double p[3];
    for (int k = 0; k < 3; ++k) p[k] = n[k] / length + kRelativeNoise * kDiagonal * gauss(rng);
    for (double& c : n) c = c / length + 0.1 * gauss(rng);
    length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]) * (i % 50 == 0 ? -1 : 1);
    std::snprintf(line, sizeof line, "%.7g %.7g %.7g %.7g %.7g %.7g\n", p[0], p[1], p[2], n[0] / length,
                  n[1] / length, n[2] / length);
    text += line;
  }
  return text;
}

struct SphereFit : test::MeshMeasure {  // distances of the vertices from the unit sphere, over the diagonal
  test::CommandResult run;
};

// `wendfit` at 8 levels with `options`, or, for options "reconstruct",
// wendfit-reconstruct with its defaults.
SphereFit fitSphere(const test::TempDir& dir, const std::string& options) {
  SphereFit fit;
  const std::string mesh = dir.file("sphere.ply");
  fit.run = options == "reconstruct"
                ? test::runCommand(test::executable("wendfit-reconstruct") + " --threads 1 " +
                                   dir.file("sphere.xyz") + " " + mesh)
                : test::runCommand(test::executable("wendfit") + " --threads 1 " + options + " " +
                                   dir.file("sphere.xyz") + " " + dir.file("sphere.fn") + " 8 --mesh " + mesh);
  EXPECT_EQ(fit.run.status, 0) << fit.run.err;
  static_cast<test::MeshMeasure&>(fit) = test::measureMesh(mesh, [](const float* p) {
    return std::fabs(std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]) - 1.0) / kDiagonal;
  });
  return fit;
}

TEST(NoiseFit, NoisySphereGivesOneClosedSurfaceNearTheSphere) {
  test::TempDir dir;
  test::writeFile(dir.file("sphere.xyz"), noisySphere(5));

  // The designed fit must show the fault, or the figures below prove nothing.
  const SphereFit designed = fitSphere(dir, "");
  EXPECT_GT(designed.topology.components, 1);

  const SphereFit fit = fitSphere(dir, "--noise auto");
  EXPECT_EQ(fit.topology.components, 1);
  EXPECT_TRUE(fit.topology.watertight());
  EXPECT_EQ(fit.topology.eulerCharacteristic, 2);
  EXPECT_LT(fit.meanDistance, 0.5 * kRelativeNoise);
  EXPECT_LT(fit.maxDistance, 3.0 * kRelativeNoise);
  EXPECT_LT(fit.meanDistance, designed.meanDistance);
  // 400 normals were flipped; nearly all are found and none wrongly.
  long flipped = -1;
  const size_t at = fit.run.err.find("normals ");
  if (at != std::string::npos) std::sscanf(fit.run.err.c_str() + at, "normals %ld flipped", &flipped);
  EXPECT_GE(flipped, 390) << fit.run.err;
  EXPECT_LE(flipped, 400) << fit.run.err;

  // wendfit-reconstruct measures the noise by itself.
  const SphereFit reconstructed = fitSphere(dir, "reconstruct");
  EXPECT_NE(reconstructed.run.err.find("measured"), std::string::npos) << reconstructed.run.err;
  EXPECT_EQ(reconstructed.topology.components, 1);
  EXPECT_TRUE(reconstructed.topology.watertight());
  EXPECT_LT(reconstructed.meanDistance, 0.5 * kRelativeNoise);
  EXPECT_LT(reconstructed.maxDistance, 3.0 * kRelativeNoise);
}

TEST(NoiseFit, BadNoiseLevelIsAUsageError) {
  for (const char* level : {"-1", "x", "nan"}) {
    const test::CommandResult run =
        test::runCommand(test::executable("wendfit") + " --noise " + level + " in.xyz out.fn 5");
    EXPECT_EQ(run.status, 2) << level;
    EXPECT_NE(run.err.find("--noise '" + std::string(level) + "' is not a noise level"), std::string::npos)
        << run.err;
  }
}

}  // namespace
}  // namespace wendfit
