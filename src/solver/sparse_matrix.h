#pragma once
// SparseMatrix: a square matrix in row-indexed sparse storage, used from
// index 1, and the preconditioned biconjugate gradient solver linbcg with a
// diagonal (Jacobi) preconditioner. All arithmetic is double precision.
//
// Storage of an n x n matrix with N off-diagonal entries, both arrays of
// n + N + 2 entries (index 0 unused):
//   values[1..n]   the diagonal (stored even when 0)
//   indices[1]     = n + 2; indices[i + 1] = one past row i's last entry
//   values[k], indices[k] for k = n + 2 ... n + N + 1: an off-diagonal entry
//                  of its row and its 1-based column.
// Vectors are arrays of n + 1 doubles used from index 1.

#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace wendfit {

// Systems whose storage holds at least this many entries (diagonal and
// off-diagonal) run their products and vector updates on several threads;
// the results are the same either way. Smaller systems stay on one thread:
// there the work per iteration is too small to repay the synchronisation of
// the threads, which becomes very costly on a busy machine. Tests lower it
// to exercise the parallel paths.
inline long solverParallelEntries = 1L << 18;

// Whether a system of n rows stored in `indices` (row-indexed, used from
// index 1) is large enough for the parallel paths.
inline bool solverRunsParallel(const int* indices, int n) {
  return n > 0 && static_cast<long>(indices[n + 1]) >= solverParallelEntries;
}

// Reports a solver failure: throws SolverError(message). The executables
// print the three-line report ("Numerical Recipes run-time error...",
// message, "...now exiting to system...") and exit with status 1.
[[noreturn]] void solverError(const std::string& message);

// An uninitialised vector of n + 1 doubles for use from index 1.
std::vector<double> dvector(int n);

// result = A x and result = A^T x on the storage arrays.
void dsprsax(const double* values, const int* indices, const double* x, double* result, int n);
// The same on single-precision values (SingleSparseMatrix), each product in
// double precision.
void dsprsax(const float* values, const int* indices, const double* x, double* result, int n);
void dsprstx(const double* values, const int* indices, const double* x, double* result, int n);

// Large blocks for matrix storage: aligned to 2 MB and offered to the kernel
// for transparent huge pages, so filling a level's matrix (tens of
// megabytes, freed and allocated anew every level) takes one page fault per
// 2 MB instead of one per 4 KB; on virtual machines each fault is costly.
// Small blocks come from operator new. Both throw std::bad_alloc on failure.
void* allocateLargeBlock(std::size_t bytes);
void freeLargeBlock(void* block, std::size_t bytes) noexcept;

// An allocator whose vectors leave new elements uninitialised: a matrix's
// storage (tens of megabytes) is then first written, and its pages first
// touched, by the threads that fill it, instead of by one zeroing pass on
// one thread.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocateLargeBlock(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { freeLargeBlock(p, n * sizeof(T)); }
  template <typename U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class SparseMatrix {
 public:
  // resize() leaves new entries unset; assign() sets them.
  std::vector<int, UninitialisedAllocator<int>> indices;
  std::vector<double, UninitialisedAllocator<double>> values;
  // Divides the error shown in the progress line, and nothing else.
  float errorScale = 1.0f;
  // Where the progress line goes (nullptr: nowhere).
  std::FILE* console = nullptr;
  // Promise that A(i, j) == A(j, i) bit for bit and every row lists its
  // columns in ascending order. linbcg then skips the transpose product and
  // the shadow vectors, with bit-identical results and half the work.
  bool symmetric = false;

  // Solves A x = b from the initial guess in x (entries 1..n). itol 1..4
  // selects the convergence test; stops when err <= tol or after
  // maxIterations + 1 iterations. iter and err receive the last values.
  void linbcg(int n, const double* b, double* x, int itol, double tol, int maxIterations,
              int* iter, double* err);

  // result = A x (transpose 0) or A^T x. Once buildTranspose() has run, the
  // transpose product gathers per column over the transposed index, adding
  // in ascending row order exactly as dsprstx scatters, so it is row-parallel
  // and gives the same doubles.
  void multiply(int n, const double* x, double* result, int transpose) const;
  // Builds the transposed index of the off-diagonal entries (for each column,
  // the positions of its entries in ascending row order).
  void buildTranspose(int n);
  void precondition(int n, const double* b, double* x, int transpose) const;
  static double norm(int n, const double* v, int itol);

 private:
  bool runsParallel(int n) const {
    return indices.size() > static_cast<size_t>(n) + 1 && solverRunsParallel(indices.data(), n);
  }

  std::vector<int> transposeStart_;     // n + 2 entries: column j's range
  std::vector<int> transposePosition_;  // positions into values/indices
  std::vector<int> transposeRow_;       // the row of each such entry
};

// SparseMatrix's storage with single-precision values, for the solvers
// that take the matrix as it is (schwarzSolve): the entries are weights in
// [0, 1] that need no more than float's precision for an iterative solve to
// a relative residual far above it, and the values are two thirds of the
// bytes (a level's system at 1,000,000 points holds 62 M entries).
struct SingleSparseMatrix {
  std::vector<int, UninitialisedAllocator<int>> indices;
  std::vector<float, UninitialisedAllocator<float>> values;
  float errorScale = 1.0f;
  std::FILE* console = nullptr;
};

}  // namespace wendfit
