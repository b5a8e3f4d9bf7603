#include "io/ply_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/error.h"
#include "io/mesh_file_reader.h"
#include "io/format_fixtures.h"
#include "support/error_checks.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::putValue;

std::string readError(const std::string& data) {
  try {
    readPlyData(data, "scan.ply", nullptr);
  } catch (const Error& error) {
    return error.what();
  }
  return "(no error)";
}

using test::expectSameVectors;

TEST(PlyReader, EveryEncodingAndPropertyOrderGivesTheSamePoints) {
  const test::Cloud cloud = test::sphereCloud(50);
  // ascii with double properties (through the float64 alias), x y z last and
  // an extra element before the vertices.
  std::string ascii =
      "ply\r\nformat ascii 1.0\r\nelement camera 1\r\nproperty float view\r\nelement vertex 50\r\n"
      "property double nx\r\nproperty float64 ny\r\nproperty double nz\r\nproperty list uchar int extra\r\n"
      "property double x\r\nproperty double y\r\nproperty double z\r\nend_header\r\n0.5\r\n";
  for (size_t i = 0; i < 50; ++i) {
    char line[256];
    std::snprintf(line, sizeof line, "%.17g %.17g %.17g 2 7 8 %.17g %.17g %.17g\r\n", cloud.normals[3 * i],
                  cloud.normals[3 * i + 1], cloud.normals[3 * i + 2], cloud.positions[3 * i],
                  cloud.positions[3 * i + 1], cloud.positions[3 * i + 2]);
    ascii += line;
  }
  for (const std::string& data :
       {ascii, test::binaryPlyCloud(cloud, false), test::binaryPlyCloud(cloud, true)}) {
    PointSet points = readPlyData(data, "cloud.ply", nullptr);
    ASSERT_EQ(points.count, 50);
    expectSameVectors(points.positions, cloud.positions, "positions");
    // Outward normals, stored as read.
    expectSameVectors(points.normals, cloud.normals, "normals");
    EXPECT_FALSE(points.hasValues());
  }
}

TEST(PlyReader, IntegerAndDoublePropertiesBecomeNearestFloats) {
  std::string data =
      "ply\nformat binary_big_endian 1.0\nelement vertex 2\nproperty short x\nproperty uint32 y\n"
      "property double z\nproperty int8 nx\nproperty uchar ny\nproperty float64 nz\nend_header\n";
  putValue<short>(data, -300, true);
  putValue<unsigned>(data, 4000000001u, true);
  putValue<double>(data, 0.1, true);
  putValue<signed char>(data, -1, true);
  putValue<unsigned char>(data, 0, true);
  putValue<double>(data, 1.0 / 3.0, true);
  putValue<short>(data, 7, true);
  putValue<unsigned>(data, 0, true);
  putValue<double>(data, -2.5, true);
  putValue<signed char>(data, 0, true);
  putValue<unsigned char>(data, 255, true);
  putValue<double>(data, 0.0, true);
  PointSet points = readPlyData(data, "typed.ply", nullptr);
  ASSERT_EQ(points.count, 2);
  EXPECT_EQ(points.position(0)[0], -300.0f);
  EXPECT_EQ(points.position(0)[1], 4000000001.0f);  // rounded to the nearest float
  EXPECT_EQ(points.position(0)[2], 0.1f);
  EXPECT_EQ(points.normal(0)[0], -1.0f);
  EXPECT_EQ(points.normal(0)[2], 1.0f / 3.0f);
  EXPECT_EQ(points.position(1)[2], -2.5f);
  EXPECT_EQ(points.normal(1)[1], 255.0f);
}

