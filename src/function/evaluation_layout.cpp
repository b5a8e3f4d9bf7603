#include "function/evaluation_layout.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <string>

#include "function/implicit_function.h"
#include "core/error.h"

namespace wendfit {

namespace {

void setCell(EvaluationLayout::Cell& out, const FunctionCell& cell, EvaluationLayout& layout) {
  for (int k = 0; k < 3; ++k) {
    out.low[k] = cell.centre[k] - cell.halfSize;
    out.high[k] = cell.centre[k] + cell.halfSize;
  }
  out.reach = cell.maxRadius;
  out.firstChild = 0;
  out.childCount = 0;
  out.firstRecord = static_cast<int>(layout.radius.size());
  out.recordCount = 0;
  out.firstSecondOrder = -1;
  bool secondOrder = false;
  for (const FunctionNode* node = cell.functions; node; node = node->next) {
    const BasisFunction& f = *node->function;
    layout.centreX.push_back(f.centre[0]);
    layout.centreY.push_back(f.centre[1]);
    layout.centreZ.push_back(f.centre[2]);
    layout.radius.push_back(f.radius);
    layout.finestRadius = std::min(layout.finestRadius, f.radius);
    layout.firstOrder.push_back({f.coeff[6], f.coeff[7], f.coeff[8], f.coeff[9]});
    secondOrder = secondOrder || !hasNoSecondOrder(f);
    ++out.recordCount;
  }
  if (!secondOrder) return;
  out.firstSecondOrder = static_cast<int>(layout.secondOrder.size());
  for (const FunctionNode* node = cell.functions; node; node = node->next) {
    const float* c = node->function->coeff;
    layout.secondOrder.push_back({c[0], c[1], c[2], c[3], c[4], c[5]});
  }
}

// Gives the children of the cell at `index` consecutive places, then lays
// out each child's subtree in turn (depth first, so a subtree's cells and
// records stay close together).
void layOutChildren(const FunctionCell& cell, int index, EvaluationLayout& layout) {
  if (!cell.children) return;
  const int first = static_cast<int>(layout.cells.size());
  int count = 0;
  for (const std::unique_ptr<FunctionCell>& child : *cell.children) {
    if (!child) continue;
    layout.cells.emplace_back();
    setCell(layout.cells.back(), *child, layout);
    ++count;
  }
  layout.cells[index].firstChild = first;
  layout.cells[index].childCount = count;
  int next = first;
  for (const std::unique_ptr<FunctionCell>& child : *cell.children) {
    if (child) layOutChildren(*child, next++, layout);
  }
}

}  // namespace

EvaluationLayout buildEvaluationLayout(const FunctionCell& root) {
  EvaluationLayout layout;
  layout.finestRadius = std::numeric_limits<float>::infinity();
  layout.cells.emplace_back();
  setCell(layout.cells.back(), root, layout);
  layOutChildren(root, 0, layout);
  if (layout.radius.size() > static_cast<size_t>(INT_MAX) ||
      layout.cells.size() > static_cast<size_t>(INT_MAX)) {
    throw Error("evaluation layout: " + std::to_string(layout.radius.size()) + " records in " +
                std::to_string(layout.cells.size()) + " cells (expected at most " +
                std::to_string(INT_MAX) + " of each)");
  }
  // Padding records, never part of a cell's run, so that the batch terms may
  // load a whole group of four past a run's last record. Their values are
  // finite and harmless.
  for (int i = 0; i < EvaluationLayout::kPadding; ++i) {
    layout.centreX.push_back(0.0f);
    layout.centreY.push_back(0.0f);
    layout.centreZ.push_back(0.0f);
    layout.radius.push_back(1.0f);
    layout.firstOrder.push_back({0.0f, 0.0f, 0.0f, 0.0f});
  }
  return layout;
}

}  // namespace wendfit
