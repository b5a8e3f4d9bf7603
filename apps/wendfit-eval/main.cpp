// wendfit-eval: evaluates a fitted function at query points. Parses the
// command line, reads the result file, answers the queries, reports errors.

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "function/point_queries.h"
#include "io/error.h"
#include "io/function_file_reader.h"

namespace {

constexpr int kStatusFailure = 1;
constexpr int kStatusUsage = 2;

const char* const kUsage = "usage: wendfit-eval FUNCTION_FILE [POINTS_FILE]\n";

const char* const kHelp =
    "usage: wendfit-eval FUNCTION_FILE [POINTS_FILE]\n"
    "\n"
    "Evaluates a function fitted by wendfit, read from its result file FUNCTION_FILE,\n"
    "at query points. POINTS_FILE (standard input when it is absent or \"-\") holds one\n"
    "point per line: three numbers x y z separated by spaces or tabs. Blank lines are\n"
    "skipped. Coordinates are those of the result file: wendfit scales its input about\n"
    "the origin so that the largest side of the points' box is 20, and the function\n"
    "lives in these scaled coordinates.\n"
    "\n"
    "For every point one line is printed on standard output:\n"
    "\n"
    "  value gx gy gz mean gaussian\n"
    "\n"
    "  value     the function value (single precision, printed with %.9g). Outside\n"
    "            the box given on the first two lines of FUNCTION_FILE it is the\n"
    "            offset of line 4; points on the box faces are inside.\n"
    "  gx gy gz  the gradient (single precision, %.9g); 0 0 0 outside the box.\n"
    "  mean      the mean curvature of the level set through the point (double\n"
    "            precision, %.17g).\n"
    "  gaussian  the Gaussian curvature of that level set (double precision, %.17g).\n"
    "\n"
    "Like the fitting, gradient and curvatures take the derivatives of the radial\n"
    "weight from (1-t)^4 (4t+1) rather than from the weight (1-t)^6 (35t^2+18t+3)\n"
    "that the values use. The gradient therefore differs somewhat from the slope of\n"
    "the values, and the curvatures more: they give the right signs and shapes, but\n"
    "on a fitted sphere of radius 10 the mean curvature comes out near 0.05, not 0.1.\n"
    "\n"
    "Every printed number reads back to exactly the computed value.\n"
    "\n"
    "Signs:\n"
    "  The function is about 0 on the fitted surface. For an oriented point file it\n"
    "  is positive on the side the file's normals point to and negative on the other\n"
    "  (outward normals: positive outside, negative inside). For a .ply2 mesh it is\n"
    "  the other way round: negative on the side from which the triangles' corners\n"
    "  run counter-clockwise.\n"
    "  The curvatures take the level set oriented towards increasing values: a\n"
    "  sphere of radius r with the larger values outside has mean curvature 1/r and\n"
    "  Gaussian curvature 1/r^2; with the larger values inside, -1/r and 1/r^2. A\n"
    "  plane gives 0 and 0.\n"
    "  The curvatures are evaluated everywhere, also outside the box, and leave out\n"
    "  a basis function centred exactly at the point. Where the summed gradient is\n"
    "  zero (for example beyond the reach of every basis function) the level set has\n"
    "  no curvature; both columns are then 0, never NaN.\n"
    "\n"
    "Exit status: 0 on success; 1 when a file cannot be read or a query line is\n"
    "malformed (\"wendfit: error: FILE:LINE: problem\" on standard error, after the\n"
    "answers to the lines before it); 2 for a usage error.\n";

int usageError(const std::string& problem) {
  std::fprintf(stderr, "wendfit-eval: %s\n%s", problem.c_str(), kUsage);
  std::fputs("Try 'wendfit-eval --help' for more information.\n", stderr);
  return kStatusUsage;
}

int failure(const std::string& message) {
  std::fflush(stdout);
  std::fprintf(stderr, "wendfit: error: %s\n", message.c_str());
  return kStatusFailure;
}

}  // namespace

int main(int argc, char** argv) {
  std::string functionPath;
  std::string pointsPath;
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg[0] == '-' && arg[1] != '\0') return usageError(std::string("unknown option ") + arg);
    if (positional == 0) functionPath = arg;
    if (positional == 1) pointsPath = arg;
    ++positional;
  }
  if (positional < 1) return usageError("missing FUNCTION_FILE");
  if (positional > 2) return usageError("too many arguments");

  try {
    const std::unique_ptr<wendfit::ImplicitFunction> function =
        wendfit::readFunctionFile(functionPath);
    if (pointsPath.empty() || pointsPath == "-") {
      std::ios::sync_with_stdio(false);
      wendfit::answerQueries(*function, std::cin, "<stdin>", stdout);
    } else {
      std::ifstream points(pointsPath);
      if (!points) {
        return failure(wendfit::fileMessage(pointsPath, "cannot open (expected a readable file "
                                                        "of query points)"));
      }
      wendfit::answerQueries(*function, points, pointsPath, stdout);
    }
  } catch (const wendfit::Error& error) {
    return failure(error.what());
  } catch (const std::exception& error) {
    return failure(functionPath + ": " + error.what());
  }
  if (std::fflush(stdout) != 0) return failure("cannot write the results to standard output");
  return 0;
}
