#pragma once
// Small surfaces and point clouds written in every input format, for the
// reader tests and the end-to-end checks that the formats agree. Every float
// is printed with 9 significant digits, so each text format gives back
// exactly the float that a binary format stores.

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace wendfit::test {

struct Mesh {
  std::vector<float> positions;   // 3 per vertex
  std::vector<std::vector<int>> faces;  // 0-based, counter-clockwise seen from outside
};

struct Cloud {
  std::vector<float> positions;  // 3 per point
  std::vector<float> normals;    // outward, 3 per point
};

inline std::string num(float v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
  return text;
}

// A torus of `rings` x `sides` vertices (major radius 2, minor 0.75), every
// quad split into two triangles, or kept as a quad when `quads`.
inline Mesh torusMesh(int rings, int sides, bool quads = false) {
  Mesh mesh;
  const double pi = 3.14159265358979323846;
  for (int i = 0; i < rings; ++i) {
    for (int j = 0; j < sides; ++j) {
      double u = 2 * pi * i / rings, v = 2 * pi * j / sides;
      double r = 2.0 + 0.75 * std::cos(v);
      mesh.positions.push_back(static_cast<float>(r * std::cos(u)));
      mesh.positions.push_back(static_cast<float>(r * std::sin(u)));
      mesh.positions.push_back(static_cast<float>(0.75 * std::sin(v)));
    }
  }
  auto at = [&](int i, int j) { return (i % rings) * sides + (j % sides); };
  for (int i = 0; i < rings; ++i) {
    for (int j = 0; j < sides; ++j) {
      int a = at(i, j), b = at(i + 1, j), c = at(i + 1, j + 1), d = at(i, j + 1);
      if (quads) {
        mesh.faces.push_back({a, b, c, d});
      } else {
        mesh.faces.push_back({a, b, c});
        mesh.faces.push_back({a, c, d});
      }
    }
  }
  return mesh;
}

// `count` points on a sphere of radius 2 with outward unit normals.
inline Cloud sphereCloud(int count) {
  Cloud cloud;
  for (int i = 0; i < count; ++i) {
    double n[3];
    test::spiralPoint(i, count, n);
    for (int k = 0; k < 3; ++k) {
      cloud.positions.push_back(static_cast<float>(2 * n[k]));
      cloud.normals.push_back(static_cast<float>(n[k]));
    }
  }
  return cloud;
}

inline std::string triple(const std::vector<float>& v, size_t i) {
  return num(v[3 * i]) + " " + num(v[3 * i + 1]) + " " + num(v[3 * i + 2]);
}

inline std::string ply2Text(const Mesh& mesh) {
  std::string text = std::to_string(mesh.positions.size() / 3) + "\n" + std::to_string(mesh.faces.size()) + "\n";
  for (size_t i = 0; i < mesh.positions.size() / 3; ++i) text += triple(mesh.positions, i) + "\n";
  for (const auto& face : mesh.faces) {
    text += std::to_string(face.size());
    for (int index : face) text += " " + std::to_string(index);
    text += "\n";
  }
  return text;
}

inline std::string offText(const Mesh& mesh) {
  std::string text = "OFF\n# a comment line\n" + std::to_string(mesh.positions.size() / 3) + " " +
                     std::to_string(mesh.faces.size()) + " 0\n";
  for (size_t i = 0; i < mesh.positions.size() / 3; ++i) text += triple(mesh.positions, i) + "\n";
  for (const auto& face : mesh.faces) {
    text += std::to_string(face.size());
    for (int index : face) text += " " + std::to_string(index);
    text += "\n";
  }
  return text;
}

// Faces in the "a/b/c" form, every second one with negative indices.
inline std::string objText(const Mesh& mesh) {
  std::string text = "# written by a test\no torus\n";
  const size_t n = mesh.positions.size() / 3;
  for (size_t i = 0; i < n; ++i) text += "v " + triple(mesh.positions, i) + "\n";
  text += "vt 0 0\n";
  for (size_t f = 0; f < mesh.faces.size(); ++f) {
    text += "f";
    for (int index : mesh.faces[f]) {
      long written = f % 2 ? static_cast<long>(index) - static_cast<long>(n) : index + 1;
      text += " " + std::to_string(written) + "/1/1";
    }
    text += "\n";
  }
  return text;
}

// Appends the bytes of `value` in the given byte order.
template <class T>
void putValue(std::string& out, T value, bool bigEndian) {
  unsigned char b[sizeof(T)];
  std::memcpy(b, &value, sizeof(T));
  const bool hostBig = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
  for (size_t k = 0; k < sizeof(T); ++k) out.push_back(static_cast<char>(b[hostBig == bigEndian ? k : sizeof(T) - 1 - k]));
}

// A binary PLY mesh with float32 vertices and uchar/int32 face lists.
inline std::string binaryPlyMesh(const Mesh& mesh, bool bigEndian) {
  std::string out = std::string("ply\nformat ") + (bigEndian ? "binary_big_endian" : "binary_little_endian") +
                    " 1.0\nelement vertex " + std::to_string(mesh.positions.size() / 3) +
                    "\nproperty float x\nproperty float y\nproperty float z\nelement face " +
                    std::to_string(mesh.faces.size()) + "\nproperty list uchar int vertex_indices\nend_header\n";
  for (float v : mesh.positions) putValue(out, v, bigEndian);
  for (const auto& face : mesh.faces) {
    putValue(out, static_cast<unsigned char>(face.size()), bigEndian);
    for (int index : face) putValue(out, index, bigEndian);
  }
  return out;
}

// The tool's own point file: count, positions, then the normals negated
// (that format stores them pointing inward).
inline std::string pointFileText(const Cloud& cloud) {
  const size_t n = cloud.positions.size() / 3;
  std::string text = std::to_string(n) + "\n";
  for (size_t i = 0; i < n; ++i) text += triple(cloud.positions, i) + "\n";
  for (size_t i = 0; i < n; ++i) {
    text += num(-cloud.normals[3 * i]) + " " + num(-cloud.normals[3 * i + 1]) + " " +
            num(-cloud.normals[3 * i + 2]) + "\n";
  }
  return text;
}

// One point per line with a colour after the normal.
inline std::string xyzText(const Cloud& cloud) {
  std::string text;
  for (size_t i = 0; i < cloud.positions.size() / 3; ++i) {
    text += triple(cloud.positions, i) + " " + triple(cloud.normals, i) + " 255 128 0\n";
  }
  return text;
}

// A binary PLY cloud with the properties in a scanner's order (normals
// first, a colour between), as float32.
inline std::string binaryPlyCloud(const Cloud& cloud, bool bigEndian) {
  const size_t n = cloud.positions.size() / 3;
  std::string out = std::string("ply\nformat ") + (bigEndian ? "binary_big_endian" : "binary_little_endian") +
                    " 1.0\ncomment made by a test\nelement vertex " + std::to_string(n) +
                    "\nproperty float32 nx\nproperty float32 ny\nproperty float32 nz\nproperty uint8 red\n"
                    "property float32 x\nproperty float32 y\nproperty float32 z\nend_header\n";
  for (size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 3; ++k) putValue(out, cloud.normals[3 * i + k], bigEndian);
    putValue(out, static_cast<unsigned char>(200), bigEndian);
    for (int k = 0; k < 3; ++k) putValue(out, cloud.positions[3 * i + k], bigEndian);
  }
  return out;
}

}  // namespace wendfit::test
