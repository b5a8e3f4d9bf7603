// End-to-end tests of the `wendfit` executable on kilobyte-sized inputs.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "io/function_file_reader.h"
#include "io/mesh_data.h"
#include "mesh/mesh_topology.h"
#include "support/test_support.h"

namespace wendfit {
namespace {

using test::CommandResult;
using test::TempDir;

const std::string kBackspaces(30, '\b');

std::string wendfit(const std::string& arguments) {
  return test::executable("wendfit") + " " + arguments;
}

// Points on a small sphere of radius 2 in the point file format (normals
// pointing inward, as that format stores them).
std::string spherePointFile(int count) {
  std::ostringstream text;
  text << count << "\n";
  std::vector<double> normals;
  for (int i = 0; i < count; ++i) {
    double n[3];
    test::spiralPoint(i, count, n);
    text << 2 * n[0] << " " << 2 * n[1] << " " << 2 * n[2] << "\n";
    normals.insert(normals.end(), {-n[0], -n[1], -n[2]});
  }
  for (size_t i = 0; i < normals.size(); i += 3) {
    text << normals[i] << " " << normals[i + 1] << " " << normals[i + 2] << "\n";
  }
  return text.str();
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

TEST(WendfitTool, UsageAndHelp) {
  CommandResult none = test::runCommand(wendfit(""));
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("usage: wendfit"), std::string::npos);
  EXPECT_TRUE(none.out.empty());

  CommandResult help = test::runCommand(wendfit("--help"));
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: wendfit"), std::string::npos);
  EXPECT_TRUE(help.err.empty());

  CommandResult unknown = test::runCommand(wendfit("a b 3 --bogus"));
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("--bogus"), std::string::npos);
}

// The command line refuses 0 levels; the run sequence itself still writes
// the empty function.
TEST(WendfitRun, ZeroLevelsPrintsTheRunSequenceAndWritesAnEmptyFunction) {
  TempDir dir;
  test::writeFile(dir.file("in.pts"), "2\n0 0 0\n10 4 2\n0 0 1\n1 0 0\n");
  RunOptions options;
  options.input = dir.file("in.pts");
  options.output = dir.file("out.fn");
  options.levels = 0;
  std::FILE* console = std::tmpfile();
  ASSERT_NE(console, nullptr);
  runFit(options, console, nullptr);
  std::string transcript(static_cast<size_t>(std::ftell(console)), '\0');
  std::rewind(console);
  transcript.resize(std::fread(transcript.data(), 1, transcript.size(), console));
  std::fclose(console);
  std::string expected = "File read is started.\n2 points.\n" + kBackspaces + " 0 points are read." +
                         kBackspaces + " 0 normals are read." + kBackspaces +
                         "File read is done.        \n\n" + "Octree construction is Fnished.\n\n" +
                         "Fitting time is 0 sec.\n\n" + "File write is started.\n" +
                         "0 basis functions.\n" + kBackspaces + "File write is done.        \n\n";
  EXPECT_EQ(transcript, expected);
  // Rescaled by 2: x spans 0..20, y 0..8, z 0..4; the box grows by 1.5.
  EXPECT_EQ(test::readFile(dir.file("out.fn")),
            "-5.000000 -2.000000 -1.000000\n25.000000 10.000000 5.000000\n0\n0.000000\n");
}

TEST(WendfitTool, EveryLevelPrintsItsLinesAndTheResultListsItsFunctions) {
  TempDir dir;
  test::writeFile(dir.file("sphere.pts"), spherePointFile(300));
  CommandResult run =
      test::runCommand(wendfit(dir.file("sphere.pts") + " " + dir.file("out.fn") + " 3"));
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> console = lines(run.out);
  long total = 0;
  for (int level = 1; level <= 3; ++level) {
    std::string head = "Level " + std::to_string(level) + ": ";
    auto at = std::find_if(console.begin(), console.end(),
                           [&](const std::string& l) { return l.rfind(head, 0) == 0; });
    ASSERT_NE(at, console.end()) << "no line for level " << level;
    int centres = std::stoi(at->substr(head.size()));
    ASSERT_LT(at + 4, console.end());
    EXPECT_EQ(at[1], std::to_string(centres) + " basis functions");
    EXPECT_EQ(at[2], "Local fitting");
    EXPECT_EQ(at[3], "Global fitting");
    EXPECT_EQ(at[4].rfind("Non-zero element in the matrix; ", 0), 0u);
    total += centres;
  }
  std::vector<std::string> result = lines(test::readFile(dir.file("out.fn")));
  ASSERT_GE(result.size(), 4u);
  EXPECT_EQ(std::stol(result[2]), total);
  EXPECT_EQ(result.size(), static_cast<size_t>(total) + 4);
  EXPECT_EQ(result[3], "0.000000");
}

TEST(WendfitTool, ReaderIsChosenByPly2AnywhereInTheName) {
  TempDir dir;
  const std::string mesh = "4 4\n0 0 0\n1 0 0\n0 1 0\n0 0 1\n3 0 2 1\n3 0 1 3\n3 1 2 3\n3 0 3 2\n";
  for (std::string name : {"shape.ply2.txt", "x.ply2b"}) {
    test::writeFile(dir.file(name), mesh);
    CommandResult run = test::runCommand(wendfit(dir.file(name) + " " + dir.file("o.fn") + " 1"));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("File read is started. (Mesh file)\n4 points.\n4 faces.\n", 0), 0u)
        << name;
  }
  test::writeFile(dir.file("SHAPE.PLY2"), "1\n0 0 0\n0 0 1\n");
  CommandResult upper = test::runCommand(wendfit(dir.file("SHAPE.PLY2") + " " + dir.file("o.fn") + " 1"));
  EXPECT_EQ(upper.out.rfind("File read is started.\n", 0), 0u);
}

