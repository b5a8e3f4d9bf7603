#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "core/error.h"
#include "io/mesh_data.h"
#include "mesh/mesh_writer.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

// Two triangles with awkward floats (not short decimals) and normals.
TriangleMesh sampleMesh(bool withNormals) {
  TriangleMesh mesh;
  mesh.positions = {0.1f, -2.5e-7f, 3.0f, 1.0f / 3.0f, 1e6f, -0.0f, 7.25f, 8.5f, -9.125f, 1.0f, 2.0f, 3.0f};
  mesh.triangles = {0, 1, 2, 2, 1, 3};
  if (withNormals) mesh.normals = {0, 0, 1, 0.6f, 0.8f, 0, -1, 0, 0, 0.267261f, 0.534522f, 0.801784f};
  return mesh;
}

void expectSameMesh(const TriangleMesh& a, const TriangleMesh& b) {
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.normals, b.normals);
  EXPECT_EQ(a.triangles, b.triangles);
}

uint32_t littleEndianAt(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int b = 0; b < 4; ++b) value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + b])) << (8 * b);
  return value;
}

TEST(MeshWriter, BinaryPlyHasTheStandardHeaderAndLayout) {
  TempDir dir;
  std::string path = dir.file("m.ply");
  TriangleMesh mesh = sampleMesh(true);
  writeMesh(mesh, path, MeshFormat::BinaryPly, "a-tool");
  std::string bytes = readFile(path);
  const std::string header =
      "ply\nformat binary_little_endian 1.0\ncomment written by a-tool\n"
      "element vertex 4\nproperty float x\nproperty float y\nproperty float z\n"
      "property float nx\nproperty float ny\nproperty float nz\n"
      "element face 2\nproperty list uchar int vertex_indices\nend_header\n";
  ASSERT_EQ(bytes.substr(0, header.size()), header);
  ASSERT_EQ(bytes.size(), header.size() + 4 * 24 + 2 * 13);
  // Decoded by hand, independently of the reader: vertex 1's y, then the
  // second face.
  uint32_t bits = littleEndianAt(bytes, header.size() + 24 + 4);
  float y;
  std::memcpy(&y, &bits, sizeof y);
  EXPECT_EQ(y, 1e6f);
  size_t face = header.size() + 4 * 24 + 13;
  EXPECT_EQ(bytes[face], 3);
  EXPECT_EQ(littleEndianAt(bytes, face + 1), 2u);
  EXPECT_EQ(littleEndianAt(bytes, face + 5), 1u);
  EXPECT_EQ(littleEndianAt(bytes, face + 9), 3u);
}

TEST(MeshWriter, EveryFormatReadsBackExactly) {
  TempDir dir;
  struct Case {
    const char* name;
    MeshFormat format;
  } cases[] = {{"a.ply", MeshFormat::BinaryPly},
               {"b.ply", MeshFormat::AsciiPly},
               {"c.obj", MeshFormat::Obj},
               {"d.off", MeshFormat::Off},
               {"e.stl", MeshFormat::Stl}};
  for (bool normals : {false, true}) {
    for (const Case& c : cases) {
      // STL keeps no vertex normals (only facet normals, from the winding).
      if (normals && c.format == MeshFormat::Stl) continue;
      SCOPED_TRACE(std::string(c.name) + (normals ? " with normals" : ""));
      TriangleMesh mesh = sampleMesh(normals);
      writeMesh(mesh, dir.file(c.name), c.format);
      expectSameMesh(readMesh(dir.file(c.name)), mesh);
      // Writing what was read gives the same bytes.
      std::string again = dir.file(std::string("again_") + c.name);
      writeMesh(readMesh(dir.file(c.name)), again, c.format);
      EXPECT_EQ(readFile(again), readFile(dir.file(c.name)));
    }
  }
  TriangleMesh empty;
  writeMesh(empty, dir.file("e.ply"), MeshFormat::BinaryPly);
  expectSameMesh(readMesh(dir.file("e.ply")), empty);
}

