#include "driver/command_line.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "io/error.h"
#include "mesh/mesh_command.h"
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
      "  LEVELS          number of levels to fit (support radius 1.5 x the box\n"
      "                  diagonal at level 1, halved at every further level).\n"
      "  THRESHOLD       relative error threshold (times the box diagonal); 0 (the\n"
      "                  default) fits every centre, a positive value refits only\n"
      "                  where the function so far deviates from the data.\n"
      "  REGULARIZATION  added to the diagonal of every level's system; 0 (the\n"
      "                  default) interpolates the centres.\n"
      "\n"
      "Options (anywhere on the line; -- ends them):\n"
      "  --flip-normals  negate the normals of the input after reading, whatever\n"
      "                  its format (for files whose normals point the other way)\n"
      "  --sign-guard    keep the sign right off the surface (no pockets past tips)\n"
      "  --threads N     use N threads (N >= 1; default: OMP_NUM_THREADS, else\n"
      "                  every core); the result is the same for any N\n"
      "  --stats         report the time of every phase and the peak memory on\n"
      "                  standard error\n"
      "  --mesh FILE     after writing OUTPUT, extract the surface (the zero set)\n"
      "                  and write it to FILE (.ply binary by default, .obj, .off),\n"
      "                  in the input's own coordinates; it reports on standard\n"
      "                  error. Extraction options (with --mesh only):\n" +
      indentMeshHelp() +
      "  -h, --help      print this text and exit\n"
      "  --version       print the version and exit\n"
      "\n"
      "The input is rescaled so that the largest side of its box is 20; the result\n"
      "file is in those rescaled coordinates.\n"
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

int convertInt(const std::string& text) {
  errno = 0;
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

double convertFloat(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

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
    } else if (argument == "--sign-guard") {
      line.options.signGuard = true;
    } else if (argument == "--flip-normals") {
      line.options.flipNormals = true;
    } else if (argument == "--threads") {
      if (i + 1 >= arguments.size()) return usageError("--threads needs a number");
      const std::string& count = arguments[++i];
      char* end = nullptr;
      long threads = std::strtol(count.c_str(), &end, 10);
      if (count.empty() || *end != '\0' || threads < 1 || threads > 4096) {
        return usageError("--threads '" + count + "' is not a thread count (expected 1 or more)");
      }
      line.options.threads = static_cast<int>(threads);
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
  if (positional.size() < 3) {
    return usageError("expected INPUT OUTPUT LEVELS, got " + std::to_string(positional.size()) +
                      " argument" + (positional.size() == 1 ? "" : "s"));
  }
  if (positional.size() > 5) {
    return usageError("too many arguments: '" + positional[5] + "' after REGULARIZATION");
  }
  line.options.input = positional[0];
  line.options.output = positional[1];
  line.options.levels = convertInt(positional[2]);
  if (positional.size() > 3) line.options.errorThreshold = convertFloat(positional[3]);
  if (positional.size() > 4) line.options.regularization = convertFloat(positional[4]);
  // atof would turn "nan" or "inf" into a threshold no comparison can pass and
  // a regularization that poisons every constant; refuse them up front.
  if (!std::isfinite(line.options.errorThreshold)) {
    return usageError("THRESHOLD '" + positional[3] + "' is not a finite number");
  }
  if (!std::isfinite(line.options.regularization)) {
    return usageError("REGULARIZATION '" + positional[4] + "' is not a finite number");
  }
  line.action = CommandLine::Action::Run;
  return line;
}

}  // namespace wendfit
