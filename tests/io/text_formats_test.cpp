// The readers of other programs' text formats: XYZ point lists, OFF and OBJ
// meshes, and the decimal numbers they share.

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "core/error.h"
#include "io/format_fixtures.h"
#include "core/line_cursor.h"
#include "io/mesh_file_reader.h"
#include "io/obj_reader.h"
#include "io/off_reader.h"
#include "io/xyz_reader.h"
#include "support/error_checks.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using Reader = std::function<PointSet(std::string_view, const std::string&, std::FILE*)>;

std::string readError(const Reader& read, const std::string& data, const std::string& name) {
  try {
    read(data, name, nullptr);
  } catch (const Error& error) {
    return error.what();
  }
  return "(no error)";
}

using test::expectSameVectors;

TEST(DecimalNumbers, ParseAsOtherProgramsPrintThem) {
  float f = 7.0f;
  EXPECT_EQ(parseDecimalFloat("+1.5", &f), NumberStatus::kOk);
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(parseDecimalFloat("-.25e1", &f), NumberStatus::kOk);
  EXPECT_EQ(f, -2.5f);
  EXPECT_EQ(parseDecimalFloat("0.1", &f), NumberStatus::kOk);
  EXPECT_EQ(f, 0.1f);
  // Underflow goes to the nearest float, down to a signed zero.
  EXPECT_EQ(parseDecimalFloat("-1e-60", &f), NumberStatus::kOk);
  EXPECT_EQ(f, 0.0f);
  EXPECT_TRUE(std::signbit(f));
  EXPECT_EQ(parseDecimalFloat("1e-400", &f), NumberStatus::kOk);
  EXPECT_EQ(f, 0.0f);
  EXPECT_EQ(parseDecimalFloat("1e39", &f), NumberStatus::kOutOfRange);
  EXPECT_EQ(parseDecimalFloat("-1e400", &f), NumberStatus::kOutOfRange);
  EXPECT_EQ(parseDecimalFloat("nan", &f), NumberStatus::kNonFinite);
  EXPECT_EQ(parseDecimalFloat("-inf", &f), NumberStatus::kNonFinite);
  for (const char* bad : {"", "-", "--1", "+-1", "1.5x", "0x10", "1,5", "e5"}) {
    EXPECT_EQ(parseDecimalFloat(bad, &f), NumberStatus::kMalformed) << bad;
  }
  double d = 0.0;
  EXPECT_EQ(parseDecimalDouble("1e300", &d), NumberStatus::kOk);
  EXPECT_EQ(d, 1e300);

  long long i = 0;
  EXPECT_TRUE(parseDecimalInt("-9223372036854775808", &i));
  EXPECT_EQ(i, INT64_MIN);
  EXPECT_TRUE(parseDecimalInt("+010", &i));
  EXPECT_EQ(i, 10);  // decimal, unlike the tool's own formats
  EXPECT_FALSE(parseDecimalInt("9223372036854775808", &i));
  EXPECT_FALSE(parseDecimalInt("1.0", &i));
  EXPECT_FALSE(parseDecimalInt("-", &i));
}

TEST(XyzReader, ReadsSixColumnsAndSkipsExtrasCommentsAndBlankLines) {
  const std::string data =
      "# x y z nx ny nz r g b\n\n1 2 3 0 0 1 255 0 0\r\n  \t\n-1.5e1\t2 3 0.5 0.5 0 # a remark\n";
  PointSet points = readXyzData(data, "scan.xyz", nullptr);
  ASSERT_EQ(points.count, 2);
  expectSameVectors(points.positions, {1, 2, 3, -15, 2, 3}, "positions");
  expectSameVectors(points.normals, {0, 0, 1, 0.5f, 0.5f, 0}, "normals");

  const test::Cloud cloud = test::sphereCloud(40);
  PointSet sphere = readXyzData(test::xyzText(cloud), "sphere.xyz", nullptr);
  expectSameVectors(sphere.positions, cloud.positions, "sphere positions");
  expectSameVectors(sphere.normals, cloud.normals, "sphere normals");
}

TEST(XyzReader, BadLinesAreRefusedWithTheirLine) {
  struct Case {
    std::string data;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"", "scan.xyz: the file is empty"},
      {"# only a remark\n\n", "scan.xyz: no points"},
      {"0 0 0 0 0 1\n1 2 3\n", "scan.xyz:2: point 1 has no normal; normals are required"},
      {"0 0 0 0 0\n", "scan.xyz:1: point 0 has 5 numbers (expected six numbers"},
      {"0 0 nan 0 0 1\n", "scan.xyz:1: non-finite z 'nan' of point 0"},
      {"\n0 0 0 0 inf 1\n", "scan.xyz:2: non-finite ny"},
      {"1e39 0 0 0 0 1\n", "scan.xyz:1: x '1e39' of point 0 is beyond the float range"},
      {"0 0 0 0 0 1\n0;0;0;0;0;1\n", "scan.xyz:2: malformed number '0;0;0;0;0;1' as x of point 1"},
  };
  for (const Case& c : cases) {
    const std::string message = readError(readXyzData, c.data, "scan.xyz");
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
  }
}

// The same surface through the .ply2 reader, for comparison.
PointSet readAsPly2(const test::Mesh& mesh) {
  test::TempDir dir;
  test::writeFile(dir.file("m.ply2"), test::ply2Text(mesh));
  return readMeshFile(dir.file("m.ply2"), nullptr);
}

