#pragma once
// Conjugate gradients preconditioned by an overlapping additive Schwarz
// method, for the symmetric positive definite systems of the level fits.
//
// Each level's matrix couples centres closer than the support radius, and
// nearby centres make it very ill-conditioned; its diagonal is a constant, so
// diagonal scaling does nothing and plain iterations need hundreds to
// thousands of steps. Here the centres are cut into small spatial blocks
// (median bisection along the longest box axis, at most kSchwarzBlockSize
// centres each), every block is widened by its strong neighbours (entries of
// at least `overlapWeight`), and each widened block's dense submatrix is
// factored once (Cholesky, float factors). The preconditioner solves every
// block and adds the block solutions on shared rows without weighting, so it
// stays symmetric and CG applies.
//
// Determinism: the blocks, the order in which block solutions are added on a
// row and the chunks of every dot product are fixed, so the iterates are
// bit-identical for any number of threads.

#include "solver/sparse_matrix.h"

namespace wendfit {

// Which solver the level fits use.
enum class SolverKind {
  Bicg,     // linbcg, the designed method
  Schwarz,  // schwarzSolve
};

// Centres per block before widening.
constexpr int kSchwarzBlockSize = 64;

// What one schwarzSolve call built and did.
struct SchwarzReport {
  int blocks = 0;             // blocks of the preconditioner
  int fallbackBlocks = 0;     // blocks whose Cholesky factorisation failed
  long long widenedRows = 0;  // rows of all widened blocks together
  long long factorBytes = 0;  // memory of the stored factors
  double setupSeconds = 0;    // blocks and factorisations
};

// Solves A x = b for the symmetric positive definite matrix in `matrix`
// (row-indexed storage of n rows, every row's columns ascending, A(i, j) ==
// A(j, i)) from the initial guess in x (entries 1..n of b and x).
// `positions` holds 3 n floats, the point of row i + 1 at 3 i; it only shapes
// the blocks. Off-diagonal entries of at least `overlapWeight` widen a block
// by their column.
//
// Stops when ||b - A x||_2 / ||b||_2 <= tol, confirmed on the true residual
// (the iteration continues from it when the recurrence was too optimistic),
// or after maxIterations + 1 iterations. iter and err receive the
// iterations done and the last relative residual. A zero b gives x = 0 at
// once. Progress goes to matrix.console in linbcg's format (err divided by
// matrix.errorScale), with a line break on convergence. A zero curvature
// p.Ap ends the iteration with the last iterate. Throws SolverError on
// storage that does not match n.
SchwarzReport schwarzSolve(const SparseMatrix& matrix, int n, const float* positions,
                           double overlapWeight, const double* b, double* x, double tol,
                           int maxIterations, int* iter, double* err);
// The same on single-precision values: the same arithmetic in double
// precision on each entry's float value.
SchwarzReport schwarzSolve(const SingleSparseMatrix& matrix, int n, const float* positions,
                           double overlapWeight, const double* b, double* x, double tol,
                           int maxIterations, int* iter, double* err);

}  // namespace wendfit
