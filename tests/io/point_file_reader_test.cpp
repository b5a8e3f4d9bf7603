#include "io/point_file_reader.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <string>

#include "support/error_checks.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::captureConsole;
using test::errorMessage;
using test::expectContainsAll;
using test::rewind30;

// n points at (i, 2i, 3i) with normals (0, 0, 1), one number per field.
std::string pointFileText(int n) {
  std::string text = std::to_string(n) + "\n";
  for (int i = 0; i < n; ++i) {
    text += std::to_string(i) + " " + std::to_string(2 * i) + " " + std::to_string(3 * i) + "\n";
  }
  for (int i = 0; i < n; ++i) text += "0 0 1\n";
  return text;
}

TEST(PointFileReader, ReadsPositionsAndStoresNormalsNegated) {
  test::TempDir dir;
  std::string path = dir.file("points.txt");
  test::writeFile(path, "2\n1.5 -2 3e1\n4 5 6\n0 0 1\n0.5 -0.25 2\ntrailing text is ignored\n");
  PointSet set = readPointFile(path, nullptr);
  ASSERT_EQ(set.count, 2);
  EXPECT_FALSE(set.hasValues());
  EXPECT_EQ(set.position(0)[0], 1.5f);
  EXPECT_EQ(set.position(0)[1], -2.0f);
  EXPECT_EQ(set.position(0)[2], 30.0f);
  EXPECT_EQ(set.position(1)[2], 6.0f);
  EXPECT_EQ(set.normal(0)[2], -1.0f);
  EXPECT_EQ(set.normal(1)[0], -0.5f);
  EXPECT_EQ(set.normal(1)[1], 0.25f);
  EXPECT_EQ(set.normal(1)[2], -2.0f);
}

TEST(PointFileReader, LayoutOfNumbersIntoLinesIsFree) {
  test::TempDir dir;
  const std::string numbers[] = {"2", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12"};
  std::string oneLine, onePerLine;
  for (const std::string& n : numbers) {
    oneLine += n + " \t";
    onePerLine += "\n\n" + n + "\r\n";
  }
  test::writeFile(dir.file("a"), oneLine);
  test::writeFile(dir.file("b"), onePerLine);
  PointSet a = readPointFile(dir.file("a"), nullptr);
  PointSet b = readPointFile(dir.file("b"), nullptr);
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.normals, b.normals);
  EXPECT_EQ(a.normals[5], -12.0f);
}

TEST(PointFileReader, CountTakesOctalAndHexadecimal) {
  test::TempDir dir;
  std::string body;
  for (int i = 0; i < 16 * 6; ++i) body += "1 ";
  test::writeFile(dir.file("octal"), "010 " + body);
  test::writeFile(dir.file("hex"), "0x10 " + body);
  EXPECT_EQ(readPointFile(dir.file("octal"), nullptr).count, 8);
  EXPECT_EQ(readPointFile(dir.file("hex"), nullptr).count, 16);
}

TEST(PointFileReader, PrintsMessagesExactly) {
  test::TempDir dir;
  test::writeFile(dir.file("p"), pointFileText(1));
  std::string console = captureConsole([&](std::FILE* c) { readPointFile(dir.file("p"), c); });
  EXPECT_EQ(console, "File read is started.\n1 points.\n" + rewind30() + " 0 points are read." + rewind30() +
                         " 0 normals are read." + rewind30() + "File read is done.        \n\n");
}

TEST(PointFileReader, ProgressCountersEveryTenThousandIndices) {
  test::TempDir dir;
  test::writeFile(dir.file("p"), pointFileText(25000));
  std::string console;
  PointSet set;
  console = captureConsole([&](std::FILE* c) { set = readPointFile(dir.file("p"), c); });
  std::string expected = "File read is started.\n25000 points.\n";
  for (int i : {0, 10000, 20000}) expected += rewind30() + " " + std::to_string(i) + " points are read.";
  for (int i : {0, 10000, 20000}) expected += rewind30() + " " + std::to_string(i) + " normals are read.";
  expected += rewind30() + "File read is done.        \n\n";
  EXPECT_EQ(console, expected);
  EXPECT_EQ(set.position(24999)[2], 74997.0f);
  EXPECT_EQ(set.normal(24999)[2], -1.0f);
}

TEST(PointFileReader, LongAndOutOfRangeNumbers) {
  test::TempDir dir;
  test::writeFile(dir.file("p"),
                  "1\n0.000000000000000000000000000000000000000000000000000000125e55 "
                  "1e39 -1e-40\n1.0000000596046447753906251 0 -1e400\n");
  PointSet set = readPointFile(dir.file("p"), nullptr);
  EXPECT_EQ(set.position(0)[0], 1.25f);
  EXPECT_EQ(set.position(0)[1], FLT_MAX);
  EXPECT_EQ(set.position(0)[2], -FLT_MIN);
  EXPECT_EQ(set.normal(0)[0], -1.00000012f);
  EXPECT_EQ(set.normal(0)[2], FLT_MAX);
}

TEST(PointFileReader, BadFilesAreRejectedWithFileAndProblem) {
  test::TempDir dir;
  std::string path = dir.file("bad.pts");
  struct Case {
    std::string text;
    std::initializer_list<std::string> parts;
  };
  const Case cases[] = {
      {"", {"bad.pts:1:", "unexpected end of file", "expected the number of points"}},
      {"  \n", {"bad.pts:2:", "unexpected end of file"}},
      {"-3\n1 2 3\n", {"bad.pts:1:", "negative point count -3"}},
      {"three\n", {"bad.pts:1:", "malformed integer 'three'"}},
      {"0\n", {"bad.pts:1:", "no points", "expected a count of at least 1"}},
      {"2\n1 2 3\n4 5 6\n0 0 1          ", {"bad.pts:4:", "unexpected end of file", "expected the x component of normal 1"}},
      {"1\n1 2 x\n0 0 1\n", {"bad.pts:2:", "malformed number 'x'", "expected the z coordinate of point 0"}},
      {"1\n1 nan 3\n0 0 1\n", {"bad.pts:2:", "non-finite number 'nan'", "the y coordinate of point 0"}},
      {"1\n1 2 3\n0 -inf 1\n", {"bad.pts:3:", "non-finite number '-inf'", "normal 0"}},
  };
  for (const Case& c : cases) {
    test::writeFile(path, c.text);
    expectContainsAll(errorMessage([&] { readPointFile(path, nullptr); }), c.parts);
  }
  expectContainsAll(errorMessage([&] { readPointFile(dir.file("missing.pts"), nullptr); }),
                    {"missing.pts", "cannot open"});
}

TEST(PointFileReader, CountLargerThanTheFileIsRefusedBeforeAllocating) {
  test::TempDir dir;
  std::string path = dir.file("huge.pts");
  // Would need about 24 GB of coordinates if it were believed.
  test::writeFile(path, "2000000000\n1 2 3\n0 0 1\n");
  expectContainsAll(errorMessage([&] { readPointFile(path, nullptr); }),
                    {"huge.pts:1:", "point count 2000000000 is larger than the file can hold"});
  // The smallest honest file is accepted.
  test::writeFile(path, "2\n0 0 0 0 0 0 0 0 0 0 0 0");
  EXPECT_EQ(readPointFile(path, nullptr).count, 2);
}

}  // namespace
}  // namespace wendfit
