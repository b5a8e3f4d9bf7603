// wendfit-reconstruct: from a scan (oriented points) or a polygon mesh to a
// watertight triangle mesh in one command. Parses the command line, calls
// the library's reconstruct sequence and turns errors into messages and exit
// statuses (0 success, 1 failure, 2 usage).

#include <wendfit/tools.h>

#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/level_rule.h"
#include "driver/reconstruct.h"
#include "driver/run.h"
#include "core/error.h"
#include "fitting/sample_sides.h"
#include "mesh/face_sampling.h"
#include "driver/mesh_command.h"
#include "core/option_number.h"
#include "mesh/mesh_writer.h"
#include "api/tool_main.h"

namespace {

using wendfit::MeshUsageError;

const char kUsage[] = "usage: wendfit-reconstruct INPUT MESH [options]\n";

std::string helpText() {
  char rule[2400];
  std::snprintf(rule, sizeof rule,
                "Levels: the finest support radius is %.0f median sample spacings, the spacing\n"
                "  measured on up to 20,000 points (at most %d levels). Each level's centres\n"
                "  are one per cell of an octree over the points' box, a cell's diagonal\n"
                "  %.2f times less than the level's radius (wendfit and noisy data: 3,\n"
                "  twice the centres); the box is widened so that the finest radius is\n"
                "  exact: levels = the fewest whose finest cells are no wider than that.\n"
                "  Each halving of the spacing adds one level. The choice is printed;\n"
                "  --levels N overrides it (with wendfit's radii). The mesh's grid has %d\n"
                "  cells per finest support radius, cells of at least %.1f sample spacings\n"
                "  (%.1f noise sigmas on noisy data).\n"
                "Mesh inputs (.off, .obj, .ply with faces, .ply2, binary .stl) are sampled on\n"
                "  their faces, area-uniformly with the faces' normals, so that holes and\n"
                "  sharp edges of a coarse mesh survive: %.0f^2 x area / box diagonal^2\n"
                "  samples (about %.0f along the diagonal), at least the mesh's vertex\n"
                "  count; --samples N overrides it. A closed mesh whose surface comes out in\n"
                "  more pieces than the mesh has is sampled again, once, with twice the\n"
                "  points (a thin part the samples did not resolve). Their samples are exact,\n"
                "  and their sharp edges and thin walls keep a finest radius of about %.0f\n"
                "  spacings and %d cells per radius.\n"
                "  Faces that run against their neighbours are reversed first (and counted);\n"
                "  a closed part that had to change turns its faces outward.\n"
                "Stray points of a point input, with fewer than %d others within about %.0f\n"
                "  median sample spacings, are dropped before the fit and counted (unless\n"
                "  they are more than %.0f %% of the points, a sparse part of the data; then\n"
                "  --drop-isolated drops them); --keep-isolated keeps them.\n"
                "Normals that point into the surface (enclosing a negative volume: the sum\n"
                "  of (point - centroid) . normal below -%.1f of its terms' sizes) are\n"
                "  reversed first, and said so. Normals of random sign (on average more than\n"
                "  %.0f %% of a point's neighbours facing the other way) are an error.\n",
                wendfit::kReconstructRadiusSpacings, wendfit::maxFitLevels(), wendfit::kReconstructRadiusPerCell,
                wendfit::kMeshCellsPerRadius, wendfit::kMeshCellSpacings, wendfit::kNoiseCellSigmas,
                wendfit::kSamplesAcrossDiagonal, wendfit::kSamplesAcrossDiagonal, wendfit::kFinestRadiusSpacings,
                wendfit::kDefaultCellsPerRadius, wendfit::kIsolationNeighbours,
                wendfit::kIsolationSpacings, 100.0 * wendfit::kMostIsolatedShare, wendfit::kInwardShare,
                100.0 * wendfit::kMostOpposedShare);
  return std::string(kUsage) +
         "Fits an implicit function to INPUT, oriented points (PLY, .xyz/.xyzn/.pwn/.npts,\n"
         "OBJ, the point file format) or a polygon mesh, and writes its zero set to MESH\n"
         "as a watertight triangle mesh in INPUT's coordinates: .ply (binary; --ascii),\n"
         ".obj, .off or .stl (binary). See `wendfit --help` for the input formats.\n" +
         rule +
         "Options:\n"
         "  --levels N         fit N levels instead of the number chosen from the data.\n"
         "  --samples N        points to sample on a mesh input's faces.\n"
         "  --seed N           seed of the face sampling (default 1).\n"
         "  --function FILE    also write the fitted function (a wendfit result file).\n"
         "  --solver NAME      schwarz (default) or bicg; the same stopping test.\n"
         "  --no-sign-guard    do not probe each level for wrong signs off the surface.\n"
         "  --full-terms       evaluate the function in double precision (slower); by default\n"
         "                     the fit and the mesh take --quick-terms.\n"
         "  --noise auto|SIGMA position noise of the input, in its units (default auto:\n"
         "                     measured); noisy data get THRESHOLD 2 SIGMA, smoothing and\n"
         "                     no level finer than the noise; 0: the data are exact.\n"
         "                     Exact data get REGULARIZATION 1, which damps overshoot\n"
         "                     at sharp and thin features.\n"
         "  --allow-open       write the mesh even when it is not watertight.\n"
         "  --keep-isolated    fit stray points too (see above).\n"
         "  --drop-isolated    drop stray points however many they are (the outliers of\n"
         "                     a poor scan; see above).\n"
         "  --keep-unsupported keep pieces of the surface that are the nearest surface of\n"
         "                     fewer than 8 input points, or whose vertices lie more\n"
         "                     than 4 sample spacings from the points at their median\n"
         "                     (by default they are dropped: pockets, sheets and\n"
         "                     bubbles off the data, e.g. at sharp edges, and the wide\n"
         "                     pieces a cluster of floating points grows).\n"
         "  --keep-small       keep small closed pieces: pockets of outside inside the\n"
         "                     surface smaller than a ball of the finest support radius,\n"
         "                     and solids smaller than a ball of one sample spacing, and\n"
         "                     closed pieces whose inside the points' winding number calls\n"
         "                     outside, or whose outside it calls inside (by default they\n"
         "                     are dropped: where a scan runs through itself).\n"
         "  --threads N        worker threads (default: OMP_NUM_THREADS, else all cores);\n"
         "                     the mesh is the same for any N.\n"
         "  --quiet            no progress and no summary; errors are still shown.\n"
         "  --version          the version.\n"
         "  --help             this text.\n"
         "Extraction options:\n" +
         wendfit::meshOptionsHelp(wendfit::kMeshCellsPerRadius) +
         "The watertight check is on by default: a mesh with boundary or non-manifold\n"
         "edges is an error (status 1) and is not written; so is a fit with no surface,\n"
         "with the likely cause.\n"
         "Progress and the summary (time, vertices, triangles, watertight, largest\n"
         "distance of a vertex from the data) go to standard error.\n"
         "Exit status: 0 success, 1 failure (bad input, unwritable output, a mesh that\n"
         "is not watertight or empty), 2 usage error.\n";
}

struct ToolOptions {
  wendfit::ReconstructOptions run;
  bool help = false;
  bool version = false;
  bool quiet = false;
};

long parseWhole(const std::string& option, const std::string& text, long low, long high) {
  const std::optional<long long> value = wendfit::parseWholeArgument(text, low, high);
  if (!value) {
    throw MeshUsageError(option + ": \"" + text + "\" is not a whole number in " + std::to_string(low) + " ... " +
                         std::to_string(high));
  }
  return static_cast<long>(*value);
}

ToolOptions parseArguments(const std::vector<std::string>& arguments) {
  ToolOptions options;
  wendfit::ReconstructOptions& run = options.run;
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      positional.push_back(argument);
      continue;
    }
    if (int used = wendfit::parseMeshOption(arguments, i, run.mesh)) {
      i += used - 1;
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--version") {
      options.version = true;
    } else if (argument == "--quiet") {
      options.quiet = true;
    } else if (argument == "--no-sign-guard") {
      run.signGuard = false;
    } else if (argument == "--full-terms") {
      run.quickTerms = false;
    } else if (argument == "--keep-isolated") {
      run.dropIsolated = false;
    } else if (argument == "--drop-isolated") {
      run.dropAllIsolated = true;
    } else if (argument == "--keep-unsupported") {
      run.mesh.dropUnsupported = false;
    } else if (argument == "--keep-small") {
      run.mesh.dropSmallPieces = false;
    } else if (argument == "--allow-open") {
      run.mesh.requireWatertight = false;
    } else if (argument == "--levels" || argument == "--samples" || argument == "--seed" ||
               argument == "--threads" || argument == "--function" || argument == "--solver" ||
               argument == "--noise") {
      if (i + 1 >= arguments.size()) throw MeshUsageError(argument + " needs a value");
      const std::string& value = arguments[++i];
      if (argument == "--levels") {
        run.levels = static_cast<int>(parseWhole(argument, value, 1, wendfit::maxFitLevels()));
      } else if (argument == "--samples") {
        run.samples = parseWhole(argument, value, 1, INT32_MAX);
      } else if (argument == "--seed") {
        run.seed = static_cast<uint64_t>(parseWhole(argument, value, 0, INT32_MAX));
      } else if (argument == "--threads") {
        run.threads = static_cast<int>(parseWhole(argument, value, 1, wendfit::kMaxThreads));
      } else if (argument == "--noise") {
        const std::optional<double> sigma = value == "auto" ? std::optional<double>(-1.0)
                                                            : wendfit::parseFiniteArgument(value);
        if (!sigma || (value != "auto" && *sigma < 0)) {
          throw MeshUsageError("--noise: \"" + value + "\" is not a noise level (expected auto, or 0 or more in "
                               "the input's units)");
        }
        run.noiseSigma = *sigma;
      } else if (argument == "--function") {
        run.functionPath = value;
      } else if (value == "schwarz" || value == "bicg") {
        run.solver = value == "bicg" ? wendfit::SolverKind::Bicg : wendfit::SolverKind::Schwarz;
      } else {
        throw MeshUsageError("--solver: \"" + value + "\" is not a solver (expected schwarz or bicg)");
      }
    } else {
      throw MeshUsageError("unknown option " + argument);
    }
  }
  if (options.help || options.version) return options;
  if (positional.size() != 2) {
    throw MeshUsageError("expected INPUT and MESH, found " + std::to_string(positional.size()) + " names");
  }
  run.input = positional[0];
  run.meshPath = positional[1];
  const wendfit::MeshFormat format = wendfit::meshFormatFor(run.meshPath, run.mesh.ascii);
  const bool ply = format == wendfit::MeshFormat::BinaryPly || format == wendfit::MeshFormat::AsciiPly;
  if ((run.mesh.quality || run.mesh.curvature) && !ply) {
    throw MeshUsageError(std::string(run.mesh.quality ? "--quality" : "--curvature") + " needs a .ply mesh, not " +
                         run.meshPath);
  }
  if (run.mesh.extraction.normals && format == wendfit::MeshFormat::Stl) {
    throw MeshUsageError("--normals needs a .ply, .obj or .off mesh (STL holds no vertex normals)");
  }
  if (!run.dropIsolated && run.dropAllIsolated) {
    throw MeshUsageError("--keep-isolated and --drop-isolated ask for opposite things (expected one of them)");
  }
  return options;
}