TEST(MeshTextReaders, OffAndObjEstimateNormalsAsThePly2ReaderDoes) {
  for (bool quads : {false, true}) {
    const test::Mesh mesh = test::torusMesh(10, 6, quads);
    const PointSet expected = readAsPly2(mesh);
    for (const PointSet& points :
         {readOffData(test::offText(mesh), "t.off", nullptr), readObjData(test::objText(mesh), "t.obj", nullptr)}) {
      expectSameVectors(points.positions, expected.positions, "positions");
      expectSameVectors(points.normals, expected.normals, "normals");
    }
  }
}

TEST(MeshTextReaders, OffVariantsAndLayoutsAreRead) {
  // Keyword and counts on one line, colours after vertices and faces, the
  // keyword left out, comments anywhere.
  const std::vector<std::string> files = {
      "OFF 3 1 0\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n",
      "COFF\n3 1 3\n0 0 0 255 0 0 255\n1 0 0 0 255 0 255\n0 1 0 0 0 255 255\n3 0 1 2 0.5 0.5 0.5\n",
      "# made by hand\n3 1 0 # counts\n\n0 0 0\n1 0 0 # second\n0 1 0\n3 0 1 2\n",
  };
  for (const std::string& data : files) {
    PointSet points = readOffData(data, "tri.off", nullptr);
    ASSERT_EQ(points.count, 3) << data;
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(points.normal(i)[2], 1.0f) << data;
      EXPECT_EQ(points.normal(i)[0], 0.0f) << data;
    }
    EXPECT_EQ(points.position(1)[0], 1.0f);
  }
}

TEST(MeshTextReaders, ObjOfVerticesAndNormalsAloneIsAPointCloud) {
  const std::string data =
      "v 0 0 0\nvn 0 0 1\nv 1 0 0 0.5 0.5 0.5\nvn 1 0 0\nv 0 1 0\nvn 0 -1 0\nvt 0.5 0.5\ng group\n";
  PointSet points = readObjData(data, "cloud.obj", nullptr);
  ASSERT_EQ(points.count, 3);
  expectSameVectors(points.positions, {0, 0, 0, 1, 0, 0, 0, 1, 0}, "positions");
  expectSameVectors(points.normals, {0, 0, 1, 1, 0, 0, 0, -1, 0}, "normals");

  // With faces the vn lines are not used: the normals come from the faces,
  // and f entries take every slash form.
  PointSet mesh = readObjData(data + "f 1//1 2/1/2 3/1\n", "mesh.obj", nullptr);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(mesh.normal(i)[2], 1.0f);
}

TEST(MeshTextReaders, BadMeshesAreRefusedWithTheirLine) {
  struct Case {
    Reader read;
    std::string data;
    std::string expected;
  };
  const std::string tri = "0 0 0\n1 0 0\n0 1 0\n";
  const std::vector<Case> cases = {
      {readOffData, "", "m: the file is empty"},
      {readOffData, "4OFF\n1 0 0\n", "m:1: not an OFF file: '4OFF'"},
      {readOffData, "OFF\n-3 1 0\n", "m:2: vertex count -3 is out of range"},
      {readOffData, "OFF\n0 0 0\n", "m:2: vertex count 0 is out of range"},
      {readOffData, "OFF\n3\n" + tri, "m:2: the line ends early (expected the face count"},
      {readOffData, "OFF\n3000 1 0\n" + tri + "3 0 1 2\n", "m:3: 3000 vertices are more than the file can hold"},
      {readOffData, "OFF\n3 1 0\n" + tri + "3 0 1 3\n", "m:6: vertex index 3 of face 0 is out of range (expected 0..2)"},
      {readOffData, "OFF\n3 1 0\n" + tri + "2 0 1\n", "m:6: face 0 has 2 vertices"},
      {readOffData, "OFF\n3 2 0\n" + tri + "3 0 1 2\n", "unexpected end of file (expected the vertex count of face 1)"},
      {readOffData, "OFF\n3 1 0\n0 0 0\n1 0\n0 1 0\n3 0 1 2\n", "m:4: the line ends early (expected x y z on the line of vertex 1)"},
      {readOffData, "OFF\n3 1 0\n0 0 0\n1 0 -nan\n0 1 0\n3 0 1 2\n", "m:4: non-finite number '-nan'"},
      {readObjData, "", "m: the file is empty"},
      {readObjData, "# nothing\nvn 0 0 1\n", "m: no vertices"},
      {readObjData, "v " + std::string("0 0 0\nv 1 0 0\nv 0 1 0\n") + "f 1 2 4\n",
       "m:4: vertex index 4 of face 0 is out of range (expected 1..3, or -1..-3"},
      {readObjData, "v 0 0 0\nv 1 0 0\nf 1 2 -3\nv 0 1 0\n", "m:3: vertex index -3 of face 0 is out of range"},
      {readObjData, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 0 1 2\n", "vertex index 0 of face 0 is out of range"},
      {readObjData, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2\n", "m:4: face 0 has 2 vertices"},
      {readObjData, "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 a/2 3\n", "malformed face entry 'a/2'"},
      {readObjData, "v 0 0 0\nv 1 0 0\n", "normals are required"},
      {readObjData, "v 0 0 0\nv 1 0 0\nvn 0 0 1\n", "2 vertices but 1 normals"},
      {readObjData, "v 0 0\nvn 0 0 1\n", "m:1: the line ends early (expected x y z of vertex 1)"},
  };
  for (const Case& c : cases) {
    const std::string message = readError(c.read, c.data, "m");
    EXPECT_NE(message.find(c.expected), std::string::npos) << message;
  }
}

}  // namespace
}  // namespace wendfit
