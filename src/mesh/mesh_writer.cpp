#include "mesh/mesh_writer.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/error.h"
#include "io/output_file.h"

namespace wendfit {

namespace {

std::string lowerExtension(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string extension = path.substr(dot);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

// Appends the 4 bytes of a 32-bit value, least significant first, whatever
// the machine's byte order.
void appendLittleEndian(std::vector<char>& out, uint32_t bits) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((bits >> shift) & 0xFFu));
}

void appendFloat(std::vector<char>& out, float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  appendLittleEndian(out, bits);
}

// The vertex and face lines that ASCII PLY and OFF share: "x y z [nx ny nz]
// [properties]" per vertex, then "3 a b c" per triangle.
void writeTextBody(const TriangleMesh& mesh, const std::vector<VertexProperty>& properties, OutputFile& file) {
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    const float* p = &mesh.positions[3 * v];
    file.print("%.9g %.9g %.9g", p[0], p[1], p[2]);
    if (mesh.hasNormals()) {
      const float* n = &mesh.normals[3 * v];
      file.print(" %.9g %.9g %.9g", n[0], n[1], n[2]);
    }
    for (const VertexProperty& property : properties) file.print(" %.9g", property.values[v]);
    file.print("\n");
  }
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    const int* f = &mesh.triangles[3 * t];
    file.print("3 %d %d %d\n", f[0], f[1], f[2]);
  }
}

void writePly(const TriangleMesh& mesh, const std::vector<VertexProperty>& properties, OutputFile& file, bool ascii,
              const std::string& toolName) {
  file.print("ply\nformat %s 1.0\ncomment written by %s\n", ascii ? "ascii" : "binary_little_endian",
             toolName.c_str());
  file.print("element vertex %ld\nproperty float x\nproperty float y\nproperty float z\n",
             mesh.vertexCount());
  if (mesh.hasNormals()) file.print("property float nx\nproperty float ny\nproperty float nz\n");
  for (const VertexProperty& property : properties) file.print("property float %s\n", property.name.c_str());
  file.print("element face %ld\nproperty list uchar int vertex_indices\nend_header\n",
             mesh.triangleCount());
  if (ascii) {
    writeTextBody(mesh, properties, file);
    return;
  }
  // Binary body in chunks, so that a large mesh needs no second copy.
  constexpr long kChunk = 1 << 16;
  std::vector<char> buffer;
  for (long begin = 0; begin < mesh.vertexCount(); begin += kChunk) {
    buffer.clear();
    for (long v = begin; v < std::min(mesh.vertexCount(), begin + kChunk); ++v) {
      for (int k = 0; k < 3; ++k) appendFloat(buffer, mesh.positions[3 * v + k]);
      if (mesh.hasNormals()) {
        for (int k = 0; k < 3; ++k) appendFloat(buffer, mesh.normals[3 * v + k]);
      }
      for (const VertexProperty& property : properties) appendFloat(buffer, property.values[v]);
    }
    file.write(buffer.data(), buffer.size());
  }
  for (long begin = 0; begin < mesh.triangleCount(); begin += kChunk) {
    buffer.clear();
    for (long t = begin; t < std::min(mesh.triangleCount(), begin + kChunk); ++t) {
      buffer.push_back(3);
      for (int k = 0; k < 3; ++k) appendLittleEndian(buffer, static_cast<uint32_t>(mesh.triangles[3 * t + k]));
    }
    file.write(buffer.data(), buffer.size());
  }
}

void writeObj(const TriangleMesh& mesh, OutputFile& file, const std::string& toolName) {
  file.print("# written by %s\n", toolName.c_str());
  for (long v = 0; v < mesh.vertexCount(); ++v) {
    const float* p = &mesh.positions[3 * v];
    file.print("v %.9g %.9g %.9g\n", p[0], p[1], p[2]);
  }
  if (mesh.hasNormals()) {
    for (long v = 0; v < mesh.vertexCount(); ++v) {
      const float* n = &mesh.normals[3 * v];
      file.print("vn %.9g %.9g %.9g\n", n[0], n[1], n[2]);
    }
  }
  for (long t = 0; t < mesh.triangleCount(); ++t) {
    const int* f = &mesh.triangles[3 * t];
    if (mesh.hasNormals()) {
      file.print("f %d//%d %d//%d %d//%d\n", f[0] + 1, f[0] + 1, f[1] + 1, f[1] + 1, f[2] + 1, f[2] + 1);
    } else {
      file.print("f %d %d %d\n", f[0] + 1, f[1] + 1, f[2] + 1);
    }
  }
}

