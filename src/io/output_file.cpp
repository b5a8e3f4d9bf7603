// Result files appear atomically: written beside the target, then renamed.

#include "io/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/error.h"

namespace wendfit {

namespace {

// Large enough that millions of short lines cost few system calls.
constexpr size_t kBufferBytes = 1 << 20;
constexpr int kNameAttempts = 100;

// The temporary files a signal handler must remove. A handler may only touch
// lock-free atomics and fixed storage, so the names live in a fixed table:
// a slot is claimed (Filling), its name copied, and only then marked Pending,
// so the handler never reads a half-copied name. A name is listed before the
// file is created and delisted only after the file is renamed or removed;
// the handler may therefore try to remove a name that does not exist, never
// miss one that does. Slots are claimed round-robin so that a slot freed by
// one write is not at once refilled while a handler on another thread may
// still be reading it.
constexpr int kPendingSlots = 16;
constexpr size_t kPendingPathBytes = 4096;
enum PendingState : int { kSlotFree = 0, kSlotFilling = 1, kSlotPending = 2 };
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

std::atomic<int> pendingState[kPendingSlots];
char pendingPath[kPendingSlots][kPendingPathBytes];
std::atomic<unsigned> nextPendingSlot{0};

// Returns the slot holding `path`, or -1 when the table is full or the name
// too long (the file is then still removed by the destructor, only not on a
// signal).
int listPending(const std::string& path) {
  if (path.size() >= kPendingPathBytes) return -1;
  const unsigned start = nextPendingSlot.fetch_add(1);
  for (unsigned k = 0; k < kPendingSlots; ++k) {
    const int slot = static_cast<int>((start + k) % kPendingSlots);
    int expected = kSlotFree;
    if (pendingState[slot].compare_exchange_strong(expected, kSlotFilling)) {
      std::memcpy(pendingPath[slot], path.c_str(), path.size() + 1);
      pendingState[slot].store(kSlotPending);
      return slot;
    }
  }
  return -1;
}

void delistPending(int& slot) {
  if (slot >= 0) pendingState[slot].store(kSlotFree);
  slot = -1;
}

// Only async-signal-safe calls: unlink and _exit.
extern "C" void removePendingAndExit(int signalNumber) {
  for (int slot = 0; slot < kPendingSlots; ++slot) {
    if (pendingState[slot].load() == kSlotPending) ::unlink(pendingPath[slot]);
  }
  ::_exit(128 + signalNumber);
}

// Once per process. A signal that is ignored or already has a handler of the
// program's own keeps it.
void installSignalHandlers() {
  static const bool installed = [] {
    for (const int signalNumber : {SIGINT, SIGTERM}) {
      struct sigaction current {};
      if (::sigaction(signalNumber, nullptr, &current) != 0) continue;
      if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_DFL) continue;
      struct sigaction action {};
      action.sa_handler = removePendingAndExit;
      sigemptyset(&action.sa_mask);
      sigaddset(&action.sa_mask, SIGINT);
      sigaddset(&action.sa_mask, SIGTERM);
      ::sigaction(signalNumber, &action, nullptr);
    }
    return true;
  }();
  (void)installed;
}

// The test hook described in the header.
void pauseBeforeCommitForTest() {
  const char* marker = std::getenv("WENDFIT_TEST_PAUSE_BEFORE_COMMIT");
  if (!marker || !*marker) return;
  const int fd = ::open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd >= 0) ::close(fd);
  for (int tenth = 0; tenth < 600; ++tenth) ::usleep(100000);
}

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
  installSignalHandlers();
  // O_EXCL with a fresh name never clobbers another file; mode 0666 lets the
  // umask decide the final permissions, as for any newly created file.
  int fd = -1;
  int errorNumber = 0;
  for (int attempt = 0; attempt < kNameAttempts && fd < 0; ++attempt) {
    temporaryPath_ =
        renameTarget_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(attempt);
    pendingSlot_ = listPending(temporaryPath_);
    fd = ::open(temporaryPath_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    errorNumber = errno;
    if (fd < 0) delistPending(pendingSlot_);
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
    delistPending(pendingSlot_);
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
    delistPending(pendingSlot_);
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
  if (!temporaryPath_.empty()) pauseBeforeCommitForTest();
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) fail("cannot write", errno);
  if (!temporaryPath_.empty() && std::rename(temporaryPath_.c_str(), renameTarget_.c_str()) != 0) {
    fail("cannot replace", errno);
  }
  delistPending(pendingSlot_);
  committed_ = true;
}

}  // namespace wendfit
