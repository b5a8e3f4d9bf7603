#include "io/output_file.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "function/implicit_function.h"
#include "io/function_file_writer.h"
#include "support/error_checks.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::errorMessage;
using test::expectContainsAll;

size_t entriesIn(const std::string& directory) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++n;
  return n;
}

TEST(OutputFile, SpecialTargetsAreWrittenInPlaceAndLinksKept) {
  // A device cannot be replaced by a rename, and must not be.
  {
    OutputFile device("/dev/null");
    EXPECT_TRUE(device.temporaryPath().empty());
    device.print("%s\n", "discarded");
    device.commit();
  }
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));

  // A link to a result file keeps being a link; the file behind it changes.
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("real"));
  const std::string real = dir.file("real/result.txt");
  const std::string link = dir.file("link.txt");
  test::writeFile(real, "old\n");
  std::filesystem::create_symlink(real, link);
  {
    OutputFile file(link);
    file.print("new\n");
    file.commit();
  }
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(test::readFile(real), "new\n");
  EXPECT_EQ(entriesIn(dir.file("real")), 1u);
}

TEST(OutputFile, CommitReplacesTargetAtomically) {
  test::TempDir dir;
  std::string target = dir.file("result.txt");
  test::writeFile(target, "old contents\n");
  {
    OutputFile file(target);
    EXPECT_EQ(file.temporaryPath().rfind(target, 0), 0u);  // beside the target
    file.print("%d %s\n", 42, "new");
    file.write("tail\n", 5);
    EXPECT_EQ(test::readFile(target), "old contents\n");  // untouched until commit
    file.commit();
  }
  EXPECT_EQ(test::readFile(target), "42 new\ntail\n");
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(OutputFile, WithoutCommitTheTemporaryFileIsRemoved) {
  test::TempDir dir;
  std::string target = dir.file("result.txt");
  test::writeFile(target, "old\n");
  {
    OutputFile file(target);
    file.print("partial");
    EXPECT_TRUE(test::fileExists(file.temporaryPath()));
  }
  EXPECT_EQ(test::readFile(target), "old\n");
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

TEST(OutputFile, UncreatableAndUnreplaceableTargetsAreErrors) {
  test::TempDir dir;
  expectContainsAll(errorMessage([&] { OutputFile file(dir.file("missing/out.txt")); }),
                    {"missing/out.txt", "cannot create"});

  // A directory in the target's place cannot be replaced by a file.
  std::filesystem::create_directory(dir.file("taken"));
  std::string message = errorMessage([&] {
    OutputFile file(dir.file("taken"));
    file.print("x\n");
    file.commit();
  });
  expectContainsAll(message, {"taken", "cannot replace"});
  EXPECT_EQ(entriesIn(dir.path()), 1u);  // no temporary file left behind
}

// Lowers the file size limit for one scope; writes beyond it fail with EFBIG
// just as they would on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, previousHandler_);
  }

 private:
  rlimit saved_{};
  void (*previousHandler_)(int) = nullptr;
};

TEST(FunctionFileWriter, FailedWriteIsAnErrorAndLeavesNoFileBehind) {
  test::TempDir dir;
  float lower[3] = {-8, -8, -8};
  float upper[3] = {8, 8, 8};
  ImplicitFunction function(lower, upper, nullptr);
  std::vector<BasisFunction> level(5000);
  for (size_t i = 0; i < level.size(); ++i) {
    level[i] = BasisFunction{};
    level[i].centre[0] = float(i % 16) - 8;
    level[i].radius = 0.5f;
    level[i].level = 1;
  }
  function.addLevel(level);
  std::string target = dir.file("result.fn");
  test::writeFile(target, "previous result\n");
  std::string message;
  {
    FileSizeLimit limit(4096);
    message = errorMessage([&] { writeFunctionFile(function, target, nullptr); });
  }
  expectContainsAll(message, {"result.fn", "cannot write"});
  EXPECT_EQ(test::readFile(target), "previous result\n");
  EXPECT_EQ(entriesIn(dir.path()), 1u);
}

// Starts the executable `arguments[0]` with the output module's pause hook,
// waits until it pauses with its temporary file written but not yet renamed,
// sends `signalNumber` and returns the wait status.
int interruptMidWrite(const std::vector<std::string>& arguments, const std::string& marker,
                      int signalNumber) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::string hook = "WENDFIT_TEST_PAUSE_BEFORE_COMMIT=" + marker;
  std::vector<char*> envp;
  for (char** variable = environ; *variable; ++variable) envp.push_back(*variable);
  envp.push_back(hook.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << arguments[0];
    return -1;
  }
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!test::fileExists(marker) && std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      ADD_FAILURE() << arguments[0] << " ended before writing its output";
      return status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(test::fileExists(marker)) << arguments[0] << " never paused mid-write";
  kill(pid, signalNumber);
  waitpid(pid, &status, 0);
  return status;
}

bool anyTemporaryIn(const std::string& directory) {
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().filename().string().find(".tmp.") != std::string::npos) return true;
  }
  return false;
}

TEST(OutputFile, InterruptedWriteLeavesNoTemporaryFileAndConventionalStatus) {
  test::TempDir dir;
  const std::string points = std::string(WENDFIT_SOURCE_DIR) + "/examples/torus.pts";
  const std::string function = dir.file("fit.fn");
  ASSERT_EQ(test::runCommand(test::executable("wendfit") + " " + points + " " + function + " 3").status, 0);
  const std::string marker = dir.file("paused");
  const std::vector<std::vector<std::string>> writers = {
      {test::executable("wendfit"), points, dir.file("again.fn"), "3"},
      {test::executable("wendfit-mesh"), function, dir.file("fit.ply")}};
  for (const int signalNumber : {SIGINT, SIGTERM}) {
    for (const std::vector<std::string>& writer : writers) {
      SCOPED_TRACE(writer[0] + " signal " + std::to_string(signalNumber));
      const int status = interruptMidWrite(writer, marker, signalNumber);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signalNumber) << "wait status " << status;
      EXPECT_FALSE(test::fileExists(writer[2]));
      EXPECT_FALSE(anyTemporaryIn(dir.path()));
      std::filesystem::remove(marker);
    }
  }
}

}  // namespace
}  // namespace wendfit
