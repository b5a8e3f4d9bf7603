#include "support/test_support.h"

#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace wendfit::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "wendfit-test-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create a temporary directory");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

ConsoleCapture::ConsoleCapture() : file_(open_memstream(&buffer_, &size_)) {}

ConsoleCapture::~ConsoleCapture() {
  if (file_) std::fclose(file_);
  std::free(buffer_);
}

std::string ConsoleCapture::text() {
  std::fflush(file_);
  return std::string(buffer_, size_);
}

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary);
  out << contents;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

CommandResult runCommand(const std::string& command) {
  TempDir dir;
  std::string outPath = dir.file("out");
  std::string errPath = dir.file("err");
  std::string full = "(" + command + ") </dev/null >" + outPath + " 2>" + errPath;
  int raw = std::system(full.c_str());
  CommandResult result;
  result.status = (raw != -1 && WIFEXITED(raw)) ? WEXITSTATUS(raw) : -1;
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  return result;
}

std::string executable(const std::string& name) {
  return std::string(WENDFIT_BINARY_DIR) + "/" + name;
}

std::string sphereXyz(int count, double radius) {
  std::string text;
  char line[160];
  auto add = [&](double x, double y, double z) {
    std::snprintf(line, sizeof line, "%.9g %.9g %.9g %.9g %.9g %.9g\n", radius * x, radius * y, radius * z, x, y, z);
    text += line;
  };
  for (int axis = 0; axis < 3; ++axis) {
    for (double sign : {-1.0, 1.0}) add(axis == 0 ? sign : 0.0, axis == 1 ? sign : 0.0, axis == 2 ? sign : 0.0);
  }
  for (int i = 0; i < count; ++i) {
    double n[3];
    spiralPoint(i, count, n);
    add(n[0], n[1], n[2]);
  }
  return text;
}

void spiralPoint(int i, int count, double out[3]) {
  const double goldenAngle = 3.14159265358979323846 * (3.0 - std::sqrt(5.0));
  const double z = 1.0 - 2.0 * (i + 0.5) / count;
  const double ring = std::sqrt(1.0 - z * z);
  out[0] = ring * std::cos(i * goldenAngle);
  out[1] = ring * std::sin(i * goldenAngle);
  out[2] = z;
}

std::string fitUnitSphere(const TempDir& dir, int count, int levels) {
  writeFile(dir.file("sphere.xyz"), sphereXyz(count, 1.0));
  // The time limit keeps a fault in the fitting from stalling the suite.
  CommandResult fit = runCommand("timeout 120 " + executable("wendfit") + " " + dir.file("sphere.xyz") + " " +
                                 dir.file("sphere.fn") + " " + std::to_string(levels));
  if (fit.status != 0) throw std::runtime_error("wendfit failed: " + fit.err);
  return dir.file("sphere.fn");
}

long fullBoxComponents(const std::string& functionPath, int resolution) {
  TempDir dir;
  std::string command = executable("wendfit-mesh") + " " + functionPath + " " + dir.file("full.ply") + " --full-box";
  if (resolution > 0) command += " --resolution " + std::to_string(resolution);
  CommandResult run = runCommand("timeout 120 " + command);
  // "Mesh FILE: V vertices, T triangles, N component[s], ..."
  const size_t at = run.err.find(" triangles, ");
  if (run.status != 0 || at == std::string::npos) throw std::runtime_error("wendfit-mesh failed: " + run.err);
  return std::strtol(run.err.c_str() + at + 12, nullptr, 10);
}

}  // namespace wendfit::test
