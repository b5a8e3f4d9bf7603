// Surface extraction into memory and mesh files: a thin layer over the
// surface extractor and the mesh reader and writer.

#include <wendfit/mesh.h>

#include <cmath>
#include <string>

#include <wendfit/function.h>

#include "api/thread_count.h"
#include "core/error.h"
#include "io/mesh_data.h"
#include "mesh/mesh_topology.h"
#include "mesh/mesh_writer.h"
#include "mesh/surface_extractor.h"

namespace wendfit {

TriangleMesh extract(const Function& function, const ExtractOptions& options) {
  const ImplicitFunction& implementation = function.implementation();
  if (!(options.inputScale > 0.0) || !std::isfinite(options.inputScale)) {
    throw Error("extract: input scale " + std::to_string(options.inputScale) +
                " (expected a positive finite number)");
  }
  if (options.minComponent < 0) {
    throw Error("extract: smallest component " + std::to_string(options.minComponent) +
                " triangles (expected 0 or more)");
  }
  ScopedThreadCount threads(options.threads);
  ExtractionOptions extraction;
  extraction.resolution = options.resolution;
  extraction.fullBox = options.fullBox;
  extraction.flip = options.flip;
  extraction.normals = options.normals;
  extraction.quickTerms = options.quickTerms;
  TriangleMesh mesh = extractSurface(implementation, extraction);
  if (options.minComponent > 0) dropSmallComponents(mesh, options.minComponent);
  if (options.inputScale != 1.0) {
    // As the tools write meshes in the input's coordinates: divided in double.
    for (float& x : mesh.positions) x = static_cast<float>(static_cast<double>(x) / options.inputScale);
  }
  return mesh;
}

void writeTriangleMesh(const TriangleMesh& mesh, const std::string& path, bool asciiPly) {
  writeMesh(mesh, path, meshFormatFor(path, asciiPly));
}

TriangleMesh readTriangleMesh(const std::string& path) { return readMesh(path); }

}  // namespace wendfit
