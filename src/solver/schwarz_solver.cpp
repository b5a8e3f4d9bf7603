#include "solver/schwarz_solver.h"

#include <unistd.h>

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

#include "core/error.h"
#include "spatial/median_split.h"

namespace wendfit {

namespace {

// Moves the cursor back over the previous progress text (as linbcg does).
constexpr const char* kProgressRewind = "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b";
// Rows per partial sum of a dot product. The partial sums are added in chunk
// order, so the result does not depend on how chunks are spread on threads.
constexpr int kDotChunk = 4096;
// Rows first..last (1-based, inclusive) of chunk c of an n-row system.
struct ChunkRows {
  int first, last;
};
inline ChunkRows chunkRows(int c, int n) {
  const int first = 1 + c * kDotChunk;
  return {first, std::min(n, first + kDotChunk - 1)};
}
// Systems with fewer rows run the per-iteration vector work on one thread:
// there a parallel region costs more than it saves on a busy machine.
constexpr int kParallelRows = 8192;

// Rows of a widened block at most. On scans a block of 64 centres widens to
// a few hundred rows at most.
constexpr size_t kMaxWidenedRows = 512;
// A block whose Cholesky factorisation fails is retried with its diagonal
// raised by this fraction of its largest diagonal entry, ten times more on
// every further failure. The shift changes only the preconditioner.
constexpr double kFirstShift = 1e-6;
constexpr int kShiftAttempts = 8;

// Float factors: the block solutions only steer the iteration; double
// factors took the same iteration counts at every level of a 100,000-point
// torus fit, with twice the memory.
using DenseFactor = Eigen::LLT<Eigen::MatrixXf>;

// a . b over [0, n) as eight interleaved partial sums added in a fixed
// order. One running sum is a chain of dependent additions that the compiler
// may not reorder; the lanes let it use vector instructions in the forward
// substitution, the preconditioner's inner loop.
inline float laneDot(const float* a, const float* b, int n) {
  constexpr int kLanes = 8;
  float lane[kLanes] = {};
  int j = 0;
  for (; j + kLanes <= n; j += kLanes) {
    for (int l = 0; l < kLanes; ++l) lane[l] += a[j + l] * b[j + l];
  }
  float sum = ((lane[0] + lane[4]) + (lane[1] + lane[5])) + ((lane[2] + lane[6]) + (lane[3] + lane[7]));
  for (; j < n; ++j) sum += a[j] * b[j];
  return sum;
}

// The Cholesky factor L of one widened block, kept as its lower triangle
// packed row by row (entry (i, j), j <= i, at i (i + 1) / 2 + j): half the
// memory of the dense matrix the factorisation works in, which is what
// bounds the preconditioner's footprint at a million centres.
struct Factor {
  std::vector<float> lower;

  void keep(const DenseFactor& llt) {
    // The factorisation leaves L in the lower triangle of its matrix.
    const Eigen::MatrixXf& l = llt.matrixLLT();
    const int m = static_cast<int>(l.rows());
    lower.resize(static_cast<size_t>(m) * (m + 1) / 2);
    size_t at = 0;
    for (int i = 0; i < m; ++i) {
      for (int j = 0; j <= i; ++j) lower[at++] = l(i, j);
    }
  }