TEST(WendfitTool, BadInputGivesOneMessageAndNoResultFile) {
  TempDir dir;
  struct Case {
    std::string name;
    std::string contents;  // empty: the file does not exist
    std::string expected;  // a part of the message
  };
  const std::vector<Case> cases = {
      {"missing.pts", "", "missing.pts"},
      {"coincident.pts", "3\n1 1 1\n1 1 1\n1 1 1\n0 0 1\n0 0 1\n0 0 1\n", "one position"},
      {"empty.pts", "0\n", "empty.pts"},
      {"short.pts", "3\n0 0 0\n1 1 1\n", "short.pts"},
      {"huge.pts", "2\n-3e38 0 0\n3e38 1 0\n1 0 0\n0 1 0\n", "float range"},
  };
  for (const Case& c : cases) {
    if (!c.contents.empty()) test::writeFile(dir.file(c.name), c.contents);
    CommandResult run = test::runCommand(wendfit(dir.file(c.name) + " " + dir.file("out.fn") + " 2"));
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_EQ(run.err.rfind("wendfit: error: ", 0), 0u) << c.name << ": " << run.err;
    EXPECT_NE(run.err.find(c.expected), std::string::npos) << c.name << ": " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_FALSE(test::fileExists(dir.file("out.fn"))) << c.name;
  }
}

TEST(WendfitTool, ADirectoryAsInputIsNamedNotRead) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("folder.pts"));
  CommandResult run =
      test::runCommand(wendfit(dir.file("folder.pts") + " " + dir.file("out.fn") + " 2"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("folder.pts: is a directory"), std::string::npos) << run.err;
  EXPECT_FALSE(test::fileExists(dir.file("out.fn")));
}

