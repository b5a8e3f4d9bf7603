#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "function/implicit_function.h"
#include "io/function_file_reader.h"
#include "io/function_file_writer.h"
#include "support/error_checks.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::captureConsole;
using test::errorMessage;
using test::expectContainsAll;
using test::rewind30;

BasisFunction record(float x, float y, float z, float radius, int level, float firstCoeff = 0) {
  BasisFunction f{};
  f.centre[0] = x;
  f.centre[1] = y;
  f.centre[2] = z;
  for (int i = 0; i < 10; ++i) f.coeff[i] = firstCoeff + i;
  f.radius = radius;
  f.level = level;
  return f;
}

// The cube [-8, 8]^3: root halfSize 8.
std::unique_ptr<ImplicitFunction> cubeFunction() {
  float lower[3] = {-8, -8, -8};
  float upper[3] = {8, 8, 8};
  return std::make_unique<ImplicitFunction>(lower, upper, nullptr);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    out.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text does not end with a newline";
  return out;
}

TEST(FunctionFileWriter, EmptyFunctionGivesFourLines) {
  test::TempDir dir;
  float lower[3] = {-1.5f, 0, 2};
  float upper[3] = {1.5f, 3, 4.25f};
  ImplicitFunction function(lower, upper, nullptr);
  function.setOffset(0);
  std::string console = captureConsole([&](std::FILE* c) { writeFunctionFile(function, dir.file("f"), c); });
  EXPECT_EQ(test::readFile(dir.file("f")),
            "-1.500000 0.000000 2.000000\n1.500000 3.000000 4.250000\n0\n0.000000\n");
  EXPECT_EQ(console, "File write is started.\n0 basis functions.\n" + rewind30() + "File write is done.        \n\n");
}

TEST(FunctionFileWriter, FormatsEveryNumberWithPercentF) {
  test::TempDir dir;
  auto function = cubeFunction();
  function->setOffset(-10);
  BasisFunction f = record(1e-7f, -2.5f, 123456789.0f, 30.0f, 3);
  f.coeff[0] = 1e-7f;
  f.coeff[1] = -1e-7f;
  f.coeff[2] = 1e20f;
  f.coeff[9] = 0.1f;
  function->addLevel({f});
  writeFunctionFile(*function, dir.file("f"), nullptr);
  std::vector<std::string> text = lines(test::readFile(dir.file("f")));
  ASSERT_EQ(text.size(), 5u);
  EXPECT_EQ(text[0], "-8.000000 -8.000000 -8.000000");
  EXPECT_EQ(text[2], "1");
  EXPECT_EQ(text[3], "-10.000000");
  EXPECT_EQ(text[4],
            "0.000000 -2.500000 123456792.000000 0.000000 -0.000000 100000002004087734272.000000 "
            "3.000000 4.000000 5.000000 6.000000 7.000000 8.000000 0.100000 30.000000 3");
}

TEST(FunctionFileWriter, LinesLongerThanTheFormatBufferArePrintedWhole) {
  // Ten coefficients at the float limit print 47 characters each with %f.
  test::TempDir dir;
  auto function = cubeFunction();
  BasisFunction f = record(1, 2, 3, 1, 4);
  for (float& c : f.coeff) c = -std::numeric_limits<float>::max();
  function->addLevel({f});
  writeFunctionFile(*function, dir.file("f"), nullptr);
  std::string expected = "1.000000 2.000000 3.000000 ";
  for (int i = 0; i < 10; ++i) expected += "-340282346638528859811704183484516925440.000000 ";
  expected += "1.000000 4";
  EXPECT_EQ(lines(test::readFile(dir.file("f"))).back(), expected);
}