  // v = (L L^T)^-1 v: forward substitution with L, then back substitution
  // with L^T, both reading L by rows.
  void solveInPlace(float* v, int m) const {
    for (int i = 0; i < m; ++i) {
      const float* row = lower.data() + static_cast<size_t>(i) * (i + 1) / 2;
      v[i] = (v[i] - laneDot(row, v, i)) / row[i];
    }
    for (int i = m - 1; i >= 0; --i) {
      const float* row = lower.data() + static_cast<size_t>(i) * (i + 1) / 2;
      const float xi = v[i] / row[i];
      v[i] = xi;
      for (int j = 0; j < i; ++j) v[j] -= row[j] * xi;
    }
  }
};

using Clock = std::chrono::steady_clock;

// The number of blocks bisectRange cuts a range of `count` rows into.
int blocksOf(int count) {
  if (count == 0) return 0;
  if (count <= kSchwarzBlockSize) return 1;
  return blocksOf(count / 2) + blocksOf(count - count / 2);
}

// Ranges of more rows than this split their halves as tasks of their own.
constexpr int kBisectTaskRows = 1 << 14;

// Cuts order[begin, end) into blocks[first ...]: a range of more than
// kSchwarzBlockSize rows is split at its median along the longest axis of
// its box (equal coordinates ordered by index), the lower half giving the
// earlier blocks. Each half owns its slots of `order` and of `blocks`, so
// the halves may run on any threads and give the same blocks.
// A block that cannot be allocated sets `failed` (no exception may leave a
// task).
void bisectRange(std::vector<int>& order, const float* positions, int begin, int end,
                 std::vector<std::vector<int>>& blocks, int first, bool& failed) {
  if (end - begin <= kSchwarzBlockSize) {
    if (end == begin) return;
    try {
      std::vector<int> rows(order.begin() + begin, order.begin() + end);
      for (int& row : rows) ++row;
      std::sort(rows.begin(), rows.end());
      blocks[first] = std::move(rows);
    } catch (const std::bad_alloc&) {
#pragma omp atomic write
      failed = true;
    }
    return;
  }
  float lo[3] = {positions[3 * static_cast<size_t>(order[begin])],
                 positions[3 * static_cast<size_t>(order[begin]) + 1],
                 positions[3 * static_cast<size_t>(order[begin]) + 2]};
  float hi[3] = {lo[0], lo[1], lo[2]};
  for (int k = begin; k < end; ++k) {
    const float* p = positions + 3 * static_cast<size_t>(order[k]);
    for (int a = 0; a < 3; ++a) {
      lo[a] = std::min(lo[a], p[a]);
      hi[a] = std::max(hi[a], p[a]);
    }
  }
  const int middle = begin + (end - begin) / 2;
  splitAtMedian(order, positions, begin, middle, end, longestAxis(lo, hi));
  const int upperFirst = first + blocksOf(middle - begin);
  if (end - begin > kBisectTaskRows) {
#pragma omp task default(shared)
    bisectRange(order, positions, begin, middle, blocks, first, failed);
    bisectRange(order, positions, middle, end, blocks, upperFirst, failed);
#pragma omp taskwait
  } else {
    bisectRange(order, positions, begin, middle, blocks, first, failed);
    bisectRange(order, positions, middle, end, blocks, upperFirst, failed);
  }
}

// Cuts the rows 1..n into blocks of at most kSchwarzBlockSize (bisectRange).
// Each block lists its rows in ascending order.
std::vector<std::vector<int>> bisectBlocks(int n, const float* positions) {
  std::vector<int> order(n);
  for (int i = 0; i < n; ++i) order[i] = i;
  std::vector<std::vector<int>> blocks(static_cast<size_t>(blocksOf(n)));
  bool failed = false;
#pragma omp parallel if (n > kBisectTaskRows)
#pragma omp single
  bisectRange(order, positions, 0, n, blocks, 0, failed);
  if (failed) solverError("allocation failure in the Schwarz preconditioner");
  return blocks;
}

// The block's rows and every column whose entry in one of them is at least
// overlapWeight, ascending; of more than kMaxWidenedRows such rows, the
// block's own and those of the largest entries (ties by column).
template <typename Value>
std::vector<int> widen(const std::vector<int>& core, const Value* values, const int* indices,
                       double overlapWeight) {
  std::vector<int> rows = core;
  for (int row : core) {
    for (int k = indices[row]; k < indices[row + 1]; ++k) {
      if (values[k] >= overlapWeight) rows.push_back(indices[k]);
    }
  }
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  if (rows.size() <= kMaxWidenedRows) return rows;
  // Supports far wider than the data (a coarse level over a small object):
  // every centre reaches every other, and widened blocks of thousands of
  // rows cost seconds to factor. The strongest couplings are kept.
  std::vector<std::pair<double, int>> outside;  // (-largest entry, column)
  for (int row : core) {
    for (int k = indices[row]; k < indices[row + 1]; ++k) {
      if (values[k] >= overlapWeight) outside.emplace_back(-values[k], indices[k]);
    }
  }
  std::sort(outside.begin(), outside.end(),
            [](const auto& a, const auto& b) { return a.second != b.second ? a.second < b.second : a.first < b.first; });
  std::vector<std::pair<double, int>> strongest;
  for (size_t e = 0; e < outside.size(); ++e) {
    if (e > 0 && outside[e].second == outside[e - 1].second) continue;
    if (!std::binary_search(core.begin(), core.end(), outside[e].second)) strongest.push_back(outside[e]);
  }
  const size_t room = kMaxWidenedRows - std::min(core.size(), kMaxWidenedRows);
  std::partial_sort(strongest.begin(), strongest.begin() + std::min(room, strongest.size()), strongest.end());
  rows = core;
  for (size_t e = 0; e < std::min(room, strongest.size()); ++e) rows.push_back(strongest[e].second);
  std::sort(rows.begin(), rows.end());
  return rows;
}

// Factors the dense submatrix of A on `rows`. Returns false when the plain
// factorisation failed and a shifted one (or, as a last resort, the
// diagonal alone) stands in for it. `place` has an entry per row of A, -1
// for every row, and is left so; it maps the block's rows to their places
// while the submatrix is gathered.
template <typename Value>
bool factorBlock(const std::vector<int>& rows, const Value* values, const int* indices,
                 std::vector<int>& place, Factor& kept) {
  DenseFactor factor;
  const int m = static_cast<int>(rows.size());
  Eigen::MatrixXf dense = Eigen::MatrixXf::Zero(m, m);
  double largestDiagonal = 0.0;
  for (int a = 0; a < m; ++a) place[rows[a]] = a;
  // The factorisation reads the lower triangle alone. Row a of a symmetric
  // A is its column a, which the column-major matrix stores contiguously.
  for (int a = 0; a < m; ++a) {
    const int row = rows[a];
    dense(a, a) = static_cast<float>(values[row]);
    largestDiagonal = std::max(largestDiagonal, std::fabs(static_cast<double>(values[row])));
    for (int k = indices[row]; k < indices[row + 1]; ++k) {
      const int at = place[indices[k]];
      if (at > a) dense(at, a) = static_cast<float>(values[k]);
    }
  }
  for (int row : rows) place[row] = -1;
  factor.compute(dense);
  if (factor.info() == Eigen::Success) {
    kept.keep(factor);
    return false;
  }
  if (largestDiagonal == 0.0) largestDiagonal = 1.0;
  double shift = kFirstShift * largestDiagonal;
  for (int attempt = 0; attempt < kShiftAttempts; ++attempt, shift *= 10.0) {
    Eigen::MatrixXf shifted = dense;
    shifted.diagonal().array() += static_cast<float>(shift);
    factor.compute(shifted);
    if (factor.info() == Eigen::Success) {
      kept.keep(factor);
      return true;
    }
  }
  Eigen::MatrixXf diagonal = Eigen::MatrixXf::Zero(m, m);
  for (int a = 0; a < m; ++a) {
    const float d = std::fabs(dense(a, a));
    diagonal(a, a) = d > 0.0f ? d : 1.0f;
  }
  factor.compute(diagonal);
  kept.keep(factor);
  return true;
}

// The additive Schwarz preconditioner z = sum_k R_k^T A_k^-1 R_k r.
class SchwarzPreconditioner {
 public:
  template <typename Matrix>
  SchwarzPreconditioner(const Matrix& matrix, int n, const float* positions,
                        double overlapWeight, SchwarzReport& report)
      : n_(n) {
    const auto* values = matrix.values.data();
    const int* indices = matrix.indices.data();
    const std::vector<std::vector<int>> cores = bisectBlocks(n, positions);
    const int blockCount = static_cast<int>(cores.size());
    rows_.resize(blockCount);
    factors_.resize(blockCount);
    std::vector<char> fellBack(blockCount, 0);
    bool failed = false;
    // Every block writes only its own slots, so any schedule gives the same
    // factors.
#pragma omp parallel if (blockCount > 1)
    {
      std::vector<int> place;
      try {
        place.assign(static_cast<size_t>(n) + 2, -1);
      } catch (const std::bad_alloc&) {
#pragma omp atomic write
        failed = true;
      }
#pragma omp for schedule(dynamic, 1)
      for (int k = 0; k < blockCount; ++k) {
        if (place.empty()) continue;
        try {
          rows_[k] = widen(cores[k], values, indices, overlapWeight);
          fellBack[k] = factorBlock(rows_[k], values, indices, place, factors_[k]);
        } catch (const std::bad_alloc&) {
#pragma omp atomic write
          failed = true;
        }
      }
    }
    if (failed) solverError("allocation failure in the Schwarz preconditioner");

    // Slots: block k's solution entries, one per widened row, block after
    // block; every row lists its slots in block order.
    offsets_.assign(blockCount + 1, 0);
    std::vector<int> rowSlotCount(static_cast<size_t>(n) + 2, 0);
    for (int k = 0; k < blockCount; ++k) {
      offsets_[k + 1] = offsets_[k] + static_cast<long long>(rows_[k].size());
      for (int row : rows_[k]) ++rowSlotCount[row + 1];
      report.fallbackBlocks += fellBack[k];
      report.factorBytes += static_cast<long long>(factors_[k].lower.size()) *
                            static_cast<long long>(sizeof(float));
    }
    if (offsets_[blockCount] > INT_MAX) solverError("too many rows in the Schwarz preconditioner's blocks");
    rowSlotStart_.assign(static_cast<size_t>(n) + 2, 0);
    for (int row = 1; row <= n; ++row) rowSlotStart_[row + 1] = rowSlotStart_[row] + rowSlotCount[row + 1];
    rowSlots_.resize(static_cast<size_t>(offsets_[blockCount]));
    std::vector<int> next(rowSlotStart_.begin(), rowSlotStart_.end() - 1);
    for (int k = 0; k < blockCount; ++k) {
      for (size_t a = 0; a < rows_[k].size(); ++a) {
        rowSlots_[next[rows_[k][a]]++] = static_cast<int>(offsets_[k] + static_cast<long long>(a));
      }
    }
    solutions_.assign(static_cast<size_t>(offsets_[blockCount]), 0.0f);
    report.blocks = blockCount;
    report.widenedRows = offsets_[blockCount];
  }

