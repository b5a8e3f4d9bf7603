// Query parsing and the wendfit-eval executable, run as a user would.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "io/point_queries.h"
#include "core/error.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::CommandResult;
using test::runCommand;
using test::TempDir;
using test::writeFile;

std::string evalTool() { return test::executable("wendfit-eval"); }

std::vector<std::vector<double>> parseRows(const std::string& out) {
  std::vector<std::vector<double>> rows;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<double> row;
    double v;
    while (fields >> v) row.push_back(v);
    rows.push_back(row);
  }
  return rows;
}

std::string parseError(const std::string& text) {
  float point[3];
  try {
    parseQueryLine(text, "q.txt", 7, point);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(QueryLine, AcceptsThreeDecimalNumbersInAnySpacing) {
  float p[3] = {0, 0, 0};
  ASSERT_TRUE(parseQueryLine("1 -2.5 3e2", "q", 1, p));
  EXPECT_EQ(p[0], 1.0f);
  EXPECT_EQ(p[1], -2.5f);
  EXPECT_EQ(p[2], 300.0f);
  ASSERT_TRUE(parseQueryLine("\t+0.1  .5\t-7.\r", "q", 1, p));
  EXPECT_EQ(p[0], 0.1f);
  EXPECT_EQ(p[1], 0.5f);
  EXPECT_EQ(p[2], -7.0f);
  ASSERT_TRUE(parseQueryLine("1e-50 0 0", "q", 1, p));
  EXPECT_EQ(p[0], 0.0f);
  EXPECT_FALSE(parseQueryLine("", "q", 1, p));
  EXPECT_FALSE(parseQueryLine(" \t\r", "q", 1, p));
}

TEST(QueryLine, RejectsMalformedLinesNamingFileAndLine) {
  EXPECT_EQ(parseError("1 2"), "q.txt:7: found 2 fields (expected 3 numbers: x y z)");
  EXPECT_EQ(parseError("1 2 3 4"), "q.txt:7: found 4 fields (expected 3 numbers: x y z)");
  EXPECT_EQ(parseError("1 x 3"),
            "q.txt:7: malformed number 'x' (expected a decimal number such as -1.5e2)");
  EXPECT_EQ(parseError("1,5 2 3"),
            "q.txt:7: malformed number '1,5' (expected a decimal number such as -1.5e2)");
  EXPECT_EQ(parseError("++1 2 3"),
            "q.txt:7: malformed number '++1' (expected a decimal number such as -1.5e2)");
  EXPECT_EQ(parseError("nan 2 3"), "q.txt:7: number 'nan' is not finite");
  EXPECT_EQ(parseError("1 -inf 3"), "q.txt:7: number '-inf' is not finite");
  EXPECT_EQ(parseError("1 2 1e39"), "q.txt:7: number '1e39' is out of float range");
}

// One constant-quadric record at (0.5, 0, 0) with radius 2 and one linear
// record elsewhere, offset 0.25, box [-4, 4]^3.
const char* const kTwoRecordFile =
    "-4.000000 -4.000000 -4.000000\n"
    "4.000000 4.000000 4.000000\n"
    "2\n"
    "0.250000\n"
    "0.500000 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000 "
    "0.000000 0.000000 0.000000 1.000000 2.000000 1\n"
    "-2.000000 2.000000 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000 0.000000 "
    "1.000000 0.000000 0.000000 0.500000 1.000000 2\n";

TEST(EvalTool, AnswersEveryQueryLineFromFileOrStandardInput) {
  TempDir dir;
  std::string function = dir.file("f.txt");
  std::string points = dir.file("points.txt");
  writeFile(function, kTwoRecordFile);
  // Centre of the first record, t = 1/2 from it, on a box face out of reach
  // of both records, just outside the box, blank line skipped.
  writeFile(points, "0.5 0 0\n1.5 0 0\n\n4 0 0\n4.0001 0 0\n");
  CommandResult fromFile = runCommand(evalTool() + " " + function + " " + points);
  ASSERT_EQ(fromFile.status, 0) << fromFile.err;
  EXPECT_EQ(fromFile.err, "");
  auto rows = parseRows(fromFile.out);
  ASSERT_EQ(rows.size(), 4u) << fromFile.out;
  for (const auto& row : rows) ASSERT_EQ(row.size(), 6u);
  // At a centre: 3 c9 + offset; the weight is flat there, so no gradient
  // and no curvature.
  EXPECT_EQ(fromFile.out.substr(0, fromFile.out.find('\n')), "3.25 0 0 0 0 0");
  // t = 1/2: w = 20.75/64, gradient w'(t) / R = -56 t (1-t)^5 (5t+1) / 2
  // along d = (1, 0, 0); the level set is a sphere of radius 1 with values
  // falling outward.
  EXPECT_EQ(rows[1][0], 0.25 + 20.75 / 64.0);
  EXPECT_EQ(rows[1][1], -1.53125);
  EXPECT_NEAR(rows[1][4], -1.0, 1e-12);
  EXPECT_NEAR(rows[1][5], 1.0, 1e-12);
  // The fit's own derivatives: -20 (1/2)^3 / 4 there; at the centre the
  // curvatures leave the record out.
  CommandResult designed = runCommand(evalTool() + " --designed-derivatives " + function + " " + points);
  ASSERT_EQ(designed.status, 0) << designed.err;
  auto designedRows = parseRows(designed.out);
  ASSERT_EQ(designedRows.size(), 4u);
  EXPECT_EQ(designedRows[0], rows[0]);
  EXPECT_EQ(designedRows[1][0], rows[1][0]);
  EXPECT_EQ(designedRows[1][1], -0.625);
  EXPECT_NEAR(designedRows[1][4], -1.0, 1e-12);
  EXPECT_EQ(rows[2], (std::vector<double>{0.25, 0, 0, 0, 0, 0}));
  EXPECT_EQ(rows[3], (std::vector<double>{0.25, 0, 0, 0, 0, 0}));

  CommandResult fromStdin = runCommand(evalTool() + " " + function + " < " + points);
  EXPECT_EQ(fromStdin.status, 0);
  EXPECT_EQ(fromStdin.out, fromFile.out);
  CommandResult dash = runCommand("cat " + points + " | " + evalTool() + " " + function + " -");
  EXPECT_EQ(dash.out, fromFile.out);
}

TEST(EvalTool, PrintsNumbersThatReadBackExactly) {
  TempDir dir;
  std::string function = dir.file("f.txt");
  writeFile(function, kTwoRecordFile);
  const float points[][3] = {{0.3f, -0.7f, 0.1f}, {-1.5f, 1.25f, 0.5f}, {1.1f, 1.3f, -0.9f}};
  std::string queries;
  for (const auto& p : points) {
    char line[100];
    std::snprintf(line, sizeof line, "%.9g %.9g %.9g\n", p[0], p[1], p[2]);
    queries += line;
  }
  writeFile(dir.file("q"), queries);
  CommandResult result = runCommand(evalTool() + " " + function + " " + dir.file("q"));
  ASSERT_EQ(result.status, 0) << result.err;
  // The same function evaluated in process, from the same records.
  const float boxMin[3] = {-4, -4, -4};
  const float boxMax[3] = {4, 4, 4};
  ImplicitFunction expected(boxMin, boxMax, nullptr);
  expected.setOffset(0.25f);
  BasisFunction a{{0.5f, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 2.0f, 1};
  BasisFunction b{{-2, 2, 0}, {0, 0, 0, 0, 0, 0, 1, 0, 0, 0.5f}, 1.0f, 2};
  expected.addLevel({a});
  expected.addLevel({b});
  auto rows = parseRows(result.out);
  ASSERT_EQ(rows.size(), 3u);
  for (int i = 0; i < 3; ++i) {
    QueryResult r = evaluateQuery(expected, points[i][0], points[i][1], points[i][2]);
    EXPECT_EQ(static_cast<float>(rows[i][0]), r.value);
    for (int a2 = 0; a2 < 3; ++a2) EXPECT_EQ(static_cast<float>(rows[i][1 + a2]), r.gradient[a2]);
    EXPECT_EQ(rows[i][4], r.mean);
    EXPECT_EQ(rows[i][5], r.gaussian);
  }
}

TEST(EvalTool, ReportsBadInputWithFileLineAndStatus) {
  TempDir dir;
  std::string function = dir.file("f.txt");
  writeFile(function, kTwoRecordFile);
  std::string points = dir.file("points.txt");
  writeFile(points, "0 0 0\n1 abc 2\n3 3 3\n");
  CommandResult bad = runCommand(evalTool() + " " + function + " " + points);
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "wendfit-eval: error: " + points +
                         ":2: malformed number 'abc' (expected a decimal number such as -1.5e2)\n");
  EXPECT_EQ(parseRows(bad.out).size(), 1u);  // the line before the bad one is answered

  CommandResult missingPoints = runCommand(evalTool() + " " + function + " " + dir.file("none"));
  EXPECT_EQ(missingPoints.status, 1);
  EXPECT_EQ(missingPoints.err.rfind("wendfit-eval: error: " + dir.file("none") + ": cannot open", 0), 0u)
      << missingPoints.err;

  CommandResult missingFunction = runCommand(evalTool() + " " + dir.file("nofn") + " " + points);
  EXPECT_EQ(missingFunction.status, 1);
  EXPECT_EQ(missingFunction.err.rfind("wendfit-eval: error: " + dir.file("nofn"), 0), 0u)
      << missingFunction.err;
  EXPECT_EQ(missingFunction.out, "");

  writeFile(dir.file("broken"), "0 0 0\n1 1 1\n1\n0\n");  // promises a record it lacks
  CommandResult broken = runCommand(evalTool() + " " + dir.file("broken") + " " + points);
  EXPECT_EQ(broken.status, 1);
  EXPECT_EQ(broken.err.rfind("wendfit-eval: error: " + dir.file("broken") + ":", 0), 0u) << broken.err;
}

TEST(EvalTool, UsageErrorsAndHelp) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "expected FUNCTION_FILE [POINTS_FILE], got no arguments"},
      {"a b c", "too many arguments: 'c'"},
      {"--frobnicate f.txt", "unknown option '--frobnicate'"},
      {"f.txt --scale", "--scale needs a value"},
      {"f.txt --scale 0", "--scale '0' is not a positive number"},
      {"f.txt --scale 2 --like x.pts", "give --like or --scale, not both"},
      {"f.txt --principal --designed-derivatives", "give --principal or --designed-derivatives, not both"},
  };
  for (const auto& [args, message] : cases) {
    CommandResult usage = runCommand(evalTool() + " " + args);
    EXPECT_EQ(usage.status, 2) << args;
    EXPECT_EQ(usage.err.rfind(std::string("wendfit-eval: error: ") + message, 0), 0u) << usage.err;
    EXPECT_NE(usage.err.find("usage: wendfit-eval [options] FUNCTION_FILE [POINTS_FILE]"), std::string::npos);
    EXPECT_EQ(usage.out, "");
  }
  CommandResult version = runCommand(evalTool() + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("wendfit-eval ", 0), 0u);
  CommandResult help = runCommand(evalTool() + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char* needle : {"value gx gy gz mean gaussian", "positive inside the object", "1/r^2",
                             "never NaN", "%.17g"}) {
    EXPECT_NE(help.out.find(needle), std::string::npos) << needle;
  }
}

