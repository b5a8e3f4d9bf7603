#include "mesh/mesh_command.h"

#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cmath>

#include "mesh/mesh_writer.h"
#include "mesh/surface_grid.h"

namespace wendfit {

namespace {

long parseWhole(const std::vector<std::string>& arguments, size_t i, long low, long high) {
  if (i + 1 >= arguments.size()) throw MeshUsageError(arguments[i] + " needs a value");
  const std::string& text = arguments[i + 1];
  long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    throw MeshUsageError(arguments[i] + ": \"" + text + "\" is not a whole number in " + std::to_string(low) +
                         " ... " + std::to_string(high));
  }
  return value;
}

}  // namespace

int parseMeshOption(const std::vector<std::string>& arguments, size_t i, MeshOptions& options) {
  const std::string& option = arguments[i];
  if (option == "--resolution") {
    options.extraction.resolution = static_cast<int>(parseWhole(arguments, i, 1, kMaxResolution));
    return 2;
  }
  if (option == "--min-component") {
    options.minComponent = parseWhole(arguments, i, 0, INT32_MAX);
    return 2;
  }
  bool* flag = option == "--full-box" ? &options.extraction.fullBox
               : option == "--flip"   ? &options.extraction.flip
               : option == "--normals" ? &options.extraction.normals
               : option == "--ascii"  ? &options.ascii
                                      : nullptr;
  if (!flag) return 0;
  *flag = true;
  return 1;
}

std::string meshOptionsHelp() {
  return "  --resolution N     cells along the longest side of the function's box (at most " +
         std::to_string(kMaxResolution) +
         ").\n"
         "                     Default: a cell of 1/" +
         std::to_string(kDefaultCellsPerRadius) +
         " of the finest level's support radius,\n"
         "                     so the grid follows the finest fitted detail, but not\n"
         "                     finer than about one sample spacing of the finest\n"
         "                     centres (twice their median neighbour distance).\n"
         "  --full-box         look for the surface in the whole box, not only in the band.\n"
         "  --flip             reverse the triangles and normals. Normally they point\n"
         "                     outside, to the sign the function has at its box's corners.\n"
         "  --normals          write per-vertex normals from the function's gradient.\n"
         "  --min-component K  drop connected components of fewer than K triangles.\n"
         "  --ascii            ASCII PLY instead of binary little-endian PLY.\n"
         "Band rule: the surface is looked for only in blocks of " +
         std::to_string(kBlockCells) + "x" + std::to_string(kBlockCells) + "x" +
         std::to_string(kBlockCells) +
         " grid cells that come\n"
         "within one support radius of the centre of a finest-level basis function\n"
         "(or of a coarser one near which the next level has no centre), and it is\n"
         "followed from the cells holding those centres through the cells it crosses.\n"
         "Sheets away from the data are not extracted; --full-box extracts everywhere.\n"
         "The mesh format follows MESH_FILE's extension: .ply, .obj or .off.\n";
}

MeshSummary writeFunctionMesh(const ImplicitFunction& function, const std::string& meshPath,
                              const MeshOptions& options, std::FILE* log) {
  MeshFormat format = meshFormatFor(meshPath, options.ascii);
  if (!(options.inputScale > 0.0) || !std::isfinite(options.inputScale)) {
    throw Error("the input scale " + std::to_string(options.inputScale) + " is not a positive number");
  }
  auto start = std::chrono::steady_clock::now();
  MeshSummary summary;
  TriangleMesh mesh = extractSurface(function, options.extraction, &summary.stats);
  if (options.minComponent > 0) summary.droppedComponents = dropSmallComponents(mesh, options.minComponent);
  if (options.inputScale != 1.0) {
    for (float& x : mesh.positions) x = static_cast<float>(static_cast<double>(x) / options.inputScale);
  }
  triangleComponents(mesh, &summary.components);
  summary.vertices = mesh.vertexCount();
  summary.triangles = mesh.triangleCount();
  writeMesh(mesh, meshPath, format, options.toolName);
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (log) {
    std::fprintf(log, "%s\n", summaryLine(meshPath, options, summary).c_str());
    std::fflush(log);
  }
  return summary;
}

std::string summaryLine(const std::string& meshPath, const MeshOptions& options, const MeshSummary& summary) {
  char text[512];
  std::snprintf(text, sizeof text, "Mesh %s: %ld vertices, %ld triangles, %ld component%s", meshPath.c_str(),
                summary.vertices, summary.triangles, summary.components, summary.components == 1 ? "" : "s");
  std::string line = text;
  if (options.minComponent > 0) {
    std::snprintf(text, sizeof text, " (%ld dropped below %ld triangles)", summary.droppedComponents,
                  options.minComponent);
    line += text;
  }
  std::snprintf(text, sizeof text, ", resolution %d, %.2f s", summary.stats.resolution, summary.seconds);
  return line + text;
}

}  // namespace wendfit