TEST(WendfitTool, UnwritableOutputIsAFailure) {
  TempDir dir;
  test::writeFile(dir.file("in.pts"), spherePointFile(20));
  std::string target = dir.file("no-such-folder/out.fn");
  CommandResult run = test::runCommand(wendfit(dir.file("in.pts") + " " + target + " 1"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("no-such-folder/out.fn"), std::string::npos) << run.err;
}

TEST(WendfitTool, MeshOptionWritesAClosedSurfaceInTheInputsCoordinates) {
  TempDir dir;
  test::writeFile(dir.file("sphere.pts"), spherePointFile(1500));
  CommandResult plain =
      test::runCommand(wendfit(dir.file("sphere.pts") + " " + dir.file("plain.fn") + " 5"));
  CommandResult meshed = test::runCommand(wendfit(dir.file("sphere.pts") + " " +
                                                  dir.file("meshed.fn") + " 5 --mesh " +
                                                  dir.file("sphere.ply")));
  ASSERT_EQ(meshed.status, 0) << meshed.err;
  // The result file and the console are exactly those of a run without it.
  EXPECT_EQ(test::readFile(dir.file("plain.fn")), test::readFile(dir.file("meshed.fn")));
  EXPECT_EQ(plain.out.substr(0, plain.out.find("Fitting time")),
            meshed.out.substr(0, meshed.out.find("Fitting time")));
  EXPECT_NE(meshed.err.find("sphere.ply"), std::string::npos) << meshed.err;

  EXPECT_NE(test::readFile(dir.file("sphere.ply")).find("\ncomment written by wendfit\n"), std::string::npos);
  TriangleMesh mesh = readMesh(dir.file("sphere.ply"));
  MeshTopology topology = analyzeTopology(mesh);
  EXPECT_TRUE(topology.watertight());
  EXPECT_EQ(topology.components, 1);
  EXPECT_EQ(topology.eulerCharacteristic, 2);
  // The points lie on a sphere of radius 2 about the origin in the input's
  // units; the fit worked at 5 times that size.
  double worst = 0;
  for (size_t i = 0; i < mesh.positions.size(); i += 3) {
    double r = std::sqrt(mesh.positions[i] * mesh.positions[i] +
                         mesh.positions[i + 1] * mesh.positions[i + 1] +
                         mesh.positions[i + 2] * mesh.positions[i + 2]);
    worst = std::max(worst, std::fabs(r - 2.0));
  }
  EXPECT_LT(worst, 0.02);

  CommandResult badExtension = test::runCommand(
      wendfit(dir.file("sphere.pts") + " " + dir.file("x.fn") + " 5 --mesh " + dir.file("x.vrml")));
  EXPECT_EQ(badExtension.status, 2);
  EXPECT_FALSE(test::fileExists(dir.file("x.fn")));
  CommandResult strayOption =
      test::runCommand(wendfit(dir.file("sphere.pts") + " " + dir.file("x.fn") + " 5 --normals"));
  EXPECT_EQ(strayOption.status, 2);
  EXPECT_NE(strayOption.err.find("--mesh"), std::string::npos);
}

TEST(WendfitTool, ResultIsTheSameForAnyThreadCount) {
  TempDir dir;
  // Enough points that the finer levels take the parallel paths of the
  // evaluation, the queries and the solver.
  test::writeFile(dir.file("in.pts"), spherePointFile(2500));
  // The third with the single-precision terms in the fit and the mesh, the
  // last with the centres of a widened octree.
  for (std::string threshold : {"0", "0.0005", "0 --quick-terms", "0 --sparse-centres --solver schwarz"}) {
    std::string common = dir.file("in.pts") + " ";
    CommandResult one = test::runCommand(wendfit("--threads 1 " + common + dir.file("one.fn") +
                                                 " 6 " + threshold + " --mesh " + dir.file("one.ply")));
    CommandResult two = test::runCommand(wendfit("--threads 2 " + common + dir.file("two.fn") +
                                                 " 6 " + threshold + " --mesh " + dir.file("two.ply")));
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(test::readFile(dir.file("one.fn")), test::readFile(dir.file("two.fn")))
        << "threshold " << threshold;
    EXPECT_EQ(test::readFile(dir.file("one.ply")), test::readFile(dir.file("two.ply")))
        << "threshold " << threshold;
    EXPECT_GT(test::readFile(dir.file("one.fn")).size(), 1000u);
  }
}

TEST(WendfitTool, FittedFunctionIsPositiveInsideAndNegativeOutside) {
  TempDir dir;
  // Outward normals (.xyz), the point file's inward ones, and the latter
  // flipped; all three are radius 10 about the origin once rescaled.
  test::fitUnitSphere(dir, 300, 4);
  test::writeFile(dir.file("sphere.pts"), spherePointFile(300));
  const std::string points = dir.file("sphere.pts") + " ";
  ASSERT_EQ(test::runCommand(wendfit(points + dir.file("pts.fn") + " 4")).status, 0);
  ASSERT_EQ(test::runCommand(wendfit("--flip-normals " + points + dir.file("flip.fn") + " 4")).status, 0);
  for (const char* name : {"sphere.fn", "pts.fn", "flip.fn"}) {
    const float sign = std::string(name) == "flip.fn" ? -1.0f : 1.0f;
    auto function = readFunctionFile(dir.file(name));
    EXPECT_GT(sign * function->value(0, 0, 0), 0.0f) << name << " at the centre";
    EXPECT_GT(sign * function->value(3, -2, 4), 0.0f) << name << " inside";
    EXPECT_LT(sign * function->value(0, 0, 13), 0.0f) << name << " outside";
    EXPECT_LT(sign * function->value(14, 14, 14), 0.0f) << name << " far outside";
  }
}

TEST(WendfitTool, QuietPrintsNothingButErrors) {
  TempDir dir;
  test::writeFile(dir.file("in.pts"), spherePointFile(300));
  const std::string input = dir.file("in.pts") + " ";
  CommandResult loud = test::runCommand(wendfit(input + dir.file("loud.fn") + " 3"));
  CommandResult quiet = test::runCommand(
      wendfit("--quiet " + input + dir.file("quiet.fn") + " 3 --mesh " + dir.file("quiet.ply")));
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.out, "");
  EXPECT_EQ(quiet.err, "");
  EXPECT_NE(loud.out.find("iter="), std::string::npos) << "the solver's progress is part of the transcript";
  EXPECT_EQ(test::readFile(dir.file("quiet.fn")), test::readFile(dir.file("loud.fn")));
  CommandResult failed = test::runCommand(wendfit("--quiet " + dir.file("none.pts") + " " + dir.file("x.fn") + " 3"));
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err.rfind("wendfit: error: " + dir.file("none.pts"), 0), 0u) << failed.err;
}

