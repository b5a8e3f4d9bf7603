#pragma once
// ImplicitFunction: offset + the sum of all basis functions added so far,
// inside its box; offset alone outside. The basis functions live in an octree
// of FunctionCells sorted by support size, so that an evaluation only visits
// cells whose basis functions can reach the point.
//
// Storage: the function owns every record it was given (one vector per
// addLevel call, never reallocated afterwards) and the list nodes that link
// them into cells. Cells hold singly linked lists, newest record first.
//
// Evaluation reads a flattened copy of the tree (EvaluationLayout) that every
// addLevel rebuilds at its end. insert() alone leaves the copy stale: until
// the next addLevel, evaluation descends the tree itself, with the same
// result, only slower. Evaluation is read-only and allocation-free (but for
// plainValues' candidate buffer, one per thread), so any number of threads
// may evaluate at once as long as no addLevel or insert runs.
//
// Movable: records, list nodes and child cells stay where they are, and
// nothing refers to the root cell itself.

#include <array>
#include <cstdio>
#include <deque>
#include <memory>
#include <vector>

#include "function/basis_function.h"
#include "function/evaluation_layout.h"

namespace wendfit {

struct FunctionNode {
  const BasisFunction* function = nullptr;
  FunctionNode* next = nullptr;
};

struct FunctionCell {
  FunctionNode* functions = nullptr;  // newest first
  float centre[3] = {0, 0, 0};
  float halfSize = 0;
  // Pruning bound: no record in the subtree of any child is wider; set by
  // every addLevel (updateMaxRadius).
  float maxRadius = 0;
  std::unique_ptr<std::array<std::unique_ptr<FunctionCell>, 8>> children;

  // Recomputes maxRadius in this cell's subtree.
  void updateMaxRadius();
};

class ImplicitFunction {
 public:
  // Empty function over the box [boxMin, boxMax]; the root cell is the cube
  // around the box centre whose edge is the box's largest extent. Prints
  // "Octree construction is Fnished.\n\n" on `console` (nullptr: silent).
  // The offset starts at -10; callers set it.
  ImplicitFunction(const float boxMin[3], const float boxMax[3], std::FILE* console = nullptr);

  ImplicitFunction(const ImplicitFunction&) = delete;
  ImplicitFunction& operator=(const ImplicitFunction&) = delete;
  ImplicitFunction(ImplicitFunction&&) = default;
  ImplicitFunction& operator=(ImplicitFunction&&) = default;

