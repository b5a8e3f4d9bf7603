#include "function/implicit_function.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/hand_made_functions.h"

namespace wendfit {
namespace {

BasisFunction record(float x, float y, float z, float radius, int level = 1) {
  return test::constantRecord(x, y, z, radius, 0.0f, level);
}

// The unit-free test box: a cube [-8, 8]^3, so the root has halfSize 8 and
// centre 0.
struct CubeFunction {
  float lower[3] = {-8, -8, -8};
  float upper[3] = {8, 8, 8};
  ImplicitFunction function{lower, upper, nullptr};
};

// Depth of the cell that holds `f` (0 = root), found by following the same
// child rule the tree must have used; -1 when it is not in any list on that path.
int depthOf(const ImplicitFunction& function, const BasisFunction* f) {
  const FunctionCell* cell = &function.root();
  for (int depth = 0; cell; ++depth) {
    for (const FunctionNode* n = cell->functions; n; n = n->next) {
      if (n->function == f) return depth;
    }
    if (!cell->children) return -1;
    int index = (f->centre[0] > cell->centre[0] ? 1 : 0) | (f->centre[1] > cell->centre[1] ? 2 : 0) |
                (f->centre[2] > cell->centre[2] ? 4 : 0);
    cell = (*cell->children)[index].get();
  }
  return -1;
}

std::vector<const BasisFunction*> listOf(const FunctionCell& cell) {
  std::vector<const BasisFunction*> out;
  for (const FunctionNode* n = cell.functions; n; n = n->next) out.push_back(n->function);
  return out;
}

TEST(ImplicitFunction, ConstructionPrintsMessageAndSetsRootFromLargestExtent) {
  // Largest extent along z: the root is the cube around the box centre whose
  // halfSize is half the z extent.
  float lower[3] = {0, -1, 10};
  float upper[3] = {2, 3, 22};
  std::FILE* console = std::tmpfile();
  ASSERT_NE(console, nullptr);
  ImplicitFunction function(lower, upper, console);
  std::rewind(console);
  char buffer[128] = {};
  size_t n = std::fread(buffer, 1, sizeof buffer - 1, console);
  std::fclose(console);
  EXPECT_EQ(std::string(buffer, n), "Octree construction is Fnished.\n\n");
  EXPECT_FLOAT_EQ(function.root().halfSize, 6.0f);
  EXPECT_FLOAT_EQ(function.root().centre[0], 1.0f);
  EXPECT_FLOAT_EQ(function.root().centre[1], 1.0f);
  EXPECT_FLOAT_EQ(function.root().centre[2], 16.0f);
  EXPECT_EQ(function.offset(), -10.0f);
  EXPECT_EQ(function.boxMin()[2], 10.0f);
  EXPECT_EQ(function.boxMax()[1], 3.0f);
  EXPECT_EQ(function.root().functions, nullptr);
  EXPECT_FALSE(function.root().children);
}

TEST(ImplicitFunction, InsertStopsWhereTwiceTheRadiusExceedsHalfSize) {
  CubeFunction cube;
  // halfSize by depth: 8, 4, 2, 1, 0.5.
  BasisFunction wide = record(1, 1, 1, 4.5f);    // 9 > 8: stays in the root
  BasisFunction exact = record(1, 1, 1, 4.0f);   // 8 <= 8: descends once, 8 > 4 stops
  BasisFunction small = record(1, 1, 1, 0.5f);   // 1 <= 1 descends to halfSize 0.5
  BasisFunction huge = record(1, 1, 1, 1e30f);
  cube.function.insert(&wide);
  cube.function.insert(&exact);
  cube.function.insert(&small);
  cube.function.insert(&huge);
  EXPECT_EQ(depthOf(cube.function, &wide), 0);
  EXPECT_EQ(depthOf(cube.function, &exact), 1);
  EXPECT_EQ(depthOf(cube.function, &small), 4);
  EXPECT_EQ(depthOf(cube.function, &huge), 0);
  EXPECT_EQ(cube.function.functionCount(), 4);
}

TEST(ImplicitFunction, ChildCellsHaveHalfSizeAndOffsetCentres) {
  CubeFunction cube;
  BasisFunction f = record(1, -1, 1, 3.0f);  // index 1 | 4 = 5, halfSize 4
  cube.function.insert(&f);
  ASSERT_TRUE(cube.function.root().children);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ((*cube.function.root().children)[i] != nullptr, i == 5) << i;
  }
  const FunctionCell& child = *(*cube.function.root().children)[5];
  EXPECT_EQ(child.halfSize, 4.0f);
  EXPECT_EQ(child.centre[0], 4.0f);
  EXPECT_EQ(child.centre[1], -4.0f);
  EXPECT_EQ(child.centre[2], 4.0f);
  EXPECT_EQ(listOf(child), std::vector<const BasisFunction*>{&f});
}

TEST(ImplicitFunction, CoordinateOnCentrePlaneGoesToLowerChild) {
  CubeFunction cube;
  BasisFunction onPlane = record(0, 0, 0, 3.0f);
  BasisFunction above = record(0, 1e-6f, 0, 3.0f);
  cube.function.insert(&onPlane);
  cube.function.insert(&above);
  const auto& children = *cube.function.root().children;
  ASSERT_TRUE(children[0]);
  ASSERT_TRUE(children[2]);
  EXPECT_EQ(listOf(*children[0]), std::vector<const BasisFunction*>{&onPlane});
  EXPECT_EQ(listOf(*children[2]), std::vector<const BasisFunction*>{&above});
}

TEST(ImplicitFunction, NewestRecordHeadsTheCellList) {
  CubeFunction cube;
  BasisFunction a = record(1, 1, 1, 3), b = record(2, 2, 2, 3), c = record(3, 3, 3, 3);
  cube.function.insert(&a);
  cube.function.insert(&b);
  FunctionNode* node = cube.function.insert(&c);
  const FunctionCell& cell = *(*cube.function.root().children)[7];
  EXPECT_EQ(cell.functions, node);
  EXPECT_EQ(listOf(cell), (std::vector<const BasisFunction*>{&c, &b, &a}));
}

TEST(ImplicitFunction, AddLevelKeepsArrayOrderAndSkipsUnusableRadii) {
  CubeFunction cube;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<BasisFunction> level = {record(1, 1, 1, 3, 2),  record(2, 2, 2, 0.0f),
                                      record(3, 3, 3, 3, 2),  record(4, 4, 4, -0.0f),
                                      record(5, 5, 5, -1.0f), record(6, 6, 6, nan),
                                      record(7, 7, 7, 3, 2)};
  cube.function.addLevel(level);
  EXPECT_EQ(cube.function.functionCount(), 3);
  const FunctionCell& cell = *(*cube.function.root().children)[7];
  std::vector<const BasisFunction*> list = listOf(cell);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]->centre[0], 7.0f);
  EXPECT_EQ(list[1]->centre[0], 3.0f);
  EXPECT_EQ(list[2]->centre[0], 1.0f);
  EXPECT_EQ(list[0]->level, 2);
  EXPECT_EQ(listOf(cube.function.root()).size(), 0u);
}