TEST(EvalTool, AnswersOnAFittedSphereWithTheDocumentedSigns) {
  TempDir dir;
  const std::string function = test::fitUnitSphere(dir, 400, 5);
  // The fit scales the unit sphere by 10: radius 10 about the origin.
  // Queries inside, on and outside it along three directions, then the
  // centre, a corner of the box far outside, and a point beyond every
  // support.
  const double dirs[][3] = {{1, 0, 0}, {0, -0.6, 0.8}, {0.48, 0.6, 0.64}};
  std::string queries;
  char line[120];
  for (const auto& d : dirs) {
    for (double r : {5.0, 10.0, 13.0}) {
      std::snprintf(line, sizeof line, "%.6f %.6f %.6f\n", r * d[0], r * d[1], r * d[2]);
      queries += line;
    }
  }
  queries += "0 0 0\n14 14 14\n1000 1000 1000\n";
  writeFile(dir.file("q"), queries);
  CommandResult eval = runCommand(evalTool() + " " + function + " " + dir.file("q"));
  ASSERT_EQ(eval.status, 0) << eval.err;
  auto rows = parseRows(eval.out);
  ASSERT_EQ(rows.size(), 12u);
  for (int k = 0; k < 3; ++k) {
    const auto& inside = rows[3 * k];
    const auto& surface = rows[3 * k + 1];
    const auto& outside = rows[3 * k + 2];
    // As documented: positive inside the object, negative outside it.
    EXPECT_GT(inside[0], 0.0) << k;
    EXPECT_LT(outside[0], 0.0) << k;
    // On the surface the value is small against the change over 1/10 of
    // the radius, and the gradient points inward, to the larger values.
    double gradNorm = std::sqrt(surface[1] * surface[1] + surface[2] * surface[2] +
                                surface[3] * surface[3]);
    EXPECT_LT(std::fabs(surface[0]), 0.1 * gradNorm) << k;
    double outward = (surface[1] * dirs[k][0] + surface[2] * dirs[k][1] +
                      surface[3] * dirs[k][2]) / gradNorm;
    EXPECT_LT(outward, -0.95) << k;
    // Larger values inside a sphere: mean curvature -1/r, Gaussian 1/r^2,
    // equal principal curvatures (mean^2 == gaussian) by the symmetry.
    double mean = surface[4], gaussian = surface[5];
    EXPECT_LT(mean, 0.0) << k;
    EXPECT_GT(gaussian, 0.0) << k;
    EXPECT_NEAR(mean * mean, gaussian, 0.15 * gaussian) << k;
  }
  EXPECT_GT(rows[9][0], 0.0);   // the centre
  EXPECT_LT(rows[10][0], 0.0);  // far outside, still in the box
  EXPECT_EQ(rows[11], (std::vector<double>{0, 0, 0, 0, 0, 0}));  // beyond box and supports
}