// Every bad argument is refused before the input is read: usage errors
// (status 2) for numbers, failures (status 1) for the files to write. No
// file is written and the input is left as it was.
TEST(WendfitTool, BadArgumentsAreRefusedBeforeAnyWork) {
  TempDir dir;
  const std::string input = dir.file("in.xyz");
  const std::string original = test::sphereXyz(50, 1.0);
  test::writeFile(input, original);
  std::filesystem::create_symlink(input, dir.file("link.fn"));
  std::filesystem::create_symlink(input, dir.file("link.ply"));
  std::filesystem::create_hard_link(input, dir.file("hard.fn"));
  const std::string out = dir.file("out.fn");
  const std::string in = input + " ";
  struct Case {
    std::string arguments;
    int status;
    std::string message;
  };
  const std::string levelRange = "(expected 1 to 25";
  const std::vector<Case> cases = {
      {in + out + " abc", 2, "LEVELS 'abc' is not a whole number " + levelRange},
      {in + out + " 7x", 2, "LEVELS '7x' is not a whole number"},
      {in + out + " 1.5", 2, "LEVELS '1.5' is not a whole number"},
      {in + out + " ''", 2, "LEVELS '' is not a whole number"},
      {in + out + " 0", 2, "LEVELS '0' is out of range " + levelRange},
      {in + out + " 26", 2, "LEVELS '26' is out of range " + levelRange + "; at level 26 the support radius"},
      {in + out + " 99999999999999999999", 2, "LEVELS '99999999999999999999' is not a whole number"},
      {in + out + " 3 abc", 2, "THRESHOLD 'abc' is not a finite number"},
      {in + out + " 3 0.5x", 2, "THRESHOLD '0.5x' is not a finite number"},
      {in + out + " 3 nan", 2, "THRESHOLD 'nan' is not a finite number"},
      {in + out + " 3 -0.001", 2, "THRESHOLD '-0.001' is negative (expected 0 or more)"},
      {in + out + " 3 0 abc", 2, "REGULARIZATION 'abc' is not a finite number"},
      {in + out + " 3 0 0.5x", 2, "REGULARIZATION '0.5x' is not a finite number"},
      {in + out + " 3 0 -0.1", 2, "REGULARIZATION '-0.1' is negative"},
      // The files: a missing folder is found before the (missing) input.
      {dir.file("none.xyz") + " " + dir.file("nope/out.fn") + " 3", 1,
       dir.file("nope/out.fn") + ": the folder " + dir.file("nope") + " does not exist"},
      {in + out + " 3 --mesh " + dir.file("nope/m.ply"), 1, dir.file("nope/m.ply") + ": the folder"},
      {in + dir.path() + " 3", 1, dir.path() + ": is a directory"},
      {in + input + " 3", 1, input + ": is the input file " + input},
      {in + dir.path() + "/./in.xyz 3", 1, "/./in.xyz: is the input file"},
      {in + dir.file("link.fn") + " 3", 1, "link.fn: is the input file"},
      {in + dir.file("hard.fn") + " 3", 1, "hard.fn: is the input file"},
      {in + out + " 3 --mesh " + dir.file("link.ply"), 1, "link.ply: is the input file"},
      {in + dir.file("m.ply") + " 3 --mesh " + dir.path() + "/../" +
           std::filesystem::path(dir.path()).filename().string() + "/m.ply", 1, "is also the result file"},
  };
  for (const Case& c : cases) {
    CommandResult run = test::runCommand(wendfit(c.arguments));
    EXPECT_EQ(run.status, c.status) << c.arguments;
    EXPECT_EQ(run.err.rfind("wendfit: error: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << "\n" << run.err;
    EXPECT_EQ(run.out, "") << c.arguments;
    EXPECT_EQ(test::readFile(input), original) << c.arguments;
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"hard.fn", "in.xyz", "link.fn", "link.ply"})) << c.arguments;
  }
}