TEST(ImplicitFunction, MaxRadiusHasQuarterHalfSizeFloorAndChildListMaximum) {
  CubeFunction cube;
  cube.function.addLevel({});
  EXPECT_EQ(cube.function.root().maxRadius, 2.0f);  // no children: 8 * 0.25

  // One record of radius 0.4 * 8 = 3.2 in a child of the root, one of
  // radius 0.7 (halfSize 1 cell, three levels down).
  cube.function.addLevel({record(1, 1, 1, 3.2f), record(1, 1, 1, 0.7f)});
  const FunctionCell& root = cube.function.root();
  EXPECT_EQ(root.maxRadius, 3.2f);
  const FunctionCell& c1 = *(*root.children)[7];
  EXPECT_EQ(c1.halfSize, 4.0f);
  EXPECT_EQ(c1.maxRadius, 1.0f);  // floor 4 * 0.25; 0.7 sits two levels down
  const FunctionCell& c2 = *(*c1.children)[0];
  EXPECT_EQ(c2.halfSize, 2.0f);
  EXPECT_EQ(c2.maxRadius, 0.7f);  // its child's list holds 0.7 > 0.5
  const FunctionCell& leaf = *(*c2.children)[0];
  EXPECT_EQ(leaf.halfSize, 1.0f);
  EXPECT_FALSE(leaf.children);
  EXPECT_EQ(leaf.maxRadius, 0.25f);

  // A wider record in the root's own list does not raise the root's bound.
  cube.function.addLevel({record(0, 0, 0, 100.0f)});
  EXPECT_EQ(root.maxRadius, 3.2f);
}

TEST(ImplicitFunction, MovedFunctionKeepsItsRecordsAndValues) {
  CubeFunction cube;
  BasisFunction wide = record(1, 1, 1, 3.2f), narrow = record(1.5f, 1, 1, 0.7f);
  wide.coeff[9] = 1.0f;
  narrow.coeff[9] = -2.0f;
  cube.function.addLevel({wide, narrow});
  const float before = cube.function.value(1.2f, 1.0f, 1.0f);
  ASSERT_NE(before, cube.function.offset());
  ImplicitFunction moved(std::move(cube.function));
  EXPECT_EQ(moved.value(1.2f, 1.0f, 1.0f), before);
  ImplicitFunction assigned(cube.lower, cube.upper, nullptr);
  assigned = std::move(moved);
  EXPECT_EQ(assigned.value(1.2f, 1.0f, 1.0f), before);
  EXPECT_EQ(assigned.functionCount(), 2);
}

TEST(ImplicitFunction, InsertEndsForNegativeRadiusAndInfiniteRoot) {
  // Direct inserts bypass addLevel's filter; the descent must still end.
  CubeFunction cube;
  BasisFunction negative = record(1, 1, 1, -1.0f);
  cube.function.insert(&negative);
  EXPECT_GT(depthOf(cube.function, &negative), 0);

  const float inf = std::numeric_limits<float>::infinity();
  float lower[3] = {-inf, 0, 0};
  float upper[3] = {inf, 1, 1};
  ImplicitFunction unbounded(lower, upper, nullptr);
  BasisFunction f = record(0, 0, 0, 1.0f);
  unbounded.insert(&f);
  EXPECT_EQ(unbounded.functionCount(), 1);
}

}  // namespace
}  // namespace wendfit
