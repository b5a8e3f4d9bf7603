#pragma once
// EvaluationLayout: a read-only copy of an ImplicitFunction's cell tree laid
// out for evaluation. The tree keeps one heap cell per octant and one list
// node per record, so every term of a sum costs two dependent loads; here the
// cells sit in one array with each cell's children next to each other (in
// child index order), and each cell's records are one contiguous run, newest
// first, stored as separate arrays of the fields the terms read. A descent
// over the layout visits cells and records in exactly the order of a descent
// over the tree, so sums come out bit for bit the same.
//
// Sizes: one Cell per tree cell; per record 16 bytes of centre and radius,
// 16 bytes of first-order coefficients, and 24 more only in the cells that
// hold a record with second-order coefficients.

#include <array>
#include <vector>

namespace wendfit {

struct FunctionCell;

struct EvaluationLayout {
  struct Cell {
    // The cell's cube, centre -+ halfSize rounded in float as the pruning
    // test of the tree computes it.
    float low[3];
    float high[3];
    // The cell's maxRadius: how far the records of its children reach.
    float reach;
    int firstChild;  // children: cells[firstChild, firstChild + childCount)
    int childCount;
    int firstRecord;  // records: [firstRecord, firstRecord + recordCount)
    int recordCount;
    // Index into secondOrder of the cell's first record, or -1 when no record
    // of the cell has a nonzero c0..c5.
    int firstSecondOrder;
  };

  // Records past the last run that keep group loads in bounds (batch_terms.h).
  static constexpr int kPadding = 3;

  std::vector<Cell> cells;  // cells[0] is the root; empty for no layout
  // Per record, plus kPadding records after the last cell's run.
  std::vector<float> centreX, centreY, centreZ, radius;
  std::vector<std::array<float, 4>> firstOrder;   // c6..c9 per record
  std::vector<std::array<float, 6>> secondOrder;  // c0..c5, see firstSecondOrder
  // The smallest record radius (infinity without records): the group
  // evaluation's scale for how close points must lie to share candidates.
  float finestRadius = 0;

  bool empty() const { return cells.empty(); }
};

// Lays out the tree below `root` (its maxRadius bounds must be current).
// The layout copies every value it needs and refers to nothing in the tree.
EvaluationLayout buildEvaluationLayout(const FunctionCell& root);

}  // namespace wendfit
