// Reading 1,000,000 oriented points: binary PLY, the tool's own point file
// and an XYZ list, all written once into a temporary folder and then read
// through the same dispatch that `wendfit` uses. The targets are under 0.5 s
// for binary PLY and under 1.5 s for the point file on the development
// machine (Release build).

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/input_reader.h"

namespace {

constexpr int kPoints = 1000000;

struct Inputs {
  std::string dir;
  std::string ply;
  std::string points;
  std::string xyz;
};

// Seeded points on a sphere of radius 5 with outward unit normals.
void samplePoints(std::vector<float>& positions, std::vector<float>& normals) {
  std::mt19937 random(12345);
  std::normal_distribution<double> gauss;
  for (int i = 0; i < kPoints; ++i) {
    double n[3] = {gauss(random), gauss(random), gauss(random)};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (double& c : n) c /= length;
    for (int k = 0; k < 3; ++k) {
      positions.push_back(static_cast<float>(5.0 * n[k]));
      normals.push_back(static_cast<float>(n[k]));
    }
  }
}

void writeOrThrow(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
    throw std::runtime_error("cannot write " + path);
  }
  std::fclose(file);
}

std::string text3(const float* v) {
  char line[64];
  std::snprintf(line, sizeof line, "%.9g %.9g %.9g", static_cast<double>(v[0]), static_cast<double>(v[1]),
                static_cast<double>(v[2]));
  return line;
}

Inputs writeInputs() {
  std::string pattern = (std::filesystem::temp_directory_path() / "wendfit-read-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary folder");
  Inputs inputs{pattern, pattern + "/points.ply", pattern + "/points.pts", pattern + "/points.xyz"};
  std::vector<float> positions, normals;
  samplePoints(positions, normals);

  std::string ply = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(kPoints) +
                    "\nproperty float x\nproperty float y\nproperty float z\nproperty float nx\n"
                    "property float ny\nproperty float nz\nend_header\n";
  const size_t header = ply.size();
  ply.resize(header + static_cast<size_t>(kPoints) * 24);
  for (int i = 0; i < kPoints; ++i) {  // little-endian hosts only, as the benchmark machine is
    std::memcpy(&ply[header + 24 * static_cast<size_t>(i)], &positions[3 * static_cast<size_t>(i)], 12);
    std::memcpy(&ply[header + 24 * static_cast<size_t>(i) + 12], &normals[3 * static_cast<size_t>(i)], 12);
  }
  writeOrThrow(inputs.ply, ply);

  std::string own = std::to_string(kPoints) + "\n";
  std::string xyz;
  for (int i = 0; i < kPoints; ++i) own += text3(&positions[3 * static_cast<size_t>(i)]) + "\n";
  for (int i = 0; i < kPoints; ++i) {
    const float inward[3] = {-normals[3 * static_cast<size_t>(i)], -normals[3 * static_cast<size_t>(i) + 1],
                             -normals[3 * static_cast<size_t>(i) + 2]};
    own += text3(inward) + "\n";
    xyz += text3(&positions[3 * static_cast<size_t>(i)]) + " " + text3(&normals[3 * static_cast<size_t>(i)]) + "\n";
  }
  writeOrThrow(inputs.points, own);
  writeOrThrow(inputs.xyz, xyz);
  return inputs;
}

const Inputs& inputs() {
  static const Inputs written = writeInputs();
  return written;
}

void readFile(benchmark::State& state, const std::string& path) {
  for (auto _ : state) {
    wendfit::PointSet points = wendfit::readAnyInput(path, nullptr);
    if (points.count != kPoints) state.SkipWithError("wrong point count");
    benchmark::DoNotOptimize(points.positions.data());
  }
  state.counters["points"] = kPoints;
  state.counters["MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
}

void BM_ReadBinaryPly(benchmark::State& state) { readFile(state, inputs().ply); }
void BM_ReadPointFile(benchmark::State& state) { readFile(state, inputs().points); }
void BM_ReadXyz(benchmark::State& state) { readFile(state, inputs().xyz); }

BENCHMARK(BM_ReadBinaryPly)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ReadPointFile)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ReadXyz)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  inputs();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(inputs().dir, ignored);
  return 0;
}
