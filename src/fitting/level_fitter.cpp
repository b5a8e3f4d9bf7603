#include "fitting/level_fitter.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include <omp.h>

#include "fitting/sign_guard.h"
#include "core/error.h"
#include "solver/sparse_matrix.h"

namespace wendfit {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void printLine(std::FILE* console, const std::string& line) {
  if (!console) return;
  std::fputs(line.c_str(), console);
  std::fputc('\n', console);
  std::fflush(console);
}

// The weight of a basis function at its own centre, w(0).
constexpr double kWeightAtCentre = 3.0;
// The solver stops once its relative residual is below this fraction of the
// box diagonal.
constexpr double kRelativeTolerance = 1e-5;
constexpr int kIterationsPerLevel = 1000;
// Overlap of the Schwarz blocks, as a fraction of the support radius: below
// about 0.2 most of the preconditioner's gain is lost.
constexpr double kOverlapFraction = 0.3;
// Work shares of the parallel loops: evaluations and queries vary in cost
// from centre to centre, so they are handed out in small dynamic chunks.
constexpr int kEvaluationChunk = 256;
constexpr int kQueryChunk = 256;
// Consecutive centres whose kd-tree queries share one walk of the tree.
constexpr int kQueryBatch = 16;

// Kd-tree query answers, one vector per thread that grows to the largest
// answer the thread has seen. No exception may leave an OpenMP region, so a
// vector that cannot grow is recorded and rethrowIfFailed() reports it on the
// calling thread after the loop.
class QueryAnswers {
 public:
  QueryAnswers() : answers_(omp_get_max_threads()) {}

  // The calling thread's answer to the query, or nullptr when it did not fit
  // in memory.
  std::vector<int>* query(const KdTree& tree, const float point[3], float radius) {
    std::vector<int>& answer = answers_[omp_get_thread_num()];
    try {
      tree.query(point, radius, answer);
    } catch (const std::bad_alloc&) {
#pragma omp atomic write
      failed_ = true;
      return nullptr;
    }
    return &answer;
  }

  void rethrowIfFailed() const {
    if (failed_) throw std::bad_alloc();
  }

 private:
  std::vector<std::vector<int>> answers_;
  bool failed_ = false;
};

std::string levelPrefix(int level) { return "level " + std::to_string(level) + ": "; }

// Removes `self` from a query answer, keeping the order; returns the new
// length.
int dropSelf(std::vector<int>& answer, int self) {
  answer.erase(std::remove(answer.begin(), answer.end(), self), answer.end());
  return static_cast<int>(answer.size());
}

// Calls evaluate(first, size) for fixed chunks of `count` consecutive
// points, on every thread: the group evaluations take a chunk together.
template <typename Evaluate>
void inChunks(int count, Evaluate evaluate) {
  const int chunks = (count + kEvaluationChunk - 1) / kEvaluationChunk;
#pragma omp parallel for schedule(dynamic, 1)
  for (int c = 0; c < chunks; ++c) {
    const int first = c * kEvaluationChunk;
    evaluate(first, std::min(kEvaluationChunk, count - first));
  }
}

}  // namespace

void functionValues(const ImplicitFunction& function, const float* xyz, int count, float* values,
                    ValueTerms terms) {
  if (terms != ValueTerms::Designed) {
    inChunks(count, [&](int first, int size) {
      function.plainValues(xyz + 3 * static_cast<size_t>(first), size, values + first, terms == ValueTerms::Quick);
    });
    return;
  }
#pragma omp parallel for schedule(dynamic, kEvaluationChunk)
  for (int i = 0; i < count; ++i) {
    const float* p = xyz + 3 * static_cast<size_t>(i);
    values[i] = function.value(p[0], p[1], p[2]);
  }
}