void writeOff(const TriangleMesh& mesh, OutputFile& file) {
  file.print("%s\n%ld %ld 0\n", mesh.hasNormals() ? "NOFF" : "OFF", mesh.vertexCount(),
             mesh.triangleCount());
  writeTextBody(mesh, {}, file);
}

// Binary STL, little-endian; each facet normal is the unit cross product of
// two edges in double, (0, 0, 0) for a degenerate triangle.
void writeStl(const TriangleMesh& mesh, OutputFile& file, const std::string& toolName) {
  if (mesh.triangleCount() > static_cast<long>(UINT32_MAX)) {
    throw Error(fileMessage(file.path(), "more triangles than binary STL can count (expected at most 2^32 - 1)"));
  }
  std::vector<char> buffer(80, ' ');
  const std::string header = "binary STL written by " + toolName;
  std::memcpy(buffer.data(), header.data(), std::min<size_t>(header.size(), 80));
  appendLittleEndian(buffer, static_cast<uint32_t>(mesh.triangleCount()));
  file.write(buffer.data(), buffer.size());
  constexpr long kChunk = 1 << 15;
  for (long begin = 0; begin < mesh.triangleCount(); begin += kChunk) {
    buffer.clear();
    for (long t = begin; t < std::min(mesh.triangleCount(), begin + kChunk); ++t) {
      const float* corner[3];
      for (int k = 0; k < 3; ++k) corner[k] = &mesh.positions[3 * static_cast<size_t>(mesh.triangles[3 * t + k])];
      double e1[3];
      double e2[3];
      for (int k = 0; k < 3; ++k) {
        e1[k] = static_cast<double>(corner[1][k]) - corner[0][k];
        e2[k] = static_cast<double>(corner[2][k]) - corner[0][k];
      }
      double n[3] = {e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2], e1[0] * e2[1] - e1[1] * e2[0]};
      const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
      for (double& x : n) x = length > 0.0 ? x / length : 0.0;
      for (double x : n) appendFloat(buffer, static_cast<float>(x));
      for (const float* c : corner) {
        for (int k = 0; k < 3; ++k) appendFloat(buffer, c[k]);
      }
      buffer.push_back(0);
      buffer.push_back(0);
    }
    file.write(buffer.data(), buffer.size());
  }
}

}  // namespace

MeshFormat meshFormatFor(const std::string& path, bool asciiPly) {
  std::string extension = lowerExtension(path);
  if (extension == ".ply") return asciiPly ? MeshFormat::AsciiPly : MeshFormat::BinaryPly;
  if (extension == ".obj") return MeshFormat::Obj;
  if (extension == ".off") return MeshFormat::Off;
  if (extension == ".stl") return MeshFormat::Stl;
  throw Error(fileMessage(path, "unknown mesh format (expected a name ending in .ply, .obj, .off or .stl)"));
}

void writeMesh(const TriangleMesh& mesh, const std::string& path, MeshFormat format,
               const std::string& toolName, const std::vector<VertexProperty>& properties) {
  for (const VertexProperty& property : properties) {
    if (format != MeshFormat::BinaryPly && format != MeshFormat::AsciiPly) {
      throw Error(fileMessage(path, "per-vertex " + property.name +
                                        " needs a PLY mesh (expected a name ending in .ply)"));
    }
    if (static_cast<long>(property.values.size()) != mesh.vertexCount()) {
      throw Error(fileMessage(path, "per-vertex " + property.name + " for " +
                                        std::to_string(property.values.size()) + " vertices (expected " +
                                        std::to_string(mesh.vertexCount()) + ")"));
    }
  }
  OutputFile file(path);
  switch (format) {
    case MeshFormat::BinaryPly:
      writePly(mesh, properties, file, false, toolName);
      break;
    case MeshFormat::AsciiPly:
      writePly(mesh, properties, file, true, toolName);
      break;
    case MeshFormat::Obj:
      writeObj(mesh, file, toolName);
      break;
    case MeshFormat::Off:
      writeOff(mesh, file);
      break;
    case MeshFormat::Stl:
      writeStl(mesh, file, toolName);
      break;
  }
  file.commit();
}

}  // namespace wendfit
