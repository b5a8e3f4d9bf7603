// wendfit-eval: evaluates a fitted function at query points. Parses the
// command line, reads the result file, answers the queries, reports errors.

#include <wendfit/tools.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver/run.h"
#include "io/point_queries.h"
#include "core/error.h"
#include "core/option_number.h"
#include "api/tool_main.h"
#include "io/function_file_reader.h"

namespace {

const char* const kHelp =
    "usage: wendfit-eval [options] FUNCTION_FILE [POINTS_FILE]\n"
    "\n"
    "Evaluates a function fitted by wendfit, read from its result file FUNCTION_FILE,\n"
    "at query points. POINTS_FILE (standard input when it is absent or \"-\") holds one\n"
    "point per line: three numbers x y z separated by spaces or tabs. Blank lines are\n"
    "skipped. Coordinates are those of the result file: wendfit scales its input about\n"
    "the origin so that the largest side of the points' box is 20, and the function\n"
    "lives in these scaled coordinates. With --like or --scale they are the input's.\n"
    "\n"
    "For every point one line is printed on standard output:\n"
    "\n"
    "  value gx gy gz mean gaussian\n"
    "\n"
    "  value     the function value (single precision, printed with %.9g). Outside\n"
    "            the box given on the first two lines of FUNCTION_FILE it is the\n"
    "            offset of line 4; points on the box faces are inside.\n"
    "  gx gy gz  the gradient (computed in double precision, printed rounded to\n"
    "            single precision with %.9g); 0 0 0 outside the box.\n"
    "  mean      the mean curvature of the level set through the point (double\n"
    "            precision, %.17g).\n"
    "  gaussian  the Gaussian curvature of that level set (double precision, %.17g).\n"
    "\n"
    "Gradient and curvatures are the exact derivatives of the value, a sum of\n"
    "quadrics times the weight (1-t)^6 (35t^2+18t+3): on a fitted sphere of radius\n"
    "10 the mean curvature is close to -0.1 and the Gaussian curvature to 0.01.\n"
    "\n"
    "Every printed number reads back exactly: value and gradient as the floats\n"
    "shown, the other columns as the doubles computed.\n"
    "\n"
    "Options:\n"
    "  --like INPUT  query points are in the coordinates of INPUT, the points the\n"
    "                function was fitted to; each is multiplied by the fit's scale\n"
    "                factor (20 over the largest side of INPUT's box) as the fit\n"
    "                multiplied INPUT's points.\n"
    "  --scale S     the same with the scale factor S given directly.\n"
    "                With either, the answers are those of the function of the\n"
    "                input's coordinates: the value as it is, the gradient\n"
    "                multiplied by the scale factor, the mean and principal\n"
    "                curvatures by it and the Gaussian curvature by its square\n"
    "                (per input unit).\n"
    "  --principal   append the principal curvatures and their directions:\n"
    "                k1 k2 d1x d1y d1z d2x d2y d2z (double precision, %.17g), with\n"
    "                k1 >= k2, (k1 + k2) / 2 = mean and k1 k2 = gaussian; d1 and d2\n"
    "                are unit tangents, and d1, d2 and the gradient are right-handed.\n"
    "  --designed-derivatives\n"
    "                gradient and curvatures as the fit uses them: from the\n"
    "                derivatives of (1-t)^4 (4t+1) instead of the weight's. They\n"
    "                differ from the slope of the values, and the curvatures come\n"
    "                out about half the true ones (near -0.047 on a fitted sphere\n"
    "                of radius 10); they are evaluated outside the box too and\n"
    "                leave out a basis function centred exactly at the point. Not\n"
    "                with --principal.\n"
    "  --version     print the version and exit.\n"
    "  -h, --help    print this text and exit.\n"
    "\n"
    "Signs:\n"
    "  The function is about 0 on the fitted surface, positive inside the object\n"
    "  and negative outside it: negative on the side the outward normals point to.\n"
    "  wendfit reads the normals of .ply, .xyz, .off, .obj and .ply2 inputs as\n"
    "  pointing outward (for meshes: the side from which the triangles' corners run\n"
    "  counter-clockwise), those of its own point file format as pointing into the\n"
    "  object; --flip-normals swaps inside and outside.\n"
    "  The curvatures take the level set oriented towards increasing values: a\n"
    "  sphere of radius r with the larger values outside has mean curvature 1/r and\n"
    "  Gaussian curvature 1/r^2; with the larger values inside, as on a fitted\n"
    "  closed surface, -1/r and 1/r^2. A plane gives 0 and 0.\n"
    "  Where the gradient is zero (outside the box, or beyond the reach of every\n"
    "  basis function) the level set has no curvature; those columns are then 0,\n"
    "  never NaN.\n"
    "\n"
    "Exit status: 0 on success; 1 when a file cannot be read or a query line is\n"
    "malformed (\"wendfit-eval: error: FILE:LINE: problem\" on standard error, after\n"
    "the answers to the lines before it); 2 for a usage error.\n";

struct ToolOptions {
  wendfit::ToolAction action = wendfit::ToolAction::Run;
  std::string functionPath;
  std::string pointsPath;
  std::string likePath;
  double scale = 0.0;  // 0: not given
  wendfit::QueryOptions query;
};

// Throws wendfit::Error with the problem of a bad command line.
ToolOptions parseArguments(const std::vector<std::string>& arguments) {
  ToolOptions options;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      positional.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h") {
      options.action = wendfit::ToolAction::Help;
      return options;
    } else if (argument == "--version") {
      options.action = wendfit::ToolAction::Version;
      return options;
    } else if (argument == "--principal") {
      options.query.principal = true;
    } else if (argument == "--designed-derivatives") {
      options.query.designedDerivatives = true;
    } else if (argument == "--like" || argument == "--scale") {
      if (i + 1 >= arguments.size()) throw wendfit::Error(argument + " needs a value");
      const std::string& value = arguments[++i];
      if (argument == "--like") {
        options.likePath = value;
        continue;
      }
      const std::optional<double> scale = wendfit::parseFiniteArgument(value);
      if (!scale || !(*scale > 0.0)) throw wendfit::Error("--scale '" + value + "' is not a positive number");
      options.scale = *scale;
    } else {
      throw wendfit::Error("unknown option '" + argument + "'");
    }
  }
  if (positional.empty()) throw wendfit::Error("expected FUNCTION_FILE [POINTS_FILE], got no arguments");
  if (positional.size() > 2) throw wendfit::Error("too many arguments: '" + positional[2] + "' after POINTS_FILE");
  if (!options.likePath.empty() && options.scale > 0.0) throw wendfit::Error("give --like or --scale, not both");
  if (options.query.principal && options.query.designedDerivatives) {
    throw wendfit::Error("give --principal or --designed-derivatives, not both");
  }
  options.functionPath = positional[0];
  if (positional.size() > 1) options.pointsPath = positional[1];
  return options;
}