void LevelFitter::fitLevel(PointSet levelCentres, float levelRadius, int levelNumber) {
  stats = LevelStats{};
  kdTree.reset();
  centres = std::move(levelCentres);
  radius = levelRadius;
  level = levelNumber;

  if (errorThreshold != 0.0f) {
    selectByError();
  } else {
    const Clock::time_point start = Clock::now();
    const int n = centres.count;
    centres.values.assign(n, 0.0f);
    // Consecutive centres are neighbours in the octree's order.
    functionValues(*function, centres.positions.data(), n, centres.values.data(),
                   valueTerms());
    stats.evaluationSeconds = secondsSince(start);
  }
  stats.selectedCount = centres.count;

  Clock::time_point start = Clock::now();
  kdTree = std::make_unique<KdTree>(centres);
  stats.kdTreeSeconds = secondsSince(start);
  start = Clock::now();
  count = centres.count;
  printLine(console, std::to_string(count) + " basis functions");
  printLine(console, "Local fitting");
  fitLocal();
  stats.assemblySeconds += secondsSince(start);
  printLine(console, "Global fitting");
  fitGlobal();
  if (signGuard) {
    start = Clock::now();
    stats.signGuardRecords = guardLevelSigns(*this);
    stats.signGuardSeconds = secondsSince(start);
  }

  kdTree.reset();
  centres = PointSet{};
  function->addLevel(std::move(basisFunctions));
  basisFunctions = std::vector<BasisFunction>{};
}

void LevelFitter::selectByError() {
  Clock::time_point start = Clock::now();
  kdTree = std::make_unique<KdTree>(centres);
  stats.selectionSeconds += secondsSince(start);

  // Errors are computed once per centre, before any query needs them.
  start = Clock::now();
  const int n = centres.count;
  centres.values.assign(n, 0.0f);
  std::vector<float> errors(n);
  float* values = centres.values.data();
  const ImplicitFunction& current = *function;
  std::vector<float> gradients(3 * static_cast<size_t>(n));
  if (quickValues) {
    // Consecutive centres are neighbours in the octree's order.
    inChunks(n, [&](int first, int size) {
      current.quickValuesAndGradients(centres.position(first), size, values + first,
                                      &gradients[3 * static_cast<size_t>(first)], true);
    });
  } else {
#pragma omp parallel for schedule(dynamic, kEvaluationChunk)
    for (int i = 0; i < n; ++i) {
      const float* p = centres.position(i);
      float* g = &gradients[3 * static_cast<size_t>(i)];
      values[i] = plainValues ? current.plainValueAndGradient(g, p[0], p[1], p[2])
                              : current.valueAndGradient(g, p[0], p[1], p[2]);
    }
  }
#pragma omp parallel for schedule(static)
  for (int i = 0; i < n; ++i) {
    const float v = values[i];
    const float* g = &gradients[3 * static_cast<size_t>(i)];
    const double length = std::sqrt(static_cast<double>(g[2]) * g[2] +
                                    static_cast<double>(g[1]) * g[1] +
                                    static_cast<double>(g[0]) * g[0]);
    errors[i] = length == 0.0 ? std::fabs(v) : static_cast<float>(std::fabs(v) / length);
  }
  stats.evaluationSeconds += secondsSince(start);

  start = Clock::now();
  QueryAnswers answers;
  std::vector<char> keep(n, 0);
  const KdTree& tree = *kdTree;
  // While the function has no basis functions it is its offset everywhere,
  // so every centre has the same error and the test would keep all centres
  // or (with the offset 0) none at all, and then none at any later level
  // either. Until something is fitted, every centre is kept; everything
  // else about the selection (its kd-tree order, its values) stays as is.
  const bool keepAll = current.functionCount() == 0;
#pragma omp parallel for schedule(dynamic, kQueryChunk)
  for (int j = 0; j < n; ++j) {
    if (keepAll) {
      keep[j] = 1;
      continue;
    }
    const std::vector<int>* answer = answers.query(tree, centres.position(j), radius);
    if (!answer) continue;
    for (int i : *answer) {
      if (errors[i] > errorThreshold) {
        keep[j] = 1;
        break;
      }
    }
  }
  answers.rethrowIfFailed();
  kdTree.reset();

  PointSet selected = centres.subset(keep);
  centres = std::move(selected);
  stats.selectionSeconds += secondsSince(start);
}

void LevelFitter::fitLocal() {
  basisFunctions.assign(count, BasisFunction{});
  for (int i = 0; i < count; ++i) {
    BasisFunction& record = basisFunctions[i];
    const float* p = centres.position(i);
    const float* nrm = centres.normal(i);
    std::copy(p, p + 3, record.centre);
    std::fill(record.coeff, record.coeff + 10, 0.0f);
    // The local surface is the plane through the centre across the normal;
    // the function grows against the normal (negative outside).
    record.coeff[6] = -nrm[0];
    record.coeff[7] = -nrm[1];
    record.coeff[8] = -nrm[2];
    record.radius = radius;
    record.level = level;
  }
}

