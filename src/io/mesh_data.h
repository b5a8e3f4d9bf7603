#pragma once
// The mesh-shaped result that the readers of the PLY, OBJ, OFF and STL
// formats give, and its two uses: oriented points to fit (normals estimated
// from the faces where the file has none) and triangle meshes read back (the
// tools' own mesh files in tests and benchmarks).

#include <string>
#include <string_view>
#include <vector>

#include <wendfit/mesh.h>

#include "core/point_set.h"
#include "core/vertex_property.h"
#include "io/format_support.h"

namespace wendfit {

struct MeshData {
  std::vector<float> positions;  // 3 floats per vertex
  std::vector<float> normals;    // 3 floats per vertex, or empty when the file gives none
  FaceList faces;                // polygons as read; none for a point cloud
  // Further scalar PLY vertex properties, by name in file order, one value
  // per vertex (read for ReadPurpose::kMesh only).
  std::vector<VertexProperty> properties;

  int vertexCount() const { return static_cast<int>(positions.size() / 3); }
};

// What a reader is asked for.
// kPoints: oriented points to fit, as the tool has always read them. The
//   file must hold at least one vertex and either normals or faces to
//   estimate them from; faces are passed over when the file has normals (and
//   for OBJ, vn lines when it has faces). Reading messages go to the console.
// kMesh: the mesh as the file holds it: vertices, normals when there is one
//   per vertex, faces and further vertex properties; an empty mesh is valid.
enum class ReadPurpose { kPoints, kMesh };

// Oriented points from `mesh`: positions and normals moved over, or, when the
// file gave no normals, unit normals estimated from the faces exactly as for
// .ply2 meshes. `faces`, when given, receives the polygons.
PointSet pointsFromMesh(MeshData&& mesh, FaceList* faces);

// A mesh format's reader, as readObjMesh, readOffMesh and readPlyMesh.
using MeshReader = MeshData (*)(std::string_view data, const std::string& name, ReadPurpose purpose,
                                std::FILE* console);

// The points-to-fit reading every mesh format shares: `read` asked for
// points, then pointsFromMesh, then the console's closing line.
PointSet readPointsWith(MeshReader read, std::string_view data, const std::string& name, std::FILE* console,
                        FaceList* faces);

// Binary STL: a mesh input, and meshes read back.
// Corners at bit-identical positions become one vertex, in order of first
// appearance, so that connectivity survives. Throws Error naming the file
// when the size does not match the triangle count or a corner is not finite.
MeshData readStlMesh(std::string_view data, const std::string& name);

// Reads the mesh at `path` with the reader its extension selects (.ply, .obj,
// .off or binary .stl, any letter case) for ReadPurpose::kMesh.
// Throws Error "<path>[:<line>]: <problem>" for an unreadable file, an
// unknown extension or malformed content.
MeshData readMeshData(const std::string& path);

// The same as a triangle mesh: every face must be a triangle. `properties`,
// when given, receives the further PLY vertex properties (empty for other
// formats).
TriangleMesh readMesh(const std::string& path, std::vector<VertexProperty>* properties = nullptr);

}  // namespace wendfit
