// The mesh-shaped result of the format readers, its conversion to oriented
// points, the read-back of triangle meshes, and binary STL (which only the
// read-back needs).

#include "io/mesh_data.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "core/error.h"
#include "core/text_scanner.h"
#include "io/obj_reader.h"
#include "io/off_reader.h"
#include "io/ply_reader.h"

namespace wendfit {

PointSet readPointsWith(MeshReader read, std::string_view data, const std::string& name, std::FILE* console,
                        FaceList* faces) {
  PointSet points = pointsFromMesh(read(data, name, ReadPurpose::kPoints, console), faces);
  printReadDone(console);
  return points;
}

PointSet pointsFromMesh(MeshData&& mesh, FaceList* faces) {
  PointSet points;
  points.count = mesh.vertexCount();
  points.positions = std::move(mesh.positions);
  if (mesh.normals.empty()) {
    estimateNormalsFromFaces(points, mesh.faces);
  } else {
    points.normals = std::move(mesh.normals);
  }
  if (faces) *faces = std::move(mesh.faces);
  return points;
}

MeshData readStlMesh(std::string_view data, const std::string& name) {
  constexpr size_t kHeader = 84;
  constexpr size_t kFacet = 50;
  if (data.size() < kHeader) throw Error(fileMessage(name, "too short for a binary STL header (expected 84 bytes)"));
  uint32_t count = 0;
  for (int k = 3; k >= 0; --k) count = (count << 8) | static_cast<unsigned char>(data[80 + k]);
  if ((data.size() - kHeader) / kFacet != count || (data.size() - kHeader) % kFacet != 0) {
    if (data.substr(0, 5) == "solid") {
      throw Error(fileMessage(name, "ASCII STL is not read (expected binary STL: an 80-byte header, the triangle "
                                    "count and 50 bytes per triangle)"));
    }
    throw Error(fileMessage(name, "binary STL of " + std::to_string(data.size()) + " bytes for " +
                                      std::to_string(count) + " triangles (expected " +
                                      std::to_string(kHeader + kFacet * static_cast<size_t>(count)) + ")"));
  }
  MeshData mesh;
  std::unordered_map<std::string_view, int> vertexOf;
  for (size_t t = 0; t < count; ++t) {
    const char* corners = data.data() + kHeader + kFacet * t + 12;
    for (int k = 0; k < 3; ++k) {
      const std::string_view key(corners + 12 * k, 12);
      auto [slot, added] = vertexOf.emplace(key, static_cast<int>(vertexOf.size()));
      if (added) {
        for (int c = 0; c < 3; ++c) {
          uint32_t bits = 0;
          for (int b = 3; b >= 0; --b) bits = (bits << 8) | static_cast<unsigned char>(key[4 * c + b]);
          float value;
          std::memcpy(&value, &bits, sizeof value);
          if (!std::isfinite(value)) {
            throw Error(fileMessage(name, "triangle " + std::to_string(t) +
                                              " has a non-finite corner (expected finite coordinates)"));
          }
          mesh.positions.push_back(value);
        }
      }
      mesh.faces.indices.push_back(slot->second);
    }
    mesh.faces.closeFace(name);
  }
  return mesh;
}

MeshData readMeshData(const std::string& path) {
  std::string extension = path.substr(std::min(path.size(), path.rfind('.')));
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (extension != ".ply" && extension != ".obj" && extension != ".off" && extension != ".stl") {
    throw Error(fileMessage(path, "unknown mesh format (expected a name ending in .ply, .obj, .off or .stl)"));
  }
  const std::string data = loadFileBytes(path);
  if (extension == ".obj") return readObjMesh(data, path, ReadPurpose::kMesh);
  if (extension == ".off") return readOffMesh(data, path, ReadPurpose::kMesh);
  if (extension == ".stl") return readStlMesh(data, path);
  return readPlyMesh(data, path, ReadPurpose::kMesh);
}

TriangleMesh readMesh(const std::string& path, std::vector<VertexProperty>* properties) {
  MeshData data = readMeshData(path);
  const FaceList& faces = data.faces;
  for (int f = 0; f < faces.count(); ++f) {
    const int corners = faces.starts[f + 1] - faces.starts[f];
    if (corners != 3) {
      throw Error(fileMessage(path, "face " + std::to_string(f) + " has " + std::to_string(corners) +
                                        " vertices (expected a triangle)"));
    }
  }
  TriangleMesh mesh;
  mesh.positions = std::move(data.positions);
  mesh.normals = std::move(data.normals);
  mesh.triangles = std::move(data.faces.indices);
  if (properties) *properties = std::move(data.properties);
  return mesh;
}

}  // namespace wendfit
