#include "io/input_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "io/format_fixtures.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

void expectSamePoints(const PointSet& a, const PointSet& b, const std::string& what) {
  ASSERT_EQ(a.count, b.count) << what;
  for (size_t i = 0; i < a.positions.size(); ++i) ASSERT_EQ(a.positions[i], b.positions[i]) << what << " " << i;
  for (size_t i = 0; i < a.normals.size(); ++i) ASSERT_EQ(a.normals[i], b.normals[i]) << what << " " << i;
}

TEST(InputFormat, Ply2NameFirstThenThePlyLineThenTheSuffix) {
  struct Case {
    std::string name;
    std::string head;
    InputFormat expected;
  };
  const std::vector<Case> cases = {
      {"shape.ply2", "ply\n", InputFormat::kPly2Mesh},
      {"shape.ply2.txt", "", InputFormat::kPly2Mesh},
      {"SHAPE.PLY2", "4 4\n", InputFormat::kPointFile},  // as the tool always had it
      {"scan.dat", "ply\nform", InputFormat::kPly},
      {"scan.xyz", "ply\r\nfor", InputFormat::kPly},
      {"scan", "plyx\n", InputFormat::kPointFile},
      {"scan.PLY", "garbage", InputFormat::kPly},  // reported as a bad PLY, never misread
      {"scan.xyz", "1 2 3", InputFormat::kXyz},
      {"scan.XYZN", "", InputFormat::kXyz},
      {"scan.pwn", "", InputFormat::kXyz},
      {"scan.npts", "", InputFormat::kXyz},
      {"bunny.off", "OFF\n", InputFormat::kOff},
      {"bunny.Obj", "v 1", InputFormat::kObj},
      {"torus.pts", "4000\n", InputFormat::kPointFile},
      {"off", "", InputFormat::kPointFile},
  };
  for (const Case& c : cases) EXPECT_EQ(detectInputFormat(c.name, c.head), c.expected) << c.name;
}

TEST(ReadAnyInput, TheSameSurfaceInEveryMeshFormatGivesTheSamePoints) {
  test::TempDir dir;
  const test::Mesh mesh = test::torusMesh(9, 5);
  test::writeFile(dir.file("t.ply2"), test::ply2Text(mesh));
  test::writeFile(dir.file("t.ply"), test::binaryPlyMesh(mesh, false));
  test::writeFile(dir.file("t.off"), test::offText(mesh));
  test::writeFile(dir.file("t.obj"), test::objText(mesh));
  const PointSet reference = readAnyInput(dir.file("t.ply2"), nullptr);
  for (const char* name : {"t.ply", "t.off", "t.obj"}) {
    expectSamePoints(readAnyInput(dir.file(name), nullptr), reference, name);
  }
}

TEST(ReadAnyInput, OnlyTheToolsOwnPointFileNegatesItsNormals) {
  test::TempDir dir;
  const test::Cloud cloud = test::sphereCloud(30);
  test::writeFile(dir.file("s.pts"), test::pointFileText(cloud));  // inward
  test::writeFile(dir.file("s.ply"), test::binaryPlyCloud(cloud, true));
  test::writeFile(dir.file("s.xyz"), test::xyzText(cloud));
  const PointSet own = readAnyInput(dir.file("s.pts"), nullptr);
  for (size_t i = 0; i < own.normals.size(); ++i) ASSERT_EQ(own.normals[i], cloud.normals[i]);
  expectSamePoints(readAnyInput(dir.file("s.ply"), nullptr), own, "ply");
  expectSamePoints(readAnyInput(dir.file("s.xyz"), nullptr), own, "xyz");
}

TEST(ReadAnyInput, InputsWithoutASingleNonZeroNormalAreRefused) {
  test::TempDir dir;
  const std::vector<std::pair<std::string, std::string>> files = {
      {"zero.pts", "2\n0 0 0\n1 1 1\n0 0 0\n-0 0 0\n"},
      {"zero.xyz", "0 0 0 0 0 0\n1 1 1 0 0 0\n"},
      {"flat.ply2", "3\n1\n0 0 0\n1 0 0\n2 0 0\n3 0 1 2\n"},  // a degenerate face
      {"bare.off", "OFF\n3 0 0\n0 0 0\n1 0 0\n0 1 0\n"},      // no faces
  };
  for (const auto& [name, contents] : files) {
    test::writeFile(dir.file(name), contents);
    try {
      readAnyInput(dir.file(name), nullptr);
      ADD_FAILURE() << name << " was accepted";
    } catch (const Error& error) {
      EXPECT_EQ(std::string(error.what()), dir.file(name) + ": all " + (name == "zero.xyz" || name == "zero.pts" ? "2" : "3") +
                                               " normals have zero length; nothing to fit (expected oriented points, "
                                               "or a mesh whose faces give its vertices normals)");
    }
  }
}

TEST(ReadAnyInput, AFileThatCannotBeOpenedIsNamed) {
  for (const char* name : {"/nonexistent/dir/scan.ply", "/nonexistent/dir/scan.xyz", "/nonexistent/x.obj"}) {
    try {
      readAnyInput(name, nullptr);
      ADD_FAILURE() << name;
    } catch (const Error& error) {
      EXPECT_EQ(std::string(error.what()).rfind(std::string(name) + ": cannot open", 0), 0u) << error.what();
    }
  }
}

}  // namespace
}  // namespace wendfit
