#include "driver/command_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace wendfit {
namespace {

CommandLine parse(std::vector<std::string> arguments) { return parseCommandLine(arguments); }

TEST(CommandLine, FewerThanThreeArgumentsIsAUsageError) {
  for (auto arguments : {std::vector<std::string>{}, {"in.pts"}, {"in.pts", "out.fn"}}) {
    CommandLine line = parse(arguments);
    EXPECT_EQ(line.action, CommandLine::Action::UsageError);
    EXPECT_NE(line.problem.find("expected INPUT OUTPUT LEVELS"), std::string::npos);
  }
}

TEST(CommandLine, MissingThresholdAndRegularizationCountAsZero) {
  CommandLine three = parse({"in.pts", "out.fn", "6"});
  ASSERT_EQ(three.action, CommandLine::Action::Run);
  EXPECT_EQ(three.options.input, "in.pts");
  EXPECT_EQ(three.options.output, "out.fn");
  EXPECT_EQ(three.options.levels, 6);
  EXPECT_EQ(three.options.errorThreshold, 0.0);
  EXPECT_EQ(three.options.regularization, 0.0);
  EXPECT_FALSE(three.options.signGuard);
  EXPECT_TRUE(parse({"--sign-guard", "in.pts", "out.fn", "6"}).options.signGuard);

  CommandLine four = parse({"in.pts", "out.fn", "6", "0.001"});
  ASSERT_EQ(four.action, CommandLine::Action::Run);
  EXPECT_DOUBLE_EQ(four.options.errorThreshold, 0.001);
  EXPECT_EQ(four.options.regularization, 0.0);
}

TEST(CommandLine, NumbersAreReadWholeAndLevelsUpToTheWritableRadius) {
  CommandLine line = parse({"in.pts", "out.fn", "25", "1e-3", ".5", "--quiet"});
  ASSERT_EQ(line.action, CommandLine::Action::Run);
  EXPECT_EQ(line.options.levels, 25);
  EXPECT_EQ(line.options.errorThreshold, 0.001);
  EXPECT_EQ(line.options.regularization, 0.5);
  EXPECT_TRUE(line.options.quiet);
  // Level 25's radius for the smallest box (diagonal 20) still prints as
  // non-zero with six decimals; level 26's would be below 0.000001.
  EXPECT_EQ(maxFitLevels(), 25);
  char radius[32];
  std::snprintf(radius, sizeof radius, "%f", 30.0 * std::ldexp(1.0, -24));
  EXPECT_STREQ(radius, "0.000002");
}

TEST(CommandLine, OptionsMayStandAnywhereAndNegativeNumbersArePositional) {
  CommandLine line = parse({"--flip-normals", "in.pts", "out.fn", "2", "0.5", "0.25"});
  ASSERT_EQ(line.action, CommandLine::Action::Run);
  EXPECT_TRUE(line.options.flipNormals);
  EXPECT_EQ(line.options.levels, 2);
  EXPECT_DOUBLE_EQ(line.options.errorThreshold, 0.5);
  EXPECT_DOUBLE_EQ(line.options.regularization, 0.25);
  // A negative number is a value (refused as such), not an unknown option.
  CommandLine negative = parse({"in.pts", "out.fn", "2", "-.5"});
  EXPECT_EQ(negative.action, CommandLine::Action::UsageError);
  EXPECT_EQ(negative.problem, "THRESHOLD '-.5' is negative (expected 0 or more)");

  CommandLine dashed = parse({"in.pts", "--", "--odd-name.fn", "3"});
  ASSERT_EQ(dashed.action, CommandLine::Action::Run);
  EXPECT_EQ(dashed.options.output, "--odd-name.fn");
}

TEST(CommandLine, HelpVersionAndUnknownOptions) {
  EXPECT_EQ(parse({"in.pts", "--help"}).action, CommandLine::Action::Help);
  EXPECT_EQ(parse({"-h"}).action, CommandLine::Action::Help);
  EXPECT_EQ(parse({"--version"}).action, CommandLine::Action::Version);
  CommandLine unknown = parse({"in.pts", "out.fn", "3", "--fast"});
  EXPECT_EQ(unknown.action, CommandLine::Action::UsageError);
  EXPECT_NE(unknown.problem.find("--fast"), std::string::npos);
}

TEST(CommandLine, RejectsNonFiniteNumbersAndSurplusArguments) {
  EXPECT_EQ(parse({"in.pts", "out.fn", "3", "nan"}).action, CommandLine::Action::UsageError);
  EXPECT_EQ(parse({"in.pts", "out.fn", "3", "0", "inf"}).action, CommandLine::Action::UsageError);
  CommandLine surplus = parse({"in.pts", "out.fn", "3", "0", "0", "extra"});
  EXPECT_EQ(surplus.action, CommandLine::Action::UsageError);
  EXPECT_NE(surplus.problem.find("extra"), std::string::npos);
}

TEST(CommandLine, ThreadCountMustBeAPositiveNumber) {
  CommandLine two = parse({"--threads", "2", "in.pts", "out.fn", "3"});
  ASSERT_EQ(two.action, CommandLine::Action::Run);
  EXPECT_EQ(two.options.threads, 2);
  // The limit and the syntax are those of wendfit-mesh --threads.
  EXPECT_EQ(parse({"in.pts", "out.fn", "3", "--threads", "1024"}).options.threads, 1024);
  for (std::string bad : {"0", "-1", "two", "3x", "1025", " 2", "+2", ""}) {
    EXPECT_EQ(parse({"in.pts", "out.fn", "3", "--threads", bad}).action,
              CommandLine::Action::UsageError)
        << bad;
  }
  EXPECT_EQ(parse({"in.pts", "out.fn", "3", "--threads"}).action, CommandLine::Action::UsageError);
}

TEST(CommandLine, SolverIsBicgByDefaultAndUnknownNamesAreUsageErrors) {
  EXPECT_EQ(parse({"in.pts", "out.fn", "6"}).options.solver, SolverKind::Bicg);
  EXPECT_EQ(parse({"in.pts", "--solver", "schwarz", "out.fn", "6"}).options.solver, SolverKind::Schwarz);
  EXPECT_EQ(parse({"--solver", "bicg", "in.pts", "out.fn", "6"}).options.solver, SolverKind::Bicg);
  CommandLine unknown = parse({"in.pts", "out.fn", "6", "--solver", "cholesky"});
  EXPECT_EQ(unknown.action, CommandLine::Action::UsageError);
  EXPECT_NE(unknown.problem.find("'cholesky'"), std::string::npos) << unknown.problem;
  EXPECT_EQ(parse({"in.pts", "out.fn", "6", "--solver"}).action, CommandLine::Action::UsageError);
}

}  // namespace
}  // namespace wendfit