TEST(FunctionFileWriter, LinesFollowTheCellTreeNotTheLevels) {
  test::TempDir dir;
  auto function = cubeFunction();
  // Level 1: two records deep in child 7 and one in child 0; level 2: one
  // wide record that stays in the root; level 3: another in child 7.
  function->addLevel({record(1, 1, 1, 3, 1), record(-1, -1, -1, 3, 1), record(2, 2, 2, 3, 1)});
  function->addLevel({record(0, 0, 0, 20, 2)});
  function->addLevel({record(3, 3, 3, 3, 3)});
  writeFunctionFile(*function, dir.file("f"), nullptr);
  std::vector<std::string> text = lines(test::readFile(dir.file("f")));
  ASSERT_EQ(text.size(), 4u + 5u);
  EXPECT_EQ(text[2], "5");
  std::vector<std::string> order;
  for (size_t i = 4; i < text.size(); ++i) order.push_back(text[i].substr(0, text[i].find(' ')));
  // Root first, then child 0, then child 7 newest first.
  EXPECT_EQ(order, (std::vector<std::string>{"0.000000", "-1.000000", "3.000000", "2.000000", "1.000000"}));
}

TEST(FunctionFileWriter, ProgressCountersEveryTenThousandLines) {
  test::TempDir dir;
  auto function = cubeFunction();
  std::vector<BasisFunction> level;
  for (int i = 0; i < 10001; ++i) level.push_back(record(float(i % 16) - 8, 0, 0, 0.25f, 1));
  function->addLevel(level);
  std::string console = captureConsole([&](std::FILE* c) { writeFunctionFile(*function, dir.file("f"), c); });
  EXPECT_EQ(console, "File write is started.\n10001 basis functions.\n" + rewind30() +
                         " 0 functions are written." + rewind30() + " 10000 functions are written." +
                         rewind30() + "File write is done.        \n\n");
  EXPECT_EQ(lines(test::readFile(dir.file("f"))).size(), 10005u);
}

// A seeded multi-level function whose values print exactly in "%f".
std::unique_ptr<ImplicitFunction> randomFunction(unsigned seed, bool exactValues) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  auto value = [&](float scale) {
    float v = unit(rng) * scale;
    return exactValues ? std::round(v * 64.0f) / 64.0f : v;
  };
  float lower[3] = {-10, -6, -3};
  float upper[3] = {10, 6, 3};
  auto function = std::make_unique<ImplicitFunction>(lower, upper, nullptr);
  function->setOffset(0);
  float radius = 15.0f;
  for (int levelNumber = 1; levelNumber <= 5; ++levelNumber, radius *= 0.5f) {
    std::vector<BasisFunction> level;
    for (int i = 0; i < 20 * levelNumber; ++i) {
      BasisFunction f{};
      f.centre[0] = value(10);
      f.centre[1] = value(6);
      f.centre[2] = value(3);
      for (float& c : f.coeff) c = value(4);
      f.radius = radius;
      f.level = levelNumber;
      level.push_back(f);
    }
    function->addLevel(level);
  }
  return function;
}

TEST(FunctionFileReader, WriteReadWriteGivesTheSameBytes) {
  test::TempDir dir;
  auto original = randomFunction(11, true);
  writeFunctionFile(*original, dir.file("a"), nullptr);
  auto reread = readFunctionFile(dir.file("a"));
  EXPECT_EQ(reread->functionCount(), original->functionCount());
  EXPECT_EQ(reread->root().halfSize, original->root().halfSize);
  EXPECT_EQ(reread->root().maxRadius, original->root().maxRadius);
  writeFunctionFile(*reread, dir.file("b"), nullptr);
  EXPECT_EQ(test::readFile(dir.file("a")), test::readFile(dir.file("b")));
}

