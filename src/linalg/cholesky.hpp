// Dense symmetric factorisation: the one Cholesky of the library's dense
// solves (constraint forces, the inverse-kinematics QP) and its triangular
// solves. Storage is column-major, lower triangle: L(i, j), i ≥ j, at
// L[j·n + i]; A(i, j) is read at A[j·n + i] for i ≥ j (A is symmetric, so
// row-major storage reads the same). Nothing here allocates.
#pragma once

#include <cmath>
#include <cstddef>

namespace velkor::linalg {

// What a pivot d_j ≤ tolerance · (A_jj + shift) means: a row that depends on
// the rows before it, refused, or skipped (column j of L set to zero, so the
// solves below give x_j = 0).
enum class DependentRows { refuse, skip };

enum class Factored { done, not_finite, dependent, stopped };

struct Factorisation {
  Factored outcome = Factored::done;
  std::size_t column = 0;  // where it stopped (outcome ≠ done)
};

// L Lᵀ = A + shift·E. Column j costs (n − j)·j + 1 multiply-adds, announced to
// `stop` before it is computed; stop(work) returning true ends the factor.
// With `refuse` a non-finite pivot is reported before the dependence test;
// with `skip` it counts as dependent. A tolerance of zero asks only d_j > 0.
template <class Stop>
Factorisation cholesky(std::size_t n, const double* A, double shift, double tolerance,
                       DependentRows rows, double* L, Stop&& stop) {
  for (std::size_t j = 0; j < n; ++j) {
    if (stop((n - j) * j + 1)) return {Factored::stopped, j};
    const double diagonal = A[j * n + j] + shift;
    // d_j = A_jj + shift − Σ_{k<j} L_jk²
    double d = diagonal;
    for (std::size_t k = 0; k < j; ++k) d -= L[k * n + j] * L[k * n + j];
    if (rows == DependentRows::refuse && !std::isfinite(d)) return {Factored::not_finite, j};
    const double threshold = tolerance == 0.0 ? 0.0 : tolerance * diagonal;
    if (!(d > threshold)) {
      if (rows == DependentRows::refuse) return {Factored::dependent, j};
      for (std::size_t i = j; i < n; ++i) L[j * n + i] = 0.0;
      continue;
    }
    // L_jj = √d_j; L_ij = (A_ij − Σ_{k<j} L_ik L_jk) / L_jj
    const double l = std::sqrt(d);
    L[j * n + j] = l;
    for (std::size_t i = j + 1; i < n; ++i) {
      double x = A[j * n + i];
      for (std::size_t k = 0; k < j; ++k) x -= L[k * n + i] * L[k * n + j];
      L[j * n + i] = x / l;
    }
  }
  return {};
}

// The factor without an interrupt.
inline Factorisation cholesky(std::size_t n, const double* A, double shift, double tolerance,
                              DependentRows rows, double* L) {
  return cholesky(n, A, shift, tolerance, rows, L, [](std::size_t) { return false; });
}

// x ← (L Lᵀ)⁻¹ x: L y = x, then Lᵀ x = y; a skipped row (L_jj = 0) gets x_j = 0.
void cholesky_solve(std::size_t n, const double* L, double* x);

}  // namespace velkor::linalg
