#pragma once
// Helpers shared by the test executables: scratch files and running the
// real executables.

#include <cstddef>
#include <cstdio>
#include <string>

namespace wendfit::test {

// A fresh, empty directory for one test (removed with its contents when the
// object goes out of scope).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// A console held in memory: hand file() to code that prints, then read text().
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  std::FILE* file() { return file_; }
  // Everything printed so far.
  std::string text();

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  std::FILE* file_;
};

void writeFile(const std::string& path, const std::string& contents);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

struct CommandResult {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `command` through the shell with standard input from /dev/null and
// captures both streams.
CommandResult runCommand(const std::string& command);

// Path of one of the project's executables in the build tree.
std::string executable(const std::string& name);

// Points on a sphere of `radius` about the origin with outward unit normals,
// as .xyz lines "x y z nx ny nz": the six poles on the axes (so the box is
// exactly [-radius, radius]^3 and the fit's scale 10 / radius), then
// `count` Fibonacci points.
std::string sphereXyz(int count, double radius);

// Point i of `count` spread evenly over the unit sphere (a golden-angle
// spiral from z near 1 down to z near -1), as (x, y, z) into out.
void spiralPoint(int i, int count, double out[3]);

// Writes sphereXyz(count, 1) to dir/sphere.xyz and fits it with the wendfit
// executable at `levels` levels to dir/sphere.fn (a sphere of radius 10
// about the origin); returns that path. Throws std::runtime_error with the
// tool's message when the fit fails.
std::string fitUnitSphere(const TempDir& dir, int count, int levels);

// Extracts the function at `functionPath` with wendfit-mesh --full-box,
// which examines every cell of the box, into a scratch file and returns the
// number of connected components its summary line reports: more than one on
// a closed scan means a sheet detached from the surface. `resolution` 0
// keeps the tool's default grid. Throws std::runtime_error with the tool's
// message when it fails.
long fullBoxComponents(const std::string& functionPath, int resolution = 0);

}  // namespace wendfit::test