TEST(MeshWriter, BinaryStlHasCountFacetNormalsAndWeldsBackOnReading) {
  TempDir dir;
  TriangleMesh mesh;
  // A unit square in z = 2 split along its diagonal; both triangles face +z.
  mesh.positions = {0, 0, 2, 1, 0, 2, 1, 1, 2, 0, 1, 2};
  mesh.triangles = {0, 1, 2, 0, 2, 3};
  writeMesh(mesh, dir.file("q.stl"), MeshFormat::Stl);
  const std::string bytes = readFile(dir.file("q.stl"));
  ASSERT_EQ(bytes.size(), 84u + 2 * 50);
  EXPECT_EQ(littleEndianAt(bytes, 80), 2u);
  for (size_t facet : {84u, 134u}) {
    float normal[3];
    std::memcpy(normal, bytes.data() + facet, sizeof normal);
    EXPECT_EQ(normal[0], 0.0f);
    EXPECT_EQ(normal[1], 0.0f);
    EXPECT_EQ(normal[2], 1.0f);
  }
  // The shared corners come back as shared vertices.
  expectSameMesh(readMesh(dir.file("q.stl")), mesh);
  writeFile(dir.file("short.stl"), bytes.substr(0, bytes.size() - 1));
  EXPECT_THROW(readMesh(dir.file("short.stl")), Error);
}

TEST(MeshWriter, FormatFollowsTheExtension) {
  EXPECT_EQ(meshFormatFor("x/y.PLY", false), MeshFormat::BinaryPly);
  EXPECT_EQ(meshFormatFor("y.ply", true), MeshFormat::AsciiPly);
  EXPECT_EQ(meshFormatFor("y.Obj", true), MeshFormat::Obj);
  EXPECT_EQ(meshFormatFor("y.off", false), MeshFormat::Off);
  try {
    meshFormatFor("dir.ply/mesh", false);
    FAIL() << "no extension must be rejected";
  } catch (const Error& error) {
    EXPECT_EQ(std::string(error.what()),
              "dir.ply/mesh: unknown mesh format (expected a name ending in .ply, .obj, .off or .stl)");
  }
  EXPECT_EQ(meshFormatFor("y.STL", true), MeshFormat::Stl);
  EXPECT_THROW(meshFormatFor("mesh.stlx", false), Error);
}

TEST(MeshWriter, UnwritableTargetFailsAndLeavesNothing) {
  TempDir dir;
  std::string path = dir.file("missing/m.ply");
  try {
    writeMesh(sampleMesh(false), path, MeshFormat::BinaryPly);
    FAIL() << "expected an Error";
  } catch (const Error& error) {
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
  }
  EXPECT_FALSE(test::fileExists(path));
}

void expectReadError(const std::string& name, const std::string& contents, const std::string& fragment) {
  TempDir dir;
  std::string path = dir.file(name);
  writeFile(path, contents);
  try {
    readMesh(path);
    FAIL() << "expected an Error for " << name;
  } catch (const Error& error) {
    std::string message = error.what();
    EXPECT_EQ(message.rfind(path, 0), 0u) << message;
    EXPECT_NE(message.find(fragment), std::string::npos) << message;
  }
}

TEST(MeshReader, RejectsMalformedFiles) {
  const std::string plyHead =
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
      "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
  expectReadError("a.ply", plyHead + "0 0 0\n1 0 0\n0 1 0\n3 0 1 3\n", "vertex index 3 is out of range");
  expectReadError("b.ply", plyHead + "0 0 0\n1 0 0\n0 1 0\n4 0 1 2 0\n", "has 4 vertices (expected a triangle)");
  expectReadError("c.ply", plyHead + "0 0 0\n1 nan 0\n0 1 0\n3 0 1 2\n", "non-finite y");
  expectReadError("d.ply", plyHead + "0 0 0\n1 0 0\n", "truncated");
  expectReadError("e.ply", "ply\nformat binary_big_endian 1.0\nend_header\n", "no vertex element");
  expectReadError("f.ply", "solid x\n", "not a PLY file");
  expectReadError("g.ply", "ply\nformat ascii 1.0\nelement vertex 1\n", "no end_header");
  // Binary: a header that promises more vertices than the bytes hold.
  expectReadError("h.ply",
                  "ply\nformat binary_little_endian 1.0\nelement vertex 1000000\nproperty float x\n"
                  "property float y\nproperty float z\nelement face 0\n"
                  "property list uchar int vertex_indices\nend_header\n" +
                      std::string(12, '\0'),
                  "truncated");
  expectReadError("i.obj", "v 0 0 0\nv 1 0 0\nf 1 2 3\n", "vertex index 3 of face 0 is out of range");
  expectReadError("j.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nf 1 2 3 4\n", "has 4 vertices");
  expectReadError("k.off", "OFF\n3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 5\n", "vertex index");
  expectReadError("l.off", "PLY\n", "not an OFF file");
  expectReadError("m.vrml", "", "unknown mesh format");
  EXPECT_THROW(readMesh("/nonexistent/wendfit/x.ply"), Error);
}

}  // namespace
}  // namespace wendfit