TEST(PlyReader, MeshNormalsAreEstimatedAsThePly2ReaderDoes) {
  test::TempDir dir;
  for (bool quads : {false, true}) {
    const test::Mesh mesh = test::torusMesh(12, 7, quads);
    test::writeFile(dir.file("torus.ply2"), test::ply2Text(mesh));
    PointSet expected = readMeshFile(dir.file("torus.ply2"), nullptr);
    for (bool bigEndian : {false, true}) {
      PointSet points = readPlyData(test::binaryPlyMesh(mesh, bigEndian), "torus.ply", nullptr);
      expectSameVectors(points.positions, expected.positions, "positions");
      expectSameVectors(points.normals, expected.normals, "normals");
    }
  }
}

TEST(PlyReader, FacesMayComeBeforeVerticesAndNormalsInTheFileWin) {
  // A unit square in the xy plane as one quad, faces first, ascii.
  const std::string square =
      "ply\nformat ascii 1.0\nelement face 1\nproperty uchar flags\nproperty list uchar uint vertex_index\n"
      "element vertex 4\nproperty float x\nproperty float y\nproperty float z\nend_header\n"
      "9 4 0 1 2 3\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n";
  PointSet points = readPlyData(square, "square.ply", nullptr);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(points.normal(i)[0], 0.0f);
    EXPECT_EQ(points.normal(i)[1], 0.0f);
    EXPECT_EQ(points.normal(i)[2], 1.0f);
  }
  const std::string withNormals =
      "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float y\nproperty float z\n"
      "property float nx\nproperty float ny\nproperty float nz\nelement face 1\n"
      "property list uchar int vertex_indices\nend_header\n"
      "0 0 0 1 0 0\n1 0 0 1 0 0\n0 1 0 1 0 0\n3 0 1 2\n";
  PointSet given = readPlyData(withNormals, "given.ply", nullptr);
  EXPECT_EQ(given.normal(2)[0], 1.0f);
  EXPECT_EQ(given.normal(2)[2], 0.0f);
}

TEST(PlyReader, ConsoleMessagesHaveTheShapeOfTheToolsOwnReaders) {
  const std::string rewind(30, '\b');
  test::TempDir dir;
  const test::Cloud cloud = test::sphereCloud(3);
  test::writeFile(dir.file("c.ply"), test::binaryPlyCloud(cloud, false));
  std::FILE* out = std::tmpfile();
  readPlyFile(dir.file("c.ply"), out);
  const test::Mesh mesh = test::torusMesh(3, 3);
  readPlyData(test::binaryPlyMesh(mesh, false), "m.ply", out);
  std::rewind(out);
  std::string printed;
  for (int c; (c = std::fgetc(out)) != EOF;) printed.push_back(static_cast<char>(c));
  std::fclose(out);
  EXPECT_EQ(printed, "File read is started.\n3 points.\n" + rewind + " 0 points are read." + rewind +
                         "File read is done.        \n\n" + "File read is started. (Mesh file)\n9 points.\n" +
                         "18 faces.\n" + rewind + " 0 points are read." + rewind + "File read is done.        \n\n");
}

std::string cloudHeader(const std::string& format, int count, const std::string& properties) {
  return "ply\nformat " + format + " 1.0\nelement vertex " + std::to_string(count) + "\n" + properties +
         "end_header\n";
}

const std::string kXyzNormals =
    "property float x\nproperty float y\nproperty float z\nproperty float nx\nproperty float ny\n"
    "property float nz\n";