void printSummary(const wendfit::ReconstructSummary& summary, const std::string& meshPath) {
  const wendfit::MeshSummary& mesh = summary.mesh;
  const bool watertight = mesh.boundaryEdges == 0 && mesh.nonManifoldEdges == 0;
  std::fprintf(stderr, "%s: %.1f s (fit %.1f s, mesh %.1f s), %ld vertices, %ld triangles, %ld component%s",
               meshPath.c_str(), summary.seconds, summary.fitSeconds, mesh.seconds, mesh.vertices, mesh.triangles,
               mesh.components, mesh.components == 1 ? "" : "s");
  if (mesh.unsupportedComponents > 0) {
    std::fprintf(stderr, " (%ld unsupported dropped)", mesh.unsupportedComponents);
  }
  if (mesh.smallPieces > 0) {
    std::fprintf(stderr, " (%ld small piece%s dropped)", mesh.smallPieces, mesh.smallPieces == 1 ? "" : "s");
  }
  if (mesh.contradictedPieces > 0) {
    std::fprintf(stderr, " (%ld piece%s the data contradict dropped)", mesh.contradictedPieces,
                 mesh.contradictedPieces == 1 ? "" : "s");
  }
  std::fprintf(stderr, ", %s", watertight ? "watertight" : "not watertight");
  if (mesh.maxDataDistance >= 0.0 && mesh.vertices > 0) {
    std::fprintf(stderr, ", largest distance from the data %.3g", mesh.maxDataDistance);
    if (summary.sampleSpacing > 0.0) {
      std::fprintf(stderr, " (%.2g sample spacings)", mesh.maxDataDistance / summary.sampleSpacing);
    }
  }
  std::fprintf(stderr, "\n");
  const std::string advice = wendfit::levelAdvice(summary.levels, summary.boxDiagonal, summary.sampleSpacing,
                                                  mesh.triangles, mesh.components, summary.levelAim);
  if (!advice.empty()) std::fprintf(stderr, "wendfit-reconstruct: hint: %s\n", advice.c_str());
}

}  // namespace

int wendfit::runReconstructTool(const std::vector<std::string>& commandLine) {
  ToolOptions options;
  const wendfit::ToolText text{"wendfit-reconstruct", kUsage, helpText(),
                               "out of memory (the input is too large for this machine)", &options.run.input};
  auto parse = [&](const std::vector<std::string>& arguments) {
    options = parseArguments(arguments);
    return wendfit::requestedAction(options.help, options.version);
  };
  auto run = [&] {
    std::FILE* log = options.quiet ? nullptr : stderr;
    std::FILE* progress = !options.quiet && isatty(fileno(stderr)) ? stderr : nullptr;
    const wendfit::ReconstructSummary summary = wendfit::reconstruct(options.run, log, progress);
    if (log) printSummary(summary, options.run.meshPath);
    return 0;
  };
  return wendfit::toolMain(text, commandLine, parse, run);
}