void LevelFitter::fitGlobal() {
  Clock::time_point start = Clock::now();
  const int n = count;
  std::vector<double> b;
  std::vector<double> x;
  const long long limit = static_cast<long long>(kIterationsPerLevel) * level;
  const int maxIterations = static_cast<int>(std::clamp<long long>(limit, INT_MIN, INT_MAX - 1));
  const double tolerance = static_cast<double>(boxDiagonal) * kRelativeTolerance;
  // Takes the guess made with the system unless a caller left its own.
  const auto startFrom = [&]() {
    if (startGuess.size() == x.size()) x.swap(startGuess);
    startGuess.clear();
    stats.assemblySeconds += secondsSince(start);
    stats.rhsNorm = SparseMatrix::norm(n, b.data(), 1);
    start = Clock::now();
  };
  if (solver == SolverKind::Schwarz) {
    SingleSparseMatrix matrix;
    matrix.console = console;
    assembleSystem(matrix, b, x);
    startFrom();
    matrix.errorScale = boxDiagonal;
    // Neighbours closer than kOverlapFraction of the radius widen the
    // preconditioner's blocks; the weight falls with distance, so they are
    // exactly the entries of at least w(kOverlapFraction).
    schwarzSolve(matrix, n, centres.positions.data(), weight(kOverlapFraction * radius, radius),
                 b.data(), x.data(), tolerance, maxIterations, &stats.iterations,
                 &stats.solverError);
  } else {
    SparseMatrix matrix;
    matrix.console = console;
    // Symmetric by construction: centre i answers the query of j exactly
    // when j answers that of i, both weights come from the same float
    // distance, and every row is sorted.
    matrix.symmetric = true;
    assembleSystem(matrix, b, x);
    startFrom();
    matrix.errorScale = boxDiagonal;
    matrix.linbcg(n, b.data(), x.data(), 1, tolerance, maxIterations, &stats.iterations,
                  &stats.solverError);
  }
  stats.solveSeconds = secondsSince(start);

  // A non-finite constant would poison every later level and the result
  // file; report it instead of storing it.
  for (int i = 0; i < n; ++i) {
    const double constant = static_cast<double>(basisFunctions[i].coeff[9]) + x[i + 1];
    if (!(std::fabs(constant) <= std::numeric_limits<float>::max())) {
      throw Error(levelPrefix(level) + "the fitted constant of basis function " + std::to_string(i) +
                  " is " + std::to_string(constant) + " (expected a finite number)");
    }
    basisFunctions[i].coeff[9] = static_cast<float>(constant);
  }
}

