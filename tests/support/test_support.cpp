#include "support/test_support.h"

#include <sys/wait.h>

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

}  // namespace wendfit::test
