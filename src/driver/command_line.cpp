#include "driver/command_line.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "core/error.h"
#include "core/option_number.h"
#include "driver/mesh_command.h"
#include "mesh/mesh_writer.h"

namespace wendfit {

namespace {

// The extraction options' help, indented under --mesh.
std::string indentMeshHelp() {
  std::string help = meshOptionsHelp();
  std::string indented;
  size_t start = 0;
  while (start < help.size()) {
    size_t end = help.find('\n', start);
    if (end == std::string::npos) end = help.size();
    indented += "    " + help.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return indented;
}

}  // namespace

std::string usageText() {
  return std::string() +
      "usage: wendfit [options] INPUT OUTPUT LEVELS [THRESHOLD [REGULARIZATION]]\n"
      "\n"
      "Fits an implicit function to oriented surface points, level by level from\n"
      "coarse to fine, and writes it to OUTPUT as a basis function file.\n"
      "\n"
      "  INPUT           oriented points or a polygon mesh; the reader is chosen so:\n"
      "                    a name containing \".ply2\": a .ply2 mesh (vertex count,\n"
      "                      face count, vertices, faces \"k i0 i1 i2 ...\");\n"
      "                    a file whose first line is \"ply\" (or a .ply name): PLY,\n"
      "                      ascii, binary_little_endian or binary_big_endian; vertex\n"
      "                      properties x y z and, when present, nx ny nz, in any\n"
      "                      order and scalar type; other properties and elements\n"
      "                      are skipped; without normals a face element\n"
      "                      (vertex_indices) makes it a mesh;\n"
      "                    .xyz, .xyzn, .pwn, .npts: one point per line,\n"
      "                      \"x y z nx ny nz\" (further columns ignored, '#' lines\n"
      "                      skipped);\n"
      "                    .off, .obj: polygon meshes (OBJ faces as a, a/b, a/b/c\n"
      "                      or a//c, negative indices allowed); an OBJ of v and vn\n"
      "                      lines alone is a point cloud (i-th vn for i-th v);\n"
      "                    .stl: a binary STL mesh (corners with equal bits are\n"
      "                      one vertex);\n"
      "                    any other name: the point file format: the point count,\n"
      "                      then all positions x y z, then all normals nx ny nz,\n"
      "                      separated by white space.\n"
      "                  Mesh vertex normals are estimated from the faces (area\n"
      "                  weighted; counter-clockwise seen from outside = outward).\n"
      "                  Normals point outward in every format except the point\n"
      "                  file format, whose normals point into the object. Points\n"
      "                  without normals are refused: normals are required.\n"
      "  OUTPUT          the basis function file to write: the box corners, the\n"
      "                  number of basis functions, the offset, then one line per\n"
      "                  basis function (centre, ten quadric coefficients, support\n"
      "                  radius, level).\n"
      "  LEVELS          number of levels to fit, 1 to " + std::to_string(maxFitLevels()) +
      " (support radius 1.5 x\n"
      "                  the box diagonal at level 1, halved at every further\n"
      "                  level; more levels would write radii below the 0.000001\n"
      "                  that the result file's six decimals hold).\n"
      "  THRESHOLD       relative error threshold (times the box diagonal), 0 or\n"
      "                  more; 0 (the default) fits every centre, a positive value\n"
      "                  refits only where the function so far deviates from the\n"
      "                  data.\n"
      "  REGULARIZATION  added to the diagonal of every level's system, 0 or more;\n"
      "                  0 (the default) interpolates the centres.\n"
      "\n"
      "Options (anywhere on the line; -- ends them):\n"
      "  --flip-normals  negate the normals of the input after reading, whatever\n"
      "                  its format (for files whose normals point the other way)\n"
      "  --sign-guard    keep the sign right off the surface (no pockets past tips);\n"
      "                  REGULARIZATION, when not given, is then 1 but 0 at the two\n"
      "                  finest levels\n"
      "  --quick-terms   evaluate in single precision in the fit and the mesh (faster)\n"
      "  --sparse-centres  half as many centres per support, on cells sqrt(2) wider\n"
      "                  (the same radii): about a third faster on dense scans\n"
      "  --noise auto|SIGMA  fit noisy data within its noise (auto: measure SIGMA)\n"
      "  --threads N     use N threads (1 to 1024; default: OMP_NUM_THREADS, else\n"
      "                  every core); the result is the same for any N\n"
      "  --solver NAME   bicg (default) is the designed method; schwarz reaches the\n"
      "                  same stopping test in tens of iterations, on the matrix\n"
      "                  in single precision (a fifth less peak memory; its\n"
      "                  constants differ from bicg's within that test)\n"
      "  --stats         report the time of every phase and the peak memory on\n"
      "                  standard error\n"
      "  --quiet         print no transcript and no solver progress (nor the\n"
      "                  --mesh summary); errors still go to standard error\n"
      "  --mesh FILE     after writing OUTPUT, extract the surface (the zero set)\n"
      "                  and write it to FILE (.ply binary by default, .obj, .off, .stl),\n"
      "                  in the input's own coordinates; it reports on standard\n"
      "                  error. Extraction options (with --mesh only):\n" +
      indentMeshHelp() +
      "  -h, --help      print this text and exit\n"
      "  --version       print the version and exit\n"
      "\n"
      "The input is rescaled so that the largest side of its box is 20; the result\n"
      "file is in those rescaled coordinates.\n"
      "\n"
      "The fitted function is about 0 on the surface, positive inside the object\n"
      "and negative outside it: negative on the side the outward normals point to\n"
      "(see INPUT for how each format orients them; --flip-normals swaps inside\n"
      "and outside). Beyond the box in OUTPUT it is the offset, 0.\n"
      "\n"
      "Examples:\n"
      "  wendfit examples/torus.pts torus.fn 8\n"
      "  wendfit scan.ply scan.fn 9 0.001          (PLY point cloud with normals)\n"
      "  wendfit bunny.obj bunny.fn 8 --flip-normals\n"
      "  wendfit --threads 2 mesh.off mesh.fn 7 0 0.0001\n"
      "\n"
      "Exit status: 0 success, 1 failure (bad input, numerical failure, unwritable\n"
      "output), 2 usage error.\n";
}

namespace {

bool isOption(const std::string& argument) {
  if (argument.size() < 2 || argument[0] != '-') return false;
  // Negative numbers ("-1", "-.5") are positional values, not options.
  char next = argument[1];
  return !(next == '.' || (next >= '0' && next <= '9'));
}

CommandLine usageError(const std::string& problem) {
  CommandLine line;
  line.action = CommandLine::Action::UsageError;
  line.problem = problem;
  return line;
}

// Converts and checks LEVELS, THRESHOLD and REGULARIZATION into `options`;
// returns the problem, or "" when they are all right.
std::string convertNumbers(const std::vector<std::string>& positional, RunOptions& options) {
  const std::string& levels = positional[2];
  const int maxLevels = maxFitLevels();
  const std::string range = "1 to " + std::to_string(maxLevels);
  const std::optional<long long> levelCount = parseWholeArgument(levels, LLONG_MIN, LLONG_MAX);
  if (!levelCount) {
    return "LEVELS '" + levels + "' is not a whole number (expected " + range + ")";
  }
  if (*levelCount < 1 || *levelCount > maxLevels) {
    return "LEVELS '" + levels + "' is out of range (expected " + range + "; at level " +
           std::to_string(maxLevels + 1) +
           " the support radius would fall below 0.000001, the smallest the result file's six "
           "decimals hold)";
  }
  options.levels = static_cast<int>(*levelCount);
  const char* const names[2] = {"THRESHOLD", "REGULARIZATION"};
  double* const values[2] = {&options.errorThreshold, &options.regularization};
  options.thresholdGiven = positional.size() > 3;
  options.regularizationGiven = positional.size() > 4;
  for (size_t k = 0; k < 2 && 3 + k < positional.size(); ++k) {
    const std::string& text = positional[3 + k];
    const std::optional<double> value = parseFiniteArgument(text);
    if (!value) {
      return std::string(names[k]) + " '" + text + "' is not a finite number (expected a decimal number such as 0.001)";
    }
    *values[k] = *value;
    // A negative regularization makes the systems indefinite, and the solver
    // then produces a function that breaks into pieces.
    if (*values[k] < 0.0) return std::string(names[k]) + " '" + text + "' is negative (expected 0 or more)";
  }
  return "";
}

}  // namespace

CommandLine parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine line;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  std::string meshOptionSeen;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || !isOption(argument)) {
      positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "-h" || argument == "--help") {
      line.action = CommandLine::Action::Help;
      return line;
    } else if (argument == "--version") {
      line.action = CommandLine::Action::Version;
      return line;
    } else if (argument == "--stats") {
      line.options.stats = true;
    } else if (argument == "--quiet") {
      line.options.quiet = true;
    } else if (argument == "--sign-guard") {
      line.options.signGuard = true;
    } else if (argument == "--sparse-centres") {
      useSparseCentres(line.options);
    } else if (argument == "--quick-terms") {
      line.options.quickTerms = true;
      line.options.mesh.extraction.quickTerms = true;
    } else if (argument == "--noise") {
      if (i + 1 >= arguments.size()) return usageError("--noise needs auto or a noise level");
      const std::string& level = arguments[++i];
      line.options.noise = true;
      if (level != "auto") {
        const std::optional<double> sigma = parseFiniteArgument(level);
        if (!sigma || *sigma < 0) {
          return usageError("--noise '" + level +
                            "' is not a noise level (expected auto, or 0 or more in the input's units)");
        }
        line.options.noiseSigma = *sigma;
      }
    } else if (argument == "--flip-normals") {
      line.options.flipNormals = true;
    } else if (argument == "--threads") {
      if (i + 1 >= arguments.size()) return usageError("--threads needs a number");
      const std::string& count = arguments[++i];
      const std::optional<long long> threads = parseWholeArgument(count, 1, kMaxThreads);
      if (!threads) {
        return usageError("--threads '" + count + "' is not a thread count (expected 1 to " +
                          std::to_string(kMaxThreads) + ")");
      }
      line.options.threads = static_cast<int>(*threads);
    } else if (argument == "--solver") {
      if (i + 1 >= arguments.size()) return usageError("--solver needs bicg or schwarz");
      const std::string& name = arguments[++i];
      if (name == "bicg") {
        line.options.solver = SolverKind::Bicg;
      } else if (name == "schwarz") {
        line.options.solver = SolverKind::Schwarz;
      } else {
        return usageError("--solver '" + name + "' is not a solver (expected bicg or schwarz)");
      }
    } else if (argument == "--mesh") {
      if (i + 1 >= arguments.size()) return usageError("--mesh needs a mesh file name");
      line.options.meshPath = arguments[++i];
      try {
        meshFormatFor(line.options.meshPath, false);
      } catch (const Error& error) {
        return usageError(error.what());
      }
    } else {
      size_t used = 0;
      try {
        used = parseMeshOption(arguments, i, line.options.mesh);
      } catch (const Error& error) {
        return usageError(error.what());
      }
      if (used == 0) return usageError("unknown option '" + argument + "'");
      meshOptionSeen = argument;
      i += used - 1;
    }
  }
  if (!meshOptionSeen.empty() && line.options.meshPath.empty()) {
    return usageError(meshOptionSeen + " shapes the extracted mesh and needs --mesh FILE");
  }
  if (line.options.mesh.quality || line.options.mesh.curvature) {
    try {
      if (meshFormatFor(line.options.meshPath, false) != MeshFormat::BinaryPly) {
        return usageError(std::string(line.options.mesh.quality ? "--quality" : "--curvature") +
                          " needs a .ply mesh, not " + line.options.meshPath);
      }
    } catch (const Error& error) {
      return usageError(error.what());
    }
  }
  if (positional.size() < 3) {
    return usageError("expected INPUT OUTPUT LEVELS, got " + std::to_string(positional.size()) +
                      " argument" + (positional.size() == 1 ? "" : "s"));
  }
  if (positional.size() > 5) {
    return usageError("too many arguments: '" + positional[5] + "' after REGULARIZATION");
  }
  line.options.input = positional[0];
  line.options.output = positional[1];
  const std::string problem = convertNumbers(positional, line.options);
  if (!problem.empty()) return usageError(problem);
  line.action = CommandLine::Action::Run;
  return line;
}

}  // namespace wendfit
