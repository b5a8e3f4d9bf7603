#include "core/text_scanner.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <string>

#include "support/error_checks.h"

namespace wendfit {
namespace {

using test::errorMessage;
using test::expectContainsAll;

int intOf(const std::string& text) {
  TextScanner scanner(text, "t");
  return scanner.readInt("an integer");
}

float floatOf(const std::string& text) {
  TextScanner scanner(text, "t");
  return scanner.readFloat("a number");
}

TEST(TextScanner, IntegersTakeSignAndBasePrefix) {
  EXPECT_EQ(intOf("42"), 42);
  EXPECT_EQ(intOf("+42"), 42);
  EXPECT_EQ(intOf("-42"), -42);
  EXPECT_EQ(intOf("010"), 8);
  EXPECT_EQ(intOf("-010"), -8);
  EXPECT_EQ(intOf("0"), 0);
  EXPECT_EQ(intOf("0x1F"), 31);
  EXPECT_EQ(intOf("0XfF"), 255);
  EXPECT_EQ(intOf("-0x10"), -16);
  EXPECT_EQ(intOf("2147483647"), 2147483647);
  EXPECT_EQ(intOf("-2147483648"), -2147483647 - 1);
  EXPECT_EQ(intOf("000000000000000000000000000000017"), 15);  // long octal
}

TEST(TextScanner, MalformedAndOversizedIntegersAreRejected) {
  for (const char* bad : {"08", "0x", "12a", "1.5", "--1", "+", "0x1g", "abc"}) {
    std::string message = errorMessage([&] { intOf(bad); });
    expectContainsAll(message, {"t:1:", "malformed integer", "expected an integer"});
  }
  for (const char* big : {"2147483648", "-2147483649", "0x100000000", "99999999999999999999999"}) {
    std::string message = errorMessage([&] { intOf(big); });
    expectContainsAll(message, {"t:1:", "out of range"});
  }
}

TEST(TextScanner, FloatsAcceptTheDesignedSyntax) {
  EXPECT_EQ(floatOf("1.5"), 1.5f);
  EXPECT_EQ(floatOf("+2"), 2.0f);
  EXPECT_EQ(floatOf("-.25"), -0.25f);
  EXPECT_EQ(floatOf("5."), 5.0f);
  EXPECT_EQ(floatOf("1e3"), 1000.0f);
  EXPECT_EQ(floatOf("2.5E-2"), 0.025f);
  EXPECT_EQ(floatOf("-7e+1"), -70.0f);
  EXPECT_EQ(floatOf("0.1"), 0.1f);
  EXPECT_TRUE(std::signbit(floatOf("-0.0")));
  EXPECT_EQ(floatOf("0e-999"), 0.0f);
}

TEST(TextScanner, FloatsRoundOnceToTheNearestFloat) {
  // Just above the midpoint between 1 and the next float: the nearest float
  // is the upper one, while rounding through double would land on the
  // midpoint and then tie to 1.
  EXPECT_EQ(floatOf("1.0000000596046447753906251"), 1.00000012f);
  // Numbers far longer than 19 characters.
  EXPECT_EQ(floatOf("3.14159265358979323846264338327950288419716939937510"), 3.14159265f);
  EXPECT_EQ(floatOf("00000000000000000000000000000000000000001.25"), 1.25f);
  EXPECT_EQ(floatOf("123456789012345678901234567890"), 123456789012345678901234567890.0f);
}

TEST(TextScanner, FloatsOutsideTheNormalRangeAreClamped) {
  EXPECT_EQ(floatOf("1e39"), FLT_MAX);
  EXPECT_EQ(floatOf("-1e39"), -FLT_MAX);
  EXPECT_EQ(floatOf("1e99999999999999999999"), FLT_MAX);
  EXPECT_EQ(floatOf("1e-40"), FLT_MIN);    // subnormal range
  EXPECT_EQ(floatOf("-1e-50"), -FLT_MIN);  // below the subnormals
  EXPECT_EQ(floatOf("1e-99999999999999999999"), FLT_MIN);
  EXPECT_EQ(floatOf("3.4028234e38"), FLT_MAX);
}

TEST(TextScanner, NonFiniteAndMalformedFloatsAreErrorsWithLine) {
  for (const char* bad : {"nan", "-inf", "Infinity", "NAN"}) {
    std::string message = errorMessage([&] { floatOf(std::string("\n\n ") + bad); });
    expectContainsAll(message, {"t:3:", "non-finite number", bad, "(expected a number)"});
  }
  for (const char* bad : {"1.2.3", "e5", "1e", "1e+", ".", "-", "0x1p3", "1,5", "1.5f", "12abc"}) {
    std::string message = errorMessage([&] { floatOf(bad); });
    expectContainsAll(message, {"t:1:", "malformed number", bad});
  }
}

TEST(TextScanner, EndOfTextIsAnErrorNamingWhatWasExpected) {
  TextScanner scanner("1 2\n3\n\n", "points.txt");
  EXPECT_EQ(scanner.readInt("a"), 1);
  EXPECT_EQ(scanner.readFloat("b"), 2.0f);
  EXPECT_EQ(scanner.readFloat("c"), 3.0f);
  std::string message = errorMessage([&] { scanner.readFloat("the y coordinate of point", 7); });
  expectContainsAll(message, {"points.txt:4: unexpected end of file (expected the y coordinate of point 7)"});
  EXPECT_TRUE(scanner.atEnd());
}

TEST(TextScanner, TracksLinesAndOffersTokensAndLines) {
  TextScanner scanner("ply\r\nformat ascii 1.0\n  element vertex 3\n", "m");
  EXPECT_EQ(scanner.peekToken(), "ply");
  EXPECT_EQ(scanner.readLine(), "ply");
  EXPECT_EQ(scanner.line(), 2);
  EXPECT_EQ(scanner.readToken(), "format");
  EXPECT_EQ(scanner.readLine(), " ascii 1.0");
  EXPECT_EQ(scanner.readToken(), "element");
  EXPECT_EQ(scanner.line(), 3);
  EXPECT_EQ(scanner.readToken(), "vertex");
  EXPECT_EQ(scanner.readInt("the vertex count"), 3);
  EXPECT_TRUE(scanner.atEnd());
  EXPECT_EQ(scanner.readToken(), "");
  EXPECT_EQ(scanner.line(), 4);
}

TEST(TextScanner, MissingFileIsAnError) {
  std::string message = errorMessage([] { TextScanner::fromFile("/nonexistent/dir/file.txt"); });
  expectContainsAll(message, {"/nonexistent/dir/file.txt", "cannot open"});
}

}  // namespace
}  // namespace wendfit