  // z = M^-1 r (entries 1..n), and r . z as one partial sum per chunk of
  // kDotChunk rows (partial has a slot per chunk), in the same parallel
  // region: the per-iteration vector work is dominated by the threads'
  // synchronisation at this size.
  void apply(const double* r, double* z, std::vector<double>& partial) {
    const int blockCount = static_cast<int>(rows_.size());
    const int chunks = static_cast<int>(partial.size());
    const bool parallel = n_ >= kParallelRows;
#pragma omp parallel if (parallel)
    {
#pragma omp for schedule(dynamic, 4)
      for (int k = 0; k < blockCount; ++k) {
        const std::vector<int>& rows = rows_[k];
        const int m = static_cast<int>(rows.size());
        float* local = solutions_.data() + offsets_[k];
        for (int a = 0; a < m; ++a) local[a] = static_cast<float>(r[rows[a]]);
        factors_[k].solveInPlace(local, m);
      }
#pragma omp for schedule(static)
      for (int c = 0; c < chunks; ++c) {
        const auto [first, last] = chunkRows(c, n_);
        double dot = 0.0;
        for (int row = first; row <= last; ++row) {
          double sum = 0.0;
          for (int s = rowSlotStart_[row]; s < rowSlotStart_[row + 1]; ++s) {
            sum += static_cast<double>(solutions_[rowSlots_[s]]);
          }
          z[row] = sum;
          dot += r[row] * sum;
        }
        partial[c] = dot;
      }
    }
  }

