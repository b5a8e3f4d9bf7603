#include "io/mesh_file_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "support/error_checks.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::captureConsole;
using test::errorMessage;
using test::expectContainsAll;
using test::rewind30;

PointSet readText(const std::string& text) {
  test::TempDir dir;
  std::string path = dir.file("mesh.ply2");
  test::writeFile(path, text);
  return readMeshFile(path, nullptr);
}

void expectNormal(const PointSet& set, int i, float x, float y, float z) {
  const float tolerance = 1e-6f;
  EXPECT_NEAR(set.normal(i)[0], x, tolerance) << "vertex " << i;
  EXPECT_NEAR(set.normal(i)[1], y, tolerance) << "vertex " << i;
  EXPECT_NEAR(set.normal(i)[2], z, tolerance) << "vertex " << i;
}

TEST(MeshFileReader, SingleTriangleNormalFollowsRightHandRule) {
  PointSet set = readText("3\n1\n0 0 0\n1 0 0\n0 1 0\n3 0 1 2\n");
  ASSERT_EQ(set.count, 3);
  EXPECT_FALSE(set.hasValues());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(set.normal(i)[0], 0.0f);
    EXPECT_EQ(set.normal(i)[1], 0.0f);
    EXPECT_EQ(set.normal(i)[2], 1.0f);
  }
  EXPECT_EQ(set.position(1)[0], 1.0f);
  // Listing it the other way round turns the normal around.
  PointSet reversed = readText("3 1 0 0 0 1 0 0 0 1 0 3 0 2 1");
  EXPECT_EQ(reversed.normal(0)[2], -1.0f);
}

TEST(MeshFileReader, FaceNormalsWeighByArea) {
  // Vertex 0 is shared by a triangle of area 2 in the xy plane (normal +z)
  // and one of area 1 in the xz plane whose order gives -y.
  PointSet set = readText(
      "5 2\n"
      "0 0 0\n2 0 0\n0 2 0\n"
      "1 0 0\n0 0 2\n"
      "3 0 1 2\n"
      "3 0 3 4\n");
  const float s = 1.0f / std::sqrt(5.0f);
  expectNormal(set, 0, 0, -s, 2 * s);
  expectNormal(set, 1, 0, 0, 1);
  expectNormal(set, 3, 0, -1, 0);
}

TEST(MeshFileReader, ZeroNormalsForLooseCancellingAndDegenerateVertices) {
  PointSet set = readText(
      "7 4\n"
      "0 0 0\n1 0 0\n0 1 0\n"  // 0-2: one triangle listed both ways
      "5 5 5\n"                // 3: in no face
      "0 0 3\n1 1 3\n2 2 3\n"  // 4-6: collinear
      "3 0 1 2\n3 0 2 1\n"
      "3 4 5 6\n"
      "3 4 4 5\n");
  for (int i = 0; i < 7; ++i) expectNormal(set, i, 0, 0, 0);
}

TEST(MeshFileReader, FaceListedTwiceCountsTwice) {
  PointSet once = readText("5 2  0 0 0  2 0 0  0 2 0  1 0 0  0 0 2  3 0 1 2  3 0 3 4");
  PointSet twice = readText("5 3  0 0 0  2 0 0  0 2 0  1 0 0  0 0 2  3 0 1 2  3 0 3 4  3 0 3 4");
  // The xz triangle now weighs 2 against 2: (0, -1, 1) / sqrt(2).
  const float s = 1.0f / std::sqrt(2.0f);
  expectNormal(twice, 0, 0, -s, s);
  EXPECT_NE(once.normal(0)[1], twice.normal(0)[1]);
}

TEST(MeshFileReader, PolygonFacesAddTheirWholeFanToEveryVertex) {
  // A unit square in the xy plane as one quad: every corner gets +z, also
  // corner 1, which lies in only one of the fan triangles.
  PointSet quad = readText("4 1  0 0 0  1 0 0  1 1 0  0 1 0  4 0 1 2 3");
  for (int i = 0; i < 4; ++i) expectNormal(quad, i, 0, 0, 1);

  // The quad (area 2, +z) shares vertex 1 with a triangle of area 1 whose
  // normal is -y: the polygon weighs with its whole area.
  PointSet mixed = readText(
      "6 2\n"
      "0 0 0\n2 0 0\n2 1 0\n0 1 0\n"
      "3 0 0\n2 0 2\n"
      "4 0 1 2 3\n"
      "3 1 4 5\n");
  const float s = 1.0f / std::sqrt(5.0f);
  expectNormal(mixed, 1, 0, -s, 2 * s);
  expectNormal(mixed, 3, 0, 0, 1);

  // A non-planar pentagon equals its explicit fan of triangles at the hub.
  PointSet pentagon = readText("5 1  0 0 0  2 0 1  3 2 0  1 3 2  -1 1 0  5 0 1 2 3 4");
  PointSet fan = readText("5 3  0 0 0  2 0 1  3 2 0  1 3 2  -1 1 0  3 0 1 2  3 0 2 3  3 0 3 4");
  for (int k = 0; k < 3; ++k) EXPECT_FLOAT_EQ(pentagon.normal(0)[k], fan.normal(0)[k]);
}