TEST(WendfitTool, SchwarzSolverResultIsTheSameForAnyThreadCount) {
  TempDir dir;
  // The finest levels have enough centres for the solver's parallel paths.
  test::writeFile(dir.file("in.pts"), spherePointFile(12000));
  const std::string common = "--solver schwarz " + dir.file("in.pts") + " ";
  CommandResult one = test::runCommand(wendfit("--threads 1 " + common + dir.file("one.fn") + " 7"));
  CommandResult two = test::runCommand(wendfit("--threads 2 " + common + dir.file("two.fn") + " 7"));
  ASSERT_EQ(one.status, 0) << one.err;
  ASSERT_EQ(two.status, 0) << two.err;
  EXPECT_EQ(test::readFile(dir.file("one.fn")), test::readFile(dir.file("two.fn")));
  EXPECT_EQ(one.out.substr(0, one.out.find("Fitting time")), two.out.substr(0, two.out.find("Fitting time")));
  // The writer formats chunks of records in parallel: its progress lines
  // come in the same order, and the file spans several chunks.
  EXPECT_EQ(one.out.substr(one.out.find("File write")), two.out.substr(two.out.find("File write")));
  EXPECT_GT(test::readFile(dir.file("one.fn")).size(), 1000000u);
}

}  // namespace
}  // namespace wendfit
