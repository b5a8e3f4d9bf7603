// wendfit-mesh: extracts the zero level set of a fitted function as a
// triangle mesh. Parses the command line, calls the library and turns errors
// into messages and exit statuses (0 success, 1 failure, 2 usage).

#include <wendfit/tools.h>

#include <omp.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "driver/run.h"
#include "core/error.h"
#include "core/option_number.h"
#include "io/function_file_reader.h"
#include "driver/mesh_command.h"
#include "mesh/mesh_writer.h"
#include "api/tool_main.h"

namespace {

const char kUsage[] = "usage: wendfit-mesh FUNCTION_FILE MESH_FILE [options]\n";

std::string helpText() {
  return std::string(kUsage) +
         "Extracts the zero level set of the function in FUNCTION_FILE (a wendfit result\n"
         "file) as a watertight triangle mesh and writes it to MESH_FILE.\n"
         "Options:\n" +
         wendfit::meshOptionsHelp() +
         "  --like INPUT       write the mesh in the coordinates of INPUT, the points the\n"
         "                     function was fitted to (the fit rescales them to extent 20),\n"
         "                     and measure the mesh's distance from them (--quality).\n"
         "  --scale S          the same with the fit's scale factor S given directly.\n"
         "                     Without --like or --scale the mesh is in the result file's\n"
         "                     (rescaled) coordinates.\n"
         "  --threads N        worker threads (default: all cores); the mesh is the same.\n"
         "  --quiet            no summary line on standard error; errors are still shown.\n"
         "  --version          the version.\n"
         "  --help             this text.\n"
         "For a function fitted by wendfit, positive inside the object and negative\n"
         "outside it, the triangles face away from the object, and --normals point\n"
         "outward.\n";
}

struct ToolOptions {
  std::string functionPath;
  std::string meshPath;
  std::string likePath;
  double scale = 0.0;  // 0: not given
  int threads = 0;
  wendfit::MeshOptions mesh;
  bool help = false;
  bool version = false;
  bool quiet = false;
};

double parseScale(const std::string& text) {
  const std::optional<double> value = wendfit::parseFiniteArgument(text);
  if (!value || !(*value > 0.0)) {
    throw wendfit::MeshUsageError("--scale: \"" + text + "\" is not a positive number");
  }
  return *value;
}

ToolOptions parseArguments(const std::vector<std::string>& arguments) {
  ToolOptions options;
  std::vector<std::string> positional;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (int used = wendfit::parseMeshOption(arguments, i, options.mesh)) {
      i += used - 1;
      continue;
    }
    bool hasValue = i + 1 < arguments.size();
    if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--quiet") {
      options.quiet = true;
    } else if (argument == "--like" || argument == "--scale" || argument == "--threads") {
      if (!hasValue) throw wendfit::MeshUsageError(argument + " needs a value");
      const std::string& value = arguments[++i];
      if (argument == "--like") {
        options.likePath = value;
      } else if (argument == "--scale") {
        options.scale = parseScale(value);
      } else {
        const std::optional<long long> threads = wendfit::parseWholeArgument(value, 1, wendfit::kMaxThreads);
        if (!threads) {
          throw wendfit::MeshUsageError("--threads: \"" + value + "\" is not a whole number in 1 ... " +
                                        std::to_string(wendfit::kMaxThreads));
        }
        options.threads = static_cast<int>(*threads);
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      throw wendfit::MeshUsageError("unknown option " + argument);
    } else {
      positional.push_back(argument);
    }
  }
  if (options.help || options.version) return options;
  if (positional.size() != 2) throw wendfit::MeshUsageError("expected FUNCTION_FILE and MESH_FILE");
  if (!options.likePath.empty() && options.scale > 0.0) {
    throw wendfit::MeshUsageError("give --like or --scale, not both");
  }
  options.functionPath = positional[0];
  options.meshPath = positional[1];
  wendfit::MeshFormat format = wendfit::meshFormatFor(options.meshPath, options.mesh.ascii);  // an unknown extension is a usage error
  if (options.mesh.quality && options.likePath.empty()) {
    throw wendfit::MeshUsageError("--quality needs the input points: --like INPUT");
  }
  if (options.mesh.quality && format != wendfit::MeshFormat::BinaryPly && format != wendfit::MeshFormat::AsciiPly) {
    throw wendfit::MeshUsageError("--quality needs a .ply mesh, not " + options.meshPath);
  }
  if (options.mesh.curvature && format != wendfit::MeshFormat::BinaryPly && format != wendfit::MeshFormat::AsciiPly) {
    throw wendfit::MeshUsageError("--curvature needs a .ply mesh, not " + options.meshPath);
  }
  return options;
}

}  // namespace

int wendfit::runMeshTool(const std::vector<std::string>& commandLine) {
  ToolOptions options;
  const wendfit::ToolText text{"wendfit-mesh", helpText(), helpText(), "out of memory", &options.functionPath};
  auto parse = [&](const std::vector<std::string>& arguments) {
    options = parseArguments(arguments);
    return wendfit::requestedAction(options.help, options.version);
  };
  auto run = [&] {
    if (options.threads > 0) omp_set_num_threads(options.threads);
    if (isatty(fileno(stderr)) && !options.quiet) options.mesh.extraction.progress = stderr;
    options.mesh.toolName = "wendfit-mesh";
    std::unique_ptr<wendfit::ImplicitFunction> function = wendfit::readFunctionFile(options.functionPath);
    // With --like the input points also measure how far the mesh strays.
    wendfit::PointSet input;
    float likeScale = 1.0f;
    if (!options.likePath.empty()) input = wendfit::readFitPoints(options.likePath, &likeScale);
    options.mesh.inputScale = options.scale > 0.0 ? options.scale : likeScale;
    const wendfit::MeshSummary summary =
        wendfit::writeFunctionMesh(*function, options.meshPath, options.mesh, options.quiet ? nullptr : stderr,
                                   options.likePath.empty() ? nullptr : &input);
    const std::string advice = wendfit::coarseGridReason(options.mesh, summary);
    if (!options.quiet && !advice.empty()) std::fprintf(stderr, "wendfit-mesh: hint: %s\n", advice.c_str());
    return 0;
  };
  return wendfit::toolMain(text, commandLine, parse, run);
}
