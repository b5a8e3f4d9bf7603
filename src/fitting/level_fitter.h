#pragma once
// LevelFitter: turns one level's centres into basis functions and adds them
// to the implicit function. One fitter lives for the whole run; the driver
// sets function, regularization, errorThreshold and boxDiagonal before the
// first level and calls fitLevel once per level, coarse to fine.
//
// Per level: record the current function's value at every centre; with a
// positive errorThreshold keep only centres near which the function still
// deviates from the data; build a kd-tree; one basis function per centre
// (fitLocal); one sparse system for their constants (fitGlobal); hand the
// records to the function.

#include <cstdio>
#include <memory>
#include <vector>

#include "function/implicit_function.h"
#include "io/point_set.h"
#include "spatial/kd_tree.h"

namespace wendfit {

struct LevelFitter {
  ImplicitFunction* function = nullptr;
  float regularization = 0.0f;
  float errorThreshold = 0.0f;
  float boxDiagonal = 0.0f;
  // Console for the level's lines and the solver's progress (nullptr: silent).
  std::FILE* console = stdout;

  // Working state of one fitLevel call; meaningless between calls.
  std::unique_ptr<KdTree> kdTree;
  PointSet centres;
  float radius = 0.0f;
  std::vector<BasisFunction> basisFunctions;
  int count = 0;
  int level = 0;
  long long nonZeroCount = 0;

  // Fits one level: takes the centre set over, fits it with the given support
  // radius and adds the level's basis functions to `function`. Throws Error
  // when a fitted constant comes out non-finite.
  void fitLevel(PointSet levelCentres, float levelRadius, int levelNumber);

  void fitLocal();
  void fitGlobal();
};

}  // namespace wendfit