// The answer for a query given in the input's coordinates: the point scaled
// as the fit scaled the input (a float product), the derivatives taken with
// respect to the input's coordinates.
wendfit::QueryResult inputQuery(const wendfit::ImplicitFunction& function, const float point[3], float scale,
                                const wendfit::QueryOptions& options) {
  wendfit::QueryResult result =
      evaluateQuery(function, scale * point[0], scale * point[1], scale * point[2], options);
  for (float& component : result.gradient) component = static_cast<float>(double{component} * scale);
  result.mean *= scale;
  result.gaussian *= double{scale} * scale;
  result.k1 *= scale;
  result.k2 *= scale;
  return result;
}

// answerQueries, for points in the input's coordinates.
void answerInputQueries(const wendfit::ImplicitFunction& function, std::istream& in, const std::string& name,
                        float scale, const wendfit::QueryOptions& options) {
  std::string text;
  long lineNumber = 0;
  while (std::getline(in, text)) {
    float point[3];
    if (!wendfit::parseQueryLine(text, name, ++lineNumber, point)) continue;
    wendfit::writeQueryResult(stdout, inputQuery(function, point, scale, options), options);
  }
  if (in.bad()) throw wendfit::Error(wendfit::fileMessage(name, lineNumber + 1, "read error"));
}

void answer(const wendfit::ImplicitFunction& function, std::istream& in, const std::string& name, float scale,
            const wendfit::QueryOptions& options) {
  if (scale == 1.0f) {
    wendfit::answerQueries(function, in, name, stdout, options);
  } else {
    answerInputQueries(function, in, name, scale, options);
  }
}

}  // namespace

int wendfit::runEvalTool(const std::vector<std::string>& commandLine) {
  ToolOptions options;
  const wendfit::ToolText text{"wendfit-eval", kHelp, kHelp, "out of memory", &options.functionPath};
  auto parse = [&](const std::vector<std::string>& arguments) {
    options = parseArguments(arguments);
    return options.action;
  };
  auto run = [&] {
    try {
      const std::unique_ptr<wendfit::ImplicitFunction> function =
          wendfit::readFunctionFile(options.functionPath);
      // The fit multiplied its points by a float factor; queries are scaled by
      // the same float.
      const float scale = options.scale > 0.0            ? static_cast<float>(options.scale)
                          : options.likePath.empty() ? 1.0f
                                                     : wendfit::fitScale(options.likePath);
      if (options.pointsPath.empty() || options.pointsPath == "-") {
        std::ios::sync_with_stdio(false);
        answer(*function, std::cin, "<stdin>", scale, options.query);
      } else {
        std::ifstream points(options.pointsPath);
        if (!points) {
          throw wendfit::Error(wendfit::fileMessage(options.pointsPath, "cannot open (expected a readable file "
                                                                        "of query points)"));
        }
        answer(*function, points, options.pointsPath, scale, options.query);
      }
    } catch (const wendfit::Error&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& error) {
      // A failure below the library's own checks: name the result file.
      throw wendfit::Error(options.functionPath + ": " + error.what());
    }
    if (std::fflush(stdout) != 0) throw wendfit::Error("cannot write the results to standard output");
    return 0;
  };
  return wendfit::toolMain(text, commandLine, parse, run);
}
