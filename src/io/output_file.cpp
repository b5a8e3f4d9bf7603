// Result files appear atomically: written beside the target, then renamed.

#include "io/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/error.h"

namespace wendfit {

namespace {

// Large enough that millions of short lines cost few system calls.
constexpr size_t kBufferBytes = 1 << 20;
constexpr int kNameAttempts = 100;

}  // namespace

OutputFile::OutputFile(const std::string& path) : path_(path), renameTarget_(path) {
  struct stat target{};
  if (::stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) {
    file_ = std::fopen(path.c_str(), "w");
    if (!file_) {
      throw Error(fileMessage(path_, std::string("cannot open for writing (") + std::strerror(errno) + ")"));
    }
    return;
  }
  struct stat link{};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved) {
      renameTarget_ = resolved;
      std::free(resolved);
    }
  }
  // O_EXCL with a fresh name never clobbers another file; mode 0666 lets the
  // umask decide the final permissions, as for any newly created file.
  int fd = -1;
  int errorNumber = 0;
  for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
    temporaryPath_ =
        renameTarget_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
    fd = ::open(temporaryPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    errorNumber = errno;
    if (fd < 0 && errorNumber != EEXIST) break;
  }
  if (fd < 0) {
    temporaryPath_.clear();
    throw Error(fileMessage(path_, std::string("cannot create (") + std::strerror(errorNumber) + ")"));
  }
  file_ = ::fdopen(fd, "w");
  if (!file_) {
    errorNumber = errno;
    ::close(fd);
    ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
    throw Error(fileMessage(path_, std::string("cannot create (") + std::strerror(errorNumber) + ")"));
  }
  std::setvbuf(file_, nullptr, _IOFBF, kBufferBytes);
}

OutputFile::~OutputFile() {
  if (!committed_) discard();
}

void OutputFile::discard() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  if (!temporaryPath_.empty()) {
    ::unlink(temporaryPath_.c_str());
    temporaryPath_.clear();
  }
}

void OutputFile::fail(const std::string& what, int errorNumber) {
  discard();
  throw Error(fileMessage(path_, what + " (" + std::strerror(errorNumber) + ")"));
}

void OutputFile::print(const char* format, ...) {
  if (!file_) fail("cannot write", EBADF);
  va_list args;
  va_start(args, format);
  const int written = std::vfprintf(file_, format, args);
  va_end(args);
  if (written < 0) fail("cannot write", errno);
}

void OutputFile::write(const char* data, size_t size) {
  if (!file_) fail("cannot write", EBADF);
  if (std::fwrite(data, 1, size, file_) != size) fail("cannot write", errno);
}

void OutputFile::commit() {
  if (!file_) fail("cannot write", EBADF);
  if (std::fflush(file_) != 0 || std::ferror(file_)) fail("cannot write", errno);
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) fail("cannot write", errno);
  if (!temporaryPath_.empty() && std::rename(temporaryPath_.c_str(), renameTarget_.c_str()) != 0) {
    fail("cannot replace", errno);
  }
  committed_ = true;
}

}  // namespace wendfit
