#include "io/output_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <string>

#include "function/implicit_function.h"
#include "io/function_file_writer.h"
#include "io/io_test_helpers.h"
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

}  // namespace
}  // namespace wendfit