TEST(MeshFileReader, PrintsMessagesAndProgressForVertices) {
  test::TempDir dir;
  std::string text = "20001 1\n";
  for (int i = 0; i < 20001; ++i) text += std::to_string(i % 7) + " " + std::to_string(i % 5) + " 0\n";
  text += "3 0 1 2\n";
  test::writeFile(dir.file("m.ply2"), text);
  std::string console = captureConsole([&](std::FILE* c) { readMeshFile(dir.file("m.ply2"), c); });
  std::string expected = "File read is started. (Mesh file)\n20001 points.\n1 faces.\n";
  for (int i : {0, 10000, 20000}) expected += rewind30() + " " + std::to_string(i) + " points are read.";
  expected += rewind30() + "File read is done.        \n\n";
  EXPECT_EQ(console, expected);
}

TEST(MeshFileReader, FlatFaceListGivesTheSameNormalsAsTheFile) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> coordinate(-5.0f, 5.0f);
  std::uniform_int_distribution<int> vertex(0, 29), size(3, 6);
  std::string text = "30 40\n";
  PointSet set;
  set.allocate(30);
  for (int i = 0; i < 30; ++i) {
    // Whole hundredths print and parse exactly.
    float p[3];
    for (float& c : p) c = std::round(coordinate(rng) * 100.0f) / 100.0f;
    set.setPosition(i, p[0], p[1], p[2]);
    char line[100];
    std::snprintf(line, sizeof line, "%.2f %.2f %.2f\n", p[0], p[1], p[2]);
    text += line;
  }
  std::vector<int> starts{0}, indices;
  for (int f = 0; f < 40; ++f) {
    int k = size(rng);
    text += std::to_string(k);
    for (int j = 0; j < k; ++j) {
      indices.push_back(vertex(rng));
      text += " " + std::to_string(indices.back());
    }
    text += "\n";
    starts.push_back(static_cast<int>(indices.size()));
  }
  PointSet fromFile = readText(text);
  estimateVertexNormals(set, starts, indices);
  EXPECT_EQ(fromFile.positions, set.positions);
  EXPECT_EQ(fromFile.normals, set.normals);

  std::vector<int> badIndices = indices;
  badIndices[5] = 30;
  expectContainsAll(errorMessage([&] { estimateVertexNormals(set, starts, badIndices); }),
                    {"vertex index 30", "out of range"});
  EXPECT_EQ(fromFile.normals, set.normals);  // left untouched
}

TEST(MeshFileReader, BadFilesAreRejectedWithFileAndProblem) {
  test::TempDir dir;
  std::string path = dir.file("bad.ply2");
  const std::string tri = "0 0 0\n1 0 0\n0 1 0\n";
  struct Case {
    std::string text;
    std::initializer_list<std::string> parts;
  };
  const Case cases[] = {
      {"", {"bad.ply2:1:", "unexpected end of file", "the number of vertices"}},
      {"3\n", {"bad.ply2:2:", "unexpected end of file", "the number of faces"}},
      {"-3 1\n", {"bad.ply2:1:", "negative vertex count -3"}},
      {"3 -1\n" + tri, {"bad.ply2:1:", "negative face count -1"}},
      {"0 0\n", {"bad.ply2:1:", "no vertices"}},
      {"3 x\n" + tri, {"bad.ply2:1:", "malformed integer 'x'", "the number of faces"}},
      {"3 1\n" + tri + "3 0 1 3\n", {"bad.ply2:5:", "vertex index 3 of face 0 is out of range", "0..2"}},
      {"3 1\n" + tri + "3 0 -1 2\n", {"bad.ply2:5:", "vertex index -1 of face 0"}},
      {"3 1\n" + tri + "2 0 1 0 0\n", {"bad.ply2:5:", "face 0 has 2 vertices", "expected at least 3"}},
      {"3 2\n" + tri + "3 0 1 2\n3 0   1\n",
       {"bad.ply2:7:", "unexpected end of file", "a vertex index of face 1"}},
      {"3 1\n0 0 0\n1 0 0\n0 inf 0\n3 0 1 2\n", {"bad.ply2:4:", "non-finite", "the y coordinate of vertex 2"}},
      {"3 1\n0 0 0\n1 0 0\n0 1 0 0\n3 0 1 2\n", {"bad.ply2:4:", "face 0 has 0 vertices"}},
  };
  for (const Case& c : cases) {
    test::writeFile(path, c.text);
    expectContainsAll(errorMessage([&] { readMeshFile(path, nullptr); }), c.parts);
  }
  expectContainsAll(errorMessage([&] { readMeshFile(dir.file("none.ply2"), nullptr); }),
                    {"none.ply2", "cannot open"});
}

TEST(MeshFileReader, CountsLargerThanTheFileAreRefusedBeforeAllocating) {
  test::TempDir dir;
  std::string path = dir.file("huge.ply2");
  test::writeFile(path, "1000000000 1\n0 0 0\n");
  expectContainsAll(errorMessage([&] { readMeshFile(path, nullptr); }),
                    {"huge.ply2:1:", "1000000000 vertices and 1 faces are more than the file can hold"});
  test::writeFile(path, "3 2000000000\n0 0 0 1 0 0 0 1 0 3 0 1 2\n");
  expectContainsAll(errorMessage([&] { readMeshFile(path, nullptr); }), {"huge.ply2:1:", "2000000000 faces"});
}

}  // namespace
}  // namespace wendfit
