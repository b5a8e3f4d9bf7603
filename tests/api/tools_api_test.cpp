// The tools as library functions: called in the test's own process they
// return the programs' exit statuses (no exit, no escaping exception) and
// write what the programs write.

#include <wendfit/tools.h>

#include <new>
#include <string>

#include <gtest/gtest.h>

// The entry points' shared part prints the version the tools' own target
// defines; this test never asks for it.
#ifndef WENDFIT_VERSION
#define WENDFIT_VERSION ""
#endif
#include "api/tool_main.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::TempDir;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

TEST(ToolsApi, InProcessRunsMatchTheProgramsAndReturnTheirStatuses) {
  TempDir dir;
  const std::string programResult = test::fitUnitSphere(dir, 500, 4);
  CaptureStdout();
  EXPECT_EQ(runFitTool({dir.file("sphere.xyz"), dir.file("in_process.fn"), "4"}), 0);
  EXPECT_NE(GetCapturedStdout().find("Fitting time is"), std::string::npos);
  EXPECT_EQ(test::readFile(dir.file("in_process.fn")), test::readFile(programResult));

  CaptureStderr();
  EXPECT_EQ(runMeshTool({programResult, dir.file("sphere.off"), "--quiet"}), 0);
  EXPECT_EQ(runEvalTool({dir.file("missing.fn")}), 1);
  EXPECT_EQ(runReconstructTool({"--no-such-option"}), 2);
  const std::string messages = GetCapturedStderr();
  EXPECT_TRUE(test::fileExists(dir.file("sphere.off")));
  EXPECT_NE(messages.find("wendfit-eval: error: " + dir.file("missing.fn")), std::string::npos) << messages;
  EXPECT_NE(messages.find("wendfit-reconstruct: error: unknown option --no-such-option"), std::string::npos)
      << messages;
}

// An exhausted heap is one line naming the input the tool was given (none
// before the arguments are read), and status 1.
TEST(ToolsApi, RunningOutOfMemoryNamesTheInput) {
  std::string input;
  const ToolText text{"tool", "", "", "out of memory", &input};
  auto exhaust = []() -> int { throw std::bad_alloc(); };
  CaptureStderr();
  EXPECT_EQ(toolMain(text, {}, [&](const std::vector<std::string>&) { return ToolAction::Run; }, exhaust), 1);
  EXPECT_EQ(toolMain(text, {"scan.ply"}, [&](const std::vector<std::string>& arguments) {
              input = arguments[0];
              return ToolAction::Run;
            }, exhaust), 1);
  EXPECT_EQ(GetCapturedStderr(), "tool: error: out of memory\ntool: error: scan.ply: out of memory\n");
}

}  // namespace
}  // namespace wendfit