TEST(EvalTool, LikeAndScaleTakeQueriesInTheInputsCoordinates) {
  TempDir dir;
  const std::string function = test::fitUnitSphere(dir, 200, 4);
  // The input spans exactly [-1, 1]^3, so the fit scaled it by 10; these
  // points scale exactly.
  writeFile(dir.file("fit.q"), "5 0 0\n0 -2.5 7.5\n0 0 0\n");
  writeFile(dir.file("input.q"), "0.5 0 0\n0 -0.25 0.75\n0 0 0\n");
  CommandResult fit = runCommand(evalTool() + " " + function + " " + dir.file("fit.q"));
  CommandResult like = runCommand(evalTool() + " --like " + dir.file("sphere.xyz") + " " + function + " " +
                                  dir.file("input.q"));
  CommandResult scaled = runCommand(evalTool() + " " + function + " --scale 10 " + dir.file("input.q"));
  ASSERT_EQ(fit.status, 0) << fit.err;
  ASSERT_EQ(like.status, 0) << like.err;
  EXPECT_EQ(scaled.out, like.out);
  auto expected = parseRows(fit.out);
  auto rows = parseRows(like.out);
  ASSERT_EQ(rows.size(), 3u);
  // The same function of the input's coordinates: the value as it is, the
  // derivatives per input unit. Floats read back exactly only as floats.
  auto asFloat = [](double printed) { return static_cast<float>(printed); };
  for (size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], expected[i][0]) << i;
    for (int a = 1; a <= 3; ++a) {
      EXPECT_EQ(asFloat(rows[i][a]), static_cast<float>(double{asFloat(expected[i][a])} * 10.0)) << i;
    }
    EXPECT_EQ(rows[i][4], expected[i][4] * 10.0) << i;
    EXPECT_EQ(rows[i][5], expected[i][5] * 100.0) << i;
  }
}

}  // namespace
}  // namespace wendfit