  // Value at (x, y, z): offset outside the box (faces are inside).
  float value(float x, float y, float z) const;
  // Gradient at (x, y, z) into out; zero outside the box.
  void gradient(float out[3], float x, float y, float z) const;
  // Both at once; returns the value.
  float valueAndGradient(float out[3], float x, float y, float z) const;
  // The value and the exact gradient of the sum of the records' terms, for
  // placing points on the zero set (out: zero outside the box). Unlike
  // valueAndGradient, the gradient uses the derivative of the value's own
  // weight, and (1 - t)^k is formed by multiplication, so the value may
  // differ from value() in its last bits.
  float valueAndExactGradient(float out[3], float x, float y, float z) const;
  // The value that valueAndExactGradient returns, without the gradient: the
  // powers of 1 - t are plain products, about a third cheaper than value()'s
  // and within a few units in the last place of it. For the surface
  // extraction, which no result file depends on.
  float plainValue(float x, float y, float z) const;
  // plainValue at `count` points (x, y, z each, in xyz) into values, bit for
  // bit, so which points go together never matters. Two to three times
  // faster where consecutive points lie close together (within a few finest
  // record radii): runs of such points share one descent and are evaluated
  // eight at a time. Keeps a buffer per thread.
  void plainValues(const float* xyz, int count, float* values) const;
  // valueAndExactGradient at `count` points in the same way, bit for bit:
  // values into values, gradients into gradients (3 floats per point).
  void valuesAndExactGradients(const float* xyz, int count, float* values,
                               float* gradients) const;
  // valuesAndExactGradients with every term in single precision (the values
  // alone: plainValues with `quick`): about twice as fast, and within float
  // rounding of them (see quickGroupTerms). Each value depends on its point
  // alone. For surfaces that need not keep the designed values' last bits;
  // where the processor lacks AVX2, or a record has second-order
  // coefficients, they are plainValues and valuesAndExactGradients.
  // `designed`: valueAndGradient's gradient instead of the exact one.
  void quickValuesAndGradients(const float* xyz, int count, float* values, float* gradients,
                               bool designed = false) const;
  // The quick forms when `quick`, else plainValues and
  // valuesAndExactGradients: for callers that offer both.
  void plainValues(const float* xyz, int count, float* values, bool quick) const;
  void valuesAndExactGradients(const float* xyz, int count, float* values, float* gradients,
                               bool quick) const;
  // valueAndGradient with the powers of 1 - t as plain products: the same
  // (designed) gradient within a few units in the last place, at about half
  // the cost. For fits that need not keep the designed values' last bits.
  float plainValueAndGradient(float out[3], float x, float y, float z) const;
  // Mean and Gaussian curvature of the level set through (x, y, z); no box
  // test. Where the summed gradient is zero both are 0.
  void curvatures(double* mean, double* gaussian, float x, float y, float z) const;
  // The exact gradient and Hessian (row order) of value() at (x, y, z), both
  // zero outside the box; returns value(x, y, z). See exact_derivatives.h.
  float exactDerivatives(double gradient[3], double hessian[9], float x, float y, float z) const;

  // Takes over one level's records and inserts them in array order. Records
  // whose radius is 0, negative or not a number are not stored. Recomputes
  // every cell's maxRadius and the evaluation layout afterwards.
  void addLevel(std::vector<BasisFunction> functions);

  // Links one record (owned by the caller or by this function, and outliving
  // it) into the cell tree and raises the pruning bounds on its path; returns
  // its new list node. Discards the evaluation layout (see above).
  FunctionNode* insert(const BasisFunction* function);

  // True when evaluation reads the flattened layout, false when it descends
  // the tree (after insert(), before the next addLevel).
  bool hasEvaluationLayout() const { return !layout_.empty(); }

  // Number of records linked into the tree.
  long functionCount() const { return functionCount_; }

  // The cell tree, read by the result-file writer and the surface extractor.
  const FunctionCell& root() const { return root_; }
  // The box corners (3 floats each).
  const float* boxMin() const { return boxMin_; }
  const float* boxMax() const { return boxMax_; }
  // The constant added to the sum inside the box and the value outside it.
  float offset() const { return offset_; }
  void setOffset(float offset) { offset_ = offset; }

 private:
  // Sum of the value terms of every record in reach of (x, y, z), with
  // `term` accumulating its derivatives (evaluation.cpp).
  template <typename Term>
  double descend(float x, float y, float z, Term& term) const;
  // The offset plus every term of `Term` at (x, y, z); the offset alone
  // outside the box. The second form also stores the terms' gradient sum
  // (zero outside the box).
  template <typename Term>
  float sumOfTerms(float x, float y, float z) const;
  template <typename Term>
  float sumOfTerms(float out[3], float x, float y, float z) const;
  // plainValues (kGradient false) or valuesAndExactGradients; with `quick`,
  // quickValues or quickValuesAndGradients.
  template <bool kGradient>
  void groupValues(const float* xyz, int count, float* values, float* gradients, bool quick,
                   bool designed = false) const;

  std::vector<std::vector<BasisFunction>> levels_;
  std::deque<FunctionNode> nodes_;
  long functionCount_ = 0;
  EvaluationLayout layout_;  // empty while stale
  FunctionCell root_;
  float boxMax_[3];
  float boxMin_[3];
  float offset_ = -10.0f;
};

}  // namespace wendfit