TEST(FunctionFileReader, RoundTripIsStableAfterOnePrintingForArbitraryFloats) {
  // Printing with six decimals rounds; once rounded, a file reproduces itself.
  test::TempDir dir;
  auto original = randomFunction(12, false);
  writeFunctionFile(*original, dir.file("a"), nullptr);
  writeFunctionFile(*readFunctionFile(dir.file("a")), dir.file("b"), nullptr);
  writeFunctionFile(*readFunctionFile(dir.file("b")), dir.file("c"), nullptr);
  EXPECT_EQ(test::readFile(dir.file("b")), test::readFile(dir.file("c")));
  EXPECT_EQ(lines(test::readFile(dir.file("a"))).size(), lines(test::readFile(dir.file("b"))).size());
}

TEST(FunctionFileReader, KeepsOffsetBoxAndRecordFields) {
  test::TempDir dir;
  test::writeFile(dir.file("f"),
                  "-4 -4 -4\n4 4 4\n2\n-0.5\n"
                  "1 1 1 0 1 2 3 4 5 6 7 8 9 1.5 2\n"
                  "-1 -1 -1 0 0 0 0 0 0 0 0 0 -2 9 1\n");
  auto function = readFunctionFile(dir.file("f"));
  EXPECT_EQ(function->offset(), -0.5f);
  EXPECT_EQ(function->boxMin()[1], -4.0f);
  EXPECT_EQ(function->boxMax()[2], 4.0f);
  EXPECT_EQ(function->functionCount(), 2);
  const BasisFunction* wide = function->root().functions->function;
  EXPECT_EQ(wide->radius, 9.0f);
  EXPECT_EQ(wide->coeff[9], -2.0f);
  EXPECT_EQ(wide->level, 1);
}

TEST(FunctionFileReader, BadFilesAreRejectedWithFileAndLine) {
  test::TempDir dir;
  std::string path = dir.file("bad.fn");
  const std::string head = "-4 -4 -4\n4 4 4\n";
  const std::string rec = "1 1 1 0 1 2 3 4 5 6 7 8 9 1.5 2\n";
  struct Case {
    std::string text;
    std::initializer_list<std::string> parts;
  };
  const Case cases[] = {
      {"-4 -4 -4\n", {"bad.fn:2:", "unexpected end of file", "upper box corner"}},
      {head, {"bad.fn:3:", "unexpected end of file", "the number of basis functions"}},
      {head + "0\n", {"bad.fn:4:", "unexpected end of file", "the offset"}},
      {head + "-1\n0\n", {"bad.fn:3:", "negative basis function count -1"}},
      {head + "two\n0\n", {"bad.fn:3:", "malformed integer 'two'"}},
      {head + "100000\n0\n" + rec, {"bad.fn:3:", "count 100000 is larger than the file can hold"}},
      {head + "3\n0\n" + rec + rec + std::string(30, '\n'),
       {"bad.fn:37:", "unexpected end of file", "the centre x of basis function 2"}},
      {head + "1\n0\n" + rec + rec, {"bad.fn:6:", "unexpected text 1 after the last basis function",
                                      "expected exactly 1 basis functions"}},
      {head + "1\n0\n1 1 1 0 1 2 nan 4 5 6 7 8 9 1.5 2\n", {"bad.fn:5:", "non-finite", "coefficient 3 of basis function 0"}},
      {head + "1\n0\n1 1 1 0 1 2 3 4 5 6 7 8 9 0 2\n", {"bad.fn:5:", "radius 0.000000 of basis function 0", "positive"}},
      {head + "1\n0\n1 1 1 0 1 2 3 4 5 6 7 8 9 1 2.5\n", {"bad.fn:5:", "malformed integer '2.5'", "level"}},
      {"-4 -4 -4\n4 4 4x\n0\n0\n", {"bad.fn:2:", "malformed number '4x'"}},
  };
  for (const Case& c : cases) {
    test::writeFile(path, c.text);
    expectContainsAll(errorMessage([&] { readFunctionFile(path); }), c.parts);
  }
  expectContainsAll(errorMessage([&] { readFunctionFile(dir.file("none.fn")); }), {"none.fn", "cannot open"});
}

}  // namespace
}  // namespace wendfit