 private:
  int n_;
  std::vector<std::vector<int>> rows_;   // widened rows of each block, ascending
  std::vector<Factor> factors_;          // one per block
  std::vector<long long> offsets_;  // block k's slots start here
  // Row i's slots: [start[i], start[i + 1]). 32-bit: the gather streams these
  // every iteration, and the slots' floats bound their count long before.
  std::vector<int> rowSlotStart_;
  std::vector<int> rowSlots_;
  std::vector<float> solutions_;         // the block solutions, by slot
};

// a . b over entries 1..n, as a sum of fixed chunks added in order.
double chunkedDot(int n, const double* a, const double* b, std::vector<double>& partial) {
  const int chunks = (n + kDotChunk - 1) / kDotChunk;
  partial.assign(chunks, 0.0);
#pragma omp parallel for schedule(static) if (n >= kParallelRows)
  for (int c = 0; c < chunks; ++c) {
    const auto [first, last] = chunkRows(c, n);
    double sum = 0.0;
    for (int i = first; i <= last; ++i) sum += a[i] * b[i];
    partial[c] = sum;
  }
  double total = 0.0;
  for (double value : partial) total += value;
  return total;
}

template <typename Matrix>
SchwarzReport solveWithSchwarz(const Matrix& matrix, int n, const float* positions, double overlapWeight,
                               const double* b, double* x, double tol, int maxIterations, int* iter,
                               double* err) {
  SchwarzReport report;
  std::FILE* console = matrix.console;
  const bool live = console && isatty(fileno(console));
  auto showProgress = [&]() {
    if (!console) return;
    std::fprintf(console, "%siter=%4d err=%12.6f", kProgressRewind, *iter, *err / matrix.errorScale);
    if (live) std::fflush(console);
  };
  auto finish = [&]() {
    if (console) {
      std::fputs("\n", console);
      std::fflush(console);
    }
  };

  *iter = 0;
  std::vector<double> rv = dvector(n), zv = dvector(n), pv = dvector(n), qv = dvector(n);
  std::vector<double> partial;
  double* r = rv.data();
  double* z = zv.data();
  double* p = pv.data();
  double* q = qv.data();
  const bool parallel = n >= kParallelRows;

  auto trueResidual = [&]() {
    dsprsax(matrix.values.data(), matrix.indices.data(), x, r, n);
#pragma omp parallel for schedule(static) if (parallel)
    for (int i = 1; i <= n; ++i) r[i] = b[i] - r[i];
  };
  // Also checks the storage against n before anything else reads it.
  trueResidual();
  const double bnrm = std::sqrt(chunkedDot(n, b, b, partial));
  if (bnrm == 0.0) {
    for (int i = 1; i <= n; ++i) x[i] = 0.0;
    *err = 0.0;
    showProgress();
    finish();
    return report;
  }

  const Clock::time_point start = Clock::now();
  SchwarzPreconditioner preconditioner(matrix, n, positions, overlapWeight, report);
  report.setupSeconds = std::chrono::duration<double>(Clock::now() - start).count();

  // Each iteration runs three parallel regions: the preconditioner with
  // r . z, the new direction with q = A p and p . q, and the updates of x
  // and r with r . r. Every dot product is a sum of per-chunk partial sums
  // added in chunk order, and every row of q sums its entries in storage
  // order, so the iterates do not depend on the thread count.
  const int chunks = (n + kDotChunk - 1) / kDotChunk;
  partial.assign(chunks, 0.0);
  auto chunkTotal = [&]() {
    double total = 0.0;
    for (double value : partial) total += value;
    return total;
  };
  const auto* values = matrix.values.data();
  const int* indices = matrix.indices.data();
  bool restart = true;
  double rz = 0.0;
  while (*iter <= maxIterations) {
    ++*iter;
    preconditioner.apply(r, z, partial);
    const double rzNew = chunkTotal();
    const double beta = restart ? 0.0 : rzNew / rz;
    restart = false;
    rz = rzNew;
#pragma omp parallel if (parallel)
    {
#pragma omp for schedule(static)
      for (int i = 1; i <= n; ++i) p[i] = z[i] + beta * p[i];
#pragma omp for schedule(static)
      for (int c = 0; c < chunks; ++c) {
        const auto [first, last] = chunkRows(c, n);
        double dot = 0.0;
        for (int i = first; i <= last; ++i) {
          double sum = values[i] * p[i];
          for (int k = indices[i]; k < indices[i + 1]; ++k) sum += values[k] * p[indices[k]];
          q[i] = sum;
          dot += p[i] * sum;
        }
        partial[c] = dot;
      }
    }
    const double curvature = chunkTotal();
    // Zero (or, for a matrix that is not positive definite, negative or NaN)
    // curvature leaves no step to take; x keeps the last iterate.
    if (!(curvature > 0.0)) {
      --*iter;
      *err = std::sqrt(chunkedDot(n, r, r, partial)) / bnrm;
      showProgress();
      if (*err <= tol) finish();
      return report;
    }
    const double alpha = rz / curvature;
#pragma omp parallel for schedule(static) if (parallel)
    for (int c = 0; c < chunks; ++c) {
      const auto [first, last] = chunkRows(c, n);
      double dot = 0.0;
      for (int i = first; i <= last; ++i) {
        x[i] += alpha * p[i];
        r[i] -= alpha * q[i];
        dot += r[i] * r[i];
      }
      partial[c] = dot;
    }
    *err = std::sqrt(chunkTotal()) / bnrm;
    if (*err <= tol) {
      // The recurred residual drifts from b - A x; the test counts only on
      // the true one, and a miss continues from it with a fresh direction.
      trueResidual();
      *err = std::sqrt(chunkedDot(n, r, r, partial)) / bnrm;
      restart = true;
    }
    showProgress();
    if (*err <= tol) {
      finish();
      return report;
    }
  }
  return report;
}

}  // namespace

SchwarzReport schwarzSolve(const SparseMatrix& matrix, int n, const float* positions, double overlapWeight,
                           const double* b, double* x, double tol, int maxIterations, int* iter, double* err) {
  return solveWithSchwarz(matrix, n, positions, overlapWeight, b, x, tol, maxIterations, iter, err);
}

SchwarzReport schwarzSolve(const SingleSparseMatrix& matrix, int n, const float* positions,
                           double overlapWeight, const double* b, double* x, double tol, int maxIterations,
                           int* iter, double* err) {
  return solveWithSchwarz(matrix, n, positions, overlapWeight, b, x, tol, maxIterations, iter, err);
}

}  // namespace wendfit
