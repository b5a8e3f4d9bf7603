// Construction of the implicit function and the bookkeeping of its cell tree:
// where a record is stored (by its support radius) and the per-cell pruning
// bound that the evaluation relies on. The evaluation itself lives in
// evaluation.cpp.

#include "function/implicit_function.h"

#include <algorithm>
#include <utility>

namespace wendfit {

namespace {

// A record is stored only when its support radius is a positive number; a
// zero radius contributes nothing, and a negative or NaN radius would never
// stop the descent in insert().
bool hasStorableRadius(const BasisFunction& f) { return f.radius > 0.0f; }

// Child index of `point` in `cell`: bit k is set when coordinate k is strictly
// greater than the cell centre's, so a coordinate on the centre plane goes to
// the lower half.
int childIndex(const FunctionCell& cell, const float point[3]) {
  int index = 0;
  if (point[0] > cell.centre[0]) index |= 1;
  if (point[1] > cell.centre[1]) index |= 2;
  if (point[2] > cell.centre[2]) index |= 4;
  return index;
}

std::unique_ptr<FunctionCell> makeChild(const FunctionCell& parent, int index) {
  auto child = std::make_unique<FunctionCell>();
  child->halfSize = parent.halfSize * 0.5f;
  child->maxRadius = child->halfSize * 0.25f;
  for (int k = 0; k < 3; ++k) {
    bool upper = (index >> k) & 1;
    child->centre[k] = upper ? parent.centre[k] + child->halfSize
                             : parent.centre[k] - child->halfSize;
  }
  return child;
}

}  // namespace

ImplicitFunction::ImplicitFunction(const float lower[3], const float upper[3], std::FILE* console) {
  for (int k = 0; k < 3; ++k) {
    boxMax_[k] = upper[k];
    boxMin_[k] = lower[k];
  }
  float extent[3];
  for (int k = 0; k < 3; ++k) {
    root_.centre[k] = (lower[k] + upper[k]) * 0.5f;
    extent[k] = upper[k] - lower[k];
  }
  // The root is a cube: its edge is the largest extent, so it reaches beyond
  // the box along the shorter axes.
  float largest = extent[0];
  if (largest < extent[1]) largest = extent[1];
  if (largest < extent[2]) largest = extent[2];
  root_.halfSize = largest * 0.5f;
  root_.maxRadius = root_.halfSize * 0.25f;
  if (console) std::fprintf(console, "Octree construction is Fnished.\n\n");
  offset_ = -10.0f;
}

FunctionNode* ImplicitFunction::insert(const BasisFunction* function) {
  const float radius = function->radius;
  FunctionCell* cell = &root_;
  FunctionCell* parent = nullptr;
  // Descend while the record fits a child (2R <= halfSize; equality
  // descends). The second test only matters for a cell whose halfSize no
  // longer shrinks (0 or infinite), where the descent would never end.
  while (2.0f * radius <= cell->halfSize && cell->halfSize * 0.5f != cell->halfSize) {
    if (!cell->children) {
      cell->children = std::make_unique<std::array<std::unique_ptr<FunctionCell>, 8>>();
    }
    int index = childIndex(*cell, function->centre);
    std::unique_ptr<FunctionCell>& child = (*cell->children)[index];
    if (!child) child = makeChild(*cell, index);
    parent = cell;
    cell = child.get();
  }
  // The bound updateMaxRadius would compute, kept current so that a descent
  // right after insert prunes correctly (the floors are set with each cell).
  if (parent && radius > parent->maxRadius) parent->maxRadius = radius;
  if (!layout_.empty()) layout_ = EvaluationLayout{};
  FunctionNode& node = nodes_.emplace_back();
  node.function = function;
  node.next = cell->functions;
  cell->functions = &node;
  ++functionCount_;
  return &node;
}

void ImplicitFunction::addLevel(std::vector<BasisFunction> functions) {
  // Dropping unstorable records keeps the others in array order, which fixes
  // the order of each cell's list.
  functions.erase(std::remove_if(functions.begin(), functions.end(),
                                 [](const BasisFunction& f) { return !hasStorableRadius(f); }),
                  functions.end());
  // The vector is moved into levels_ before any pointer into it is taken and
  // is never touched again, so the records keep their addresses.
  levels_.push_back(std::move(functions));
  for (const BasisFunction& f : levels_.back()) insert(&f);
  root_.updateMaxRadius();
  layout_ = buildEvaluationLayout(root_);
}

void FunctionCell::updateMaxRadius() {
  // Records two or more levels down have radius <= halfSize / 4 by the
  // insertion rule, so the floor covers them; only the children's own lists
  // can exceed it. This cell's own list does not enter its bound.
  maxRadius = halfSize * 0.25f;
  if (!children) return;
  for (const std::unique_ptr<FunctionCell>& child : *children) {
    if (!child) continue;
    child->updateMaxRadius();
    for (const FunctionNode* node = child->functions; node; node = node->next) {
      if (node->function->radius > maxRadius) maxRadius = node->function->radius;
    }
  }
}

}  // namespace wendfit