TEST(PlyReader, MalformedHeadersAreRefusedWithTheirReason) {
  struct Case {
    std::string data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", "scan.ply: the file is empty"},
      {"PLY\nformat ascii 1.0\n", "scan.ply:1: not a PLY file"},
      {"ply\nformat ascii 1.0\nelement vertex 1\n", "no end_header"},
      {"ply\nformat utf8 1.0\nend_header\n", "scan.ply:2: unknown format 'utf8'"},
      {"ply\nelement vertex 1\nproperty float x\nend_header\n", "no format line"},
      {"ply\nformat ascii 1.0\nproperty float x\nend_header\n", "property before any element"},
      {cloudHeader("ascii", 1, "property float16 x\n"), "scan.ply:4: unknown scalar type 'float16' of property 'x'"},
      {cloudHeader("ascii", 1, "property list float int x\n"), "count of type 'float'"},
      {cloudHeader("ascii", 1, "property float x\nproperty float z\n") + "1 2\n", "no property 'y'"},
      {cloudHeader("ascii", 1, "property float x\nproperty float y\nproperty float z\nproperty float nx\n"),
       "only some of nx, ny, nz"},
      {cloudHeader("ascii", 1, "property float x\nproperty float y\nproperty float z\n") + "1 2 3\n",
       "no normals (the file has no nx ny nz properties and no faces"},
      {cloudHeader("ascii", 0, kXyzNormals), "vertex element is empty"},
      {"ply\nformat ascii 1.0\nelement face 1\nend_header\n", "no vertex element"},
      {cloudHeader("binary_little_endian", 1000000, kXyzNormals) + std::string(240, '\0'),
       "declares 1000000 vertex records, more than the 240 bytes"},
      {cloudHeader("ascii", 5, kXyzNormals) + "0 0 0 1 0 0\n", "declares 5 vertex records"},
  };
  for (const Case& c : cases) {
    const std::string message = readError(c.data);
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    EXPECT_EQ(message.rfind("scan.ply:", 0), 0u) << message;
  }
}

TEST(PlyReader, BadDataIsRefusedWithThePlaceOfTheFault) {
  const std::string header = cloudHeader("binary_little_endian", 2, kXyzNormals);
  std::string truncated = header;
  for (int k = 0; k < 6; ++k) putValue(truncated, 1.0f, false);
  truncated += std::string(10, '\0');

  std::string nan = header;
  for (int k = 0; k < 12; ++k) putValue(nan, k == 7 ? std::numeric_limits<float>::quiet_NaN() : 1.0f, false);

  std::string huge = cloudHeader("binary_little_endian", 1,
                                 "property double x\nproperty double y\nproperty double z\nproperty double nx\n"
                                 "property double ny\nproperty double nz\n");
  for (int k = 0; k < 6; ++k) putValue(huge, k == 2 ? 1e300 : 1.0, false);

  const std::string meshHeader =
      "ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty float x\nproperty float y\n"
      "property float z\nelement face 1\nproperty list int int vertex_indices\nend_header\n";
  std::string vertices;
  for (int k = 0; k < 9; ++k) putValue(vertices, static_cast<float>(k % 4 == 0), false);
  auto face = [&](std::vector<int> list) {
    std::string data = meshHeader + vertices;
    for (int v : list) putValue(data, v, false);
    return data;
  };

  struct Case {
    std::string data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {truncated, "scan.ply:3: the header declares 2 vertex records, more than the 34 bytes"},
      {nan, "vertex 1 of 2: non-finite y"},
      {huge, "vertex 0 of 1: z = 1e+300 is beyond the float range"},
      {face({3, 0, 1, 3}), "face 0 of 1: vertex index 3 is out of range (expected 0..2)"},
      {face({3, 0, -1, 2}), "vertex index -1 is out of range"},
      {face({2, 0, 1}), "a face of 2 vertices"},
      {face({-5}), "negative list length -5"},
      {face({1000, 0, 1, 2}), "the data ends inside face 0 of 1"},
      {cloudHeader("ascii", 1, kXyzNormals) + "0 0 inf 1 0 0\n", "scan.ply:11: vertex 0 of 1: non-finite z"},
      {cloudHeader("ascii", 2, kXyzNormals) + "10000 0 0 1 0 0\n100000 1\n", "scan.ply:13: vertex 1 of 2: the file ends early"},
      {cloudHeader("ascii", 1, kXyzNormals) + "0 0 zero 1 0 0\n", "malformed number 'zero'"},
      {cloudHeader("ascii", 1, kXyzNormals + "property uchar red\n") + "0 0 0 1 0 0 256\n", "'256' does not fit"},
  };
  for (const Case& c : cases) {
    const std::string message = readError(c.data);
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace wendfit
