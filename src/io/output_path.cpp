#include "io/output_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "core/error.h"

namespace wendfit {

namespace {

// The folder part of `path` ("." for a bare name).
std::string folderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

// `path` made absolute, with its existing part's links, "." and ".."
// resolved; empty when that fails.
std::filesystem::path resolved(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) return {};
  std::filesystem::path result = std::filesystem::weakly_canonical(absolute, error);
  return error ? std::filesystem::path() : result;
}

}  // namespace

void requireWritableTarget(const std::string& path) {
  if (path.empty()) throw Error("an output file name is empty (expected a file name)");
  struct stat target{};
  if (::stat(path.c_str(), &target) == 0) {
    if (S_ISDIR(target.st_mode)) throw Error(fileMessage(path, "is a directory (expected a file name)"));
    if (!S_ISREG(target.st_mode)) return;
  }
  // A symbolic link is kept and the file it points to replaced: the
  // temporary file goes beside that file.
  std::string written = path;
  struct stat link{};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real) written = real;
    std::free(real);
  }
  const std::string folder = folderOf(written);
  struct stat info{};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw Error(fileMessage(path, "the folder " + folder + " does not exist (expected an existing folder)"));
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    throw Error(fileMessage(path, "the folder " + folder + " is not writable (" + std::strerror(errno) + ")"));
  }
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat infoA{};
  struct stat infoB{};
  const bool existsA = ::stat(a.c_str(), &infoA) == 0;
  const bool existsB = ::stat(b.c_str(), &infoB) == 0;
  if (existsA && existsB) {
    return S_ISREG(infoA.st_mode) && S_ISREG(infoB.st_mode) && infoA.st_dev == infoB.st_dev &&
           infoA.st_ino == infoB.st_ino;
  }
  if (existsA || existsB) return false;
  const std::filesystem::path resolvedA = resolved(a);
  return !resolvedA.empty() && resolvedA == resolved(b);
}

}  // namespace wendfit
