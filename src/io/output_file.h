#pragma once
// OutputFile: writes a result file so that the target only ever holds a
// complete file. Everything goes to a temporary file beside the target (same
// directory, so the final rename stays on one file system); commit() closes
// it and renames it onto the target. Without a successful commit the
// temporary file is removed and the target is left as it was.
//
// A target that exists and is not a regular file (a pipe, /dev/stdout, a
// terminal) cannot be replaced by a rename and must not be: it is written
// directly. A symbolic link to a regular file is kept; the file it points
// to is replaced.
//
// Interrupted runs leave nothing behind either: while a temporary file
// exists its name stands in a fixed process-wide table, and the first
// OutputFile that creates one installs handlers for SIGINT and SIGTERM that
// remove every listed file and end the process with status 128 + signal
// (130, 143). A signal the process ignored when the handlers would be
// installed (a run started with nohup or in the background) stays ignored.
//
// Test hook: when the environment variable WENDFIT_TEST_PAUSE_BEFORE_COMMIT
// names a file, commit() creates that file once the temporary file holds
// everything but before it is renamed, then waits up to 60 s, so a test can
// deliver a signal mid-write at a known moment.

#include <cstdio>
#include <string>

namespace wendfit {

class OutputFile {
 public:
  // Creates the temporary file beside `path`. Throws Error naming `path` when
  // it cannot be created (missing directory, no permission).
  explicit OutputFile(const std::string& path);
  // Removes the temporary file unless commit() succeeded.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // printf-style write; throws Error naming the target when it fails (a
  // full disk, a file size limit).
  void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes `size` bytes; throws Error like print().
  void write(const char* data, size_t size);

  // Flushes and closes the temporary file and renames it onto the target.
  // Throws Error naming the target when any of these fails; the temporary
  // file is removed then.
  void commit();

  const std::string& path() const { return path_; }
  const std::string& temporaryPath() const { return temporaryPath_; }

 private:
  [[noreturn]] void fail(const std::string& what, int errorNumber);
  void discard();

  std::string path_;
  std::string temporaryPath_;
  std::string renameTarget_;  // path_, or the file a symbolic link points to
  std::FILE* file_ = nullptr;
  int pendingSlot_ = -1;  // where temporaryPath_ is listed for the signal handler
  bool committed_ = false;
};

}  // namespace wendfit
