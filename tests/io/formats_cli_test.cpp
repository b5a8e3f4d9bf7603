// End-to-end checks of the input formats through the real `wendfit`: the
// same surface or the same points in any format give the same result file,
// and each bad input gives one message, status 1 and no result file.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "io/format_fixtures.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::CommandResult;
using test::TempDir;

CommandResult runWendfit(const std::string& arguments) {
  return test::runCommand(test::executable("wendfit") + " " + arguments);
}

// Fits `input` with 3 levels and returns the result file ("" on failure).
std::string fitResult(const TempDir& dir, const std::string& input, const std::string& options = "") {
  const std::string output = dir.file(input + ".fn");
  CommandResult run = runWendfit(options + " " + dir.file(input) + " " + output + " 3");
  EXPECT_EQ(run.status, 0) << input << ": " << run.err;
  return test::fileExists(output) ? test::readFile(output) : std::string();
}

TEST(WendfitFormats, TheSameSurfaceInEveryMeshFormatGivesTheSameResultFile) {
  TempDir dir;
  const test::Mesh mesh = test::torusMesh(16, 8);
  test::writeFile(dir.file("torus.ply2"), test::ply2Text(mesh));
  test::writeFile(dir.file("torus.ply"), test::binaryPlyMesh(mesh, false));
  test::writeFile(dir.file("torus.off"), test::offText(mesh));
  test::writeFile(dir.file("torus.obj"), test::objText(mesh));
  const std::string reference = fitResult(dir, "torus.ply2");
  ASSERT_FALSE(reference.empty());
  for (const char* input : {"torus.ply", "torus.off", "torus.obj"}) {
    EXPECT_EQ(fitResult(dir, input), reference) << input;
  }
}

TEST(WendfitFormats, TheSamePointsInEveryPointFormatGiveTheSameResultFile) {
  TempDir dir;
  const test::Cloud cloud = test::sphereCloud(200);
  test::writeFile(dir.file("sphere.pts"), test::pointFileText(cloud));  // normals inward
  test::writeFile(dir.file("sphere.ply"), test::binaryPlyCloud(cloud, true));
  test::writeFile(dir.file("sphere.xyz"), test::xyzText(cloud));
  test::Cloud inward = cloud;
  for (float& n : inward.normals) n = -n;
  test::writeFile(dir.file("inward.ply"), test::binaryPlyCloud(inward, false));
  const std::string reference = fitResult(dir, "sphere.pts");
  ASSERT_FALSE(reference.empty());
  EXPECT_EQ(fitResult(dir, "sphere.ply"), reference);
  EXPECT_EQ(fitResult(dir, "sphere.xyz"), reference);
  EXPECT_EQ(fitResult(dir, "inward.ply", "--flip-normals"), reference);
}

TEST(WendfitFormats, EveryBadInputGivesOneMessageNamingTheFileAndNoResult) {
  TempDir dir;
  const std::string xyzHeader =
      "property float x\nproperty float y\nproperty float z\nproperty float nx\nproperty float ny\n"
      "property float nz\n";
  auto binaryCloud = [&](int declared, const std::vector<float>& values) {
    std::string data = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(declared) + "\n" +
                       xyzHeader + "end_header\n";
    for (float v : values) test::putValue(data, v, false);
    return data;
  };
  const std::string cutMesh = test::binaryPlyMesh(test::torusMesh(2, 2), false);
  std::vector<float> sixPoints;
  for (int i = 0; i < 36; ++i) sixPoints.push_back(static_cast<float>(i % 5));
  std::vector<float> withNan = sixPoints;
  withNan[13] = std::numeric_limits<float>::quiet_NaN();

  struct Case {
    std::string name;
    std::string contents;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"truncated.ply", binaryCloud(6, sixPoints).substr(0, 200), "it is truncated"},
      {"cutmesh.ply", cutMesh.substr(0, cutMesh.size() - 5), "the data ends inside face 7 of 8"},
      {"counts.ply", binaryCloud(1000, sixPoints), "declares 1000 vertex records"},
      {"type.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty half x\nend_header\n0\n",
       "unknown scalar type 'half'"},
      {"noz.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nend_header\n0 0\n",
       "no property 'z'"},
      {"nan.ply", binaryCloud(6, withNan), "non-finite y"},
      {"inf.xyz", "0 0 0 0 0 1\n1 inf 0 0 0 1\n", "non-finite y"},
      {"nonormals.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                        "property float z\nend_header\n0 0 0\n", "no normals (the file has no nx ny nz"},
      {"nofaces.ply", "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
                      "property float z\nelement face 0\nproperty list uchar int vertex_indices\n"
                      "end_header\n0 0 0\n", "properties and no faces"},
      {"zero.xyz", "0 0 0 0 0 0\n1 2 3 0 0 0\n", "normals have zero length"},
      {"index.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 7\n", "vertex index 7 of face 0 is out of range"},
      {"empty.ply", "", "the file is empty"},
      {"empty.obj", "", "the file is empty"},
      {"empty.off", "", "the file is empty"},
      {"empty.xyz", "", "the file is empty"},
  };
  for (const Case& c : cases) {
    test::writeFile(dir.file(c.name), c.contents);
    const std::string output = dir.file("out.fn");
    CommandResult run = runWendfit(dir.file(c.name) + " " + output + " 2");
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_EQ(run.err.rfind("wendfit: error: " + dir.file(c.name), 0), 0u) << c.name << ": " << run.err;
    EXPECT_NE(run.err.find(c.expected), std::string::npos) << c.name << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(test::fileExists(output)) << c.name;
  }
}

TEST(WendfitFormats, HelpDocumentsTheInputFormats) {
  CommandResult help = runWendfit("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* word : {".ply", ".xyz", ".off", ".obj", "--flip-normals", "binary_little_endian"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace wendfit