template <typename Matrix>
void LevelFitter::assembleSystem(Matrix& matrix, std::vector<double>& b, std::vector<double>& x) {
  const int n = count;
  if (!kdTree || kdTree->size() != n || centres.count != n ||
      centres.values.size() < static_cast<size_t>(n)) {
    throw Error(levelPrefix(level) + "the system needs a kd-tree over the centres and their values");
  }

  // One query per centre: each chunk of rows keeps its rows' answers (self
  // dropped, ascending) in its own buffer until the matrix can hold them, so
  // no chunk waits for another and no query runs twice. The buffers hold the
  // matrix's column indices, a third of its size, and go as soon as their
  // rows are filled. The diagonal gets its own place in every row whatever
  // the query answers (a radius that has underflowed to 0 finds not even the
  // centre itself).
  const int chunks = (n + kQueryChunk - 1) / kQueryChunk;
  std::vector<std::vector<int>> chunkColumns(chunks);
  std::vector<std::vector<int>> answers(omp_get_max_threads());
  std::vector<int> rowCounts(n);
  long long offDiagonal = 0;
  bool failed = false;
  const KdTree& tree = *kdTree;
#pragma omp parallel for schedule(dynamic, 1) reduction(+ : offDiagonal)
  for (int c = 0; c < chunks; ++c) {
    std::vector<int>& answer = answers[omp_get_thread_num()];
    std::vector<int>& columns = chunkColumns[c];
    const int last = std::min(n, (c + 1) * kQueryChunk);
    std::vector<std::pair<int, int>> runs;
    try {
      // Consecutive centres lie close together in the tree's order: a few at
      // a time share one walk of the tree (candidateRuns).
      for (int batch = c * kQueryChunk; batch < last; batch += kQueryBatch) {
        const int batchEnd = std::min(last, batch + kQueryBatch);
        float low[3], high[3];
        bool finite = true;
        for (int a = 0; a < 3; ++a) low[a] = high[a] = centres.position(batch)[a];
        for (int j = batch; j < batchEnd; ++j) {
          for (int a = 0; a < 3; ++a) {
            const float coordinate = centres.position(j)[a];
            finite = finite && std::isfinite(coordinate);
            low[a] = std::min(low[a], coordinate);
            high[a] = std::max(high[a], coordinate);
          }
        }
        if (finite) tree.candidateRuns(low, high, radius, runs);
        for (int j = batch; j < batchEnd; ++j) {
          // Answers come in ascending index order: the columns need no sort.
          if (finite) {
            tree.queryRuns(centres.position(j), radius, runs, answer);
          } else {
            tree.query(centres.position(j), radius, answer);
          }
          rowCounts[j] = dropSelf(answer, j);
          offDiagonal += rowCounts[j];
          columns.insert(columns.end(), answer.begin(), answer.end());
        }
      }
    } catch (const std::bad_alloc&) {
      // No exception may leave an OpenMP region: report after the loop.
#pragma omp atomic write
      failed = true;
    }
  }
  if (failed) throw std::bad_alloc();
  nonZeroCount = n + offDiagonal;
  if (console) {
    std::fprintf(console, "Non-zero element in the matrix; %llu\n",
                 static_cast<unsigned long long>(nonZeroCount));
    std::fflush(console);
  }
  const long long length = nonZeroCount + 2;
  if (length > INT_MAX) {
    throw Error(levelPrefix(level) + "the linear system has " + std::to_string(nonZeroCount) +
                " elements (expected fewer than " + std::to_string(INT_MAX - 2) + ")");
  }

  // Every entry past index n + 1 is written by the rows below, in parallel.
  matrix.values.resize(length);
  matrix.indices.resize(length);
  b.assign(n + 1, 0.0);
  x.assign(n + 1, 0.0);
  int* indices = matrix.indices.data();
  auto* values = matrix.values.data();
  using Value = std::remove_pointer_t<decltype(values)>;
  values[0] = values[n + 1] = 0;
  indices[0] = 0;
  indices[1] = n + 2;
  for (int j = 0; j < n; ++j) indices[j + 2] = indices[j + 1] + rowCounts[j];

  // The records are fitLocal's: without second-order coefficients their
  // quadric is the linear part alone (bit for bit, see quadric()).
  const bool firstOrder = std::all_of(basisFunctions.begin(), basisFunctions.begin() + n,
                                      [](const BasisFunction& f) { return hasNoSecondOrder(f); });
  // Rows are independent: each chunk fills its rows' slices.
  const double diagonal = kWeightAtCentre + static_cast<double>(regularization);
#pragma omp parallel for schedule(dynamic, 1)
  for (int c = 0; c < chunks; ++c) {
    const int* columns = chunkColumns[c].data();
    const int last = std::min(n, (c + 1) * kQueryChunk);
    for (int j = c * kQueryChunk; j < last; ++j) {
      const int row = j + 1;
      values[row] = static_cast<Value>(diagonal);
      const double f = static_cast<double>(centres.values[j]);
      x[row] = -f;
      double rhs = -f;
      const float* cj = centres.position(j);
      const int neighbours = rowCounts[j];
      int position = indices[row];
      for (int e = 0; e < neighbours; ++e, ++position) {
        const int i = columns[e];
        const float* ci = centres.position(i);
        const float dx = cj[0] - ci[0];
        const float dy = cj[1] - ci[1];
        const float dz = cj[2] - ci[2];
        const double d = std::sqrt(static_cast<double>(dz) * dz + static_cast<double>(dy) * dy +
                                   static_cast<double>(dx) * dx);
        const double w = levelWeight(d, radius, plainValues);
        const BasisFunction& record = basisFunctions[i];
        rhs -= w * (firstOrder ? quadric(QuadricCoefficients{nullptr, record.coeff + 6}, dx, dy, dz)
                               : record.quadric(dx, dy, dz));
        values[position] = static_cast<Value>(w);
        indices[position] = i + 1;
      }
      columns += neighbours;
      b[row] = rhs;
    }
    std::vector<int>().swap(chunkColumns[c]);
  }
}

template void LevelFitter::assembleSystem(SparseMatrix&, std::vector<double>&, std::vector<double>&);
template void LevelFitter::assembleSystem(SingleSparseMatrix&, std::vector<double>&, std::vector<double>&);

}  // namespace wendfit
