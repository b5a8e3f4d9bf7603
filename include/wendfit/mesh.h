#pragma once
// Triangle meshes: the surface extracted from a Function, and mesh files.

#include <string>
#include <vector>

namespace wendfit {

class Function;

// An indexed triangle mesh. Triangles are wound counter-clockwise seen from
// outside the object (unless extracted with flip).
struct TriangleMesh {
  std::vector<float> positions;  // 3 floats per vertex
  std::vector<float> normals;    // 3 floats per vertex, or empty
  std::vector<int> triangles;    // 3 vertex indices per triangle

  long vertexCount() const { return static_cast<long>(positions.size() / 3); }
  long triangleCount() const { return static_cast<long>(triangles.size() / 3); }
  bool hasNormals() const { return !normals.empty(); }
};

struct ExtractOptions {
  // Grid cells along the longest side of the box; 0 picks the default from
  // the finest support radius.
  int resolution = 0;
  // Examine every cell of the box instead of tracing the surface from the
  // data the function was fitted to.
  bool fullBox = false;
  // Reverse the triangles' winding and the normals.
  bool flip = false;
  // Unit vertex normals from the gradient, pointing outside.
  bool normals = false;
  // Place the surface by single-precision evaluation: about twice as fast,
  // vertices within float rounding of where the full terms put them.
  bool quickTerms = false;
  // Drop connected components with fewer triangles than this (0: keep all).
  long minComponent = 0;
  // Vertex positions are divided by this factor: FitResult::scale gives the
  // mesh in the input's coordinates. 1 keeps the function's coordinates.
  double inputScale = 1.0;
  // Worker threads; 0 keeps OpenMP's default. The mesh does not depend on it.
  int threads = 0;
};

// The zero level set of `function` as a closed triangle mesh (where the
// surface meets the box, the box's faces close it). A function without a
// sign change gives an empty mesh. Throws Error for an empty function, a
// resolution out of range or a bad scale.
TriangleMesh extract(const Function& function, const ExtractOptions& options = {});

// Writes `mesh` in the format that the extension of `path` selects: .ply
// (binary, or ASCII with asciiPly), .obj or .off; normals are written when
// the mesh has them. The file appears under `path` only when complete.
// Throws Error naming `path` for an unknown extension or a failed write.
void writeTriangleMesh(const TriangleMesh& mesh, const std::string& path, bool asciiPly = false);

// Reads a triangle mesh from a PLY, OBJ, OFF or binary STL file (by extension); normals
// when the file has them. Throws Error "<file>:<line>: <problem>" for an
// unreadable or malformed file.
TriangleMesh readTriangleMesh(const std::string& path);

}  // namespace wendfit
