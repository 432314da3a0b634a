// Dense symmetric factorisations and the triangular solves and inverses made
// with them: the one Cholesky of the library's dense solves (constraint forces,
// the inverse-kinematics QP), the LDLᵀ of the floating base's 6 x 6 inertia, and
// the explicit inverses the constrained derivatives and the QP multiply by.
//
// Storage: every matrix is a span over the caller's n·n doubles, column-major,
// entry (i, j) at [j·n + i]; a symmetric input is read in its lower triangle
// (i ≥ j), so row-major storage reads the same. Vectors are spans of n. Nothing
// here allocates or checks sizes: the spans must hold n·n and n entries.
//
// Not here: the mass matrix's factor (robot/dynamics/tree_factor.hpp). It is
// sparse, M = Lᵀ D L with L(k, i) ≠ 0 only for the coordinates i above k, and
// every loop of it follows the model's parent array, so it lives with the
// recursions that produce that array; what is dense about it stays O(N·d).
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

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

// L Lᵀ = A + shift·E into the lower triangle of L (above it left as it is).
// Column j costs (n − j)·j + 1 multiply-adds, announced to `stop` before it is
// computed; stop(work) returning true ends the factor. With `refuse` a
// non-finite pivot is reported before the dependence test; with `skip` it
// counts as dependent. A tolerance of zero asks only d_j > 0.
template <class Stop>
Factorisation cholesky(std::size_t n, std::span<const double> A, double shift, double tolerance,
                       DependentRows rows, std::span<double> L, Stop&& stop) {
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
inline Factorisation cholesky(std::size_t n, std::span<const double> A, double shift, double tolerance,
                              DependentRows rows, std::span<double> L) {
  return cholesky(n, A, shift, tolerance, rows, L, [](std::size_t) { return false; });
}

// x ← (L Lᵀ)⁻¹ x: L y = x, then Lᵀ x = y; a skipped row (L_jj = 0) gets x_j = 0.
// Inline: the proximal iterations call it once per iteration and column.
inline void cholesky_solve(std::size_t n, std::span<const double> L, std::span<double> x) {
  // L y = x: y_i = (x_i − Σ_{k<i} L_ik y_k) / L_ii
  for (std::size_t i = 0; i < n; ++i) {
    if (!(L[i * n + i] > 0.0)) {
      x[i] = 0.0;
      continue;
    }
    for (std::size_t k = 0; k < i; ++k) x[i] -= L[k * n + i] * x[k];
    x[i] /= L[i * n + i];
  }
  // Lᵀ x = y: x_i = (y_i − Σ_{k>i} L_ki x_k) / L_ii
  for (std::size_t i = n; i-- > 0;) {
    if (!(L[i * n + i] > 0.0)) continue;
    for (std::size_t k = i + 1; k < n; ++k) x[i] -= L[i * n + k] * x[k];
    x[i] /= L[i * n + i];
  }
}

// X = L⁻¹ and A⁻¹ = L⁻ᵀ L⁻¹ = Xᵀ X from the Cholesky factor L of A (every
// L_jj > 0): by forward substitution X_jj = 1 / L_jj,
// X_ij = −(Σ_{j≤k<i} L_ik X_kj) / L_ii (X's lower triangle), then
// A⁻¹_ij = Σ_{k ≥ max(i, j)} X_ki X_kj, both triangles. Column j of each half
// costs about (n − j)²/2 multiply-adds, announced to `stop` first; false when
// stop(work) ended it. n³/2 multiply-adds in all.
template <class Stop>
bool cholesky_inverse(std::size_t n, std::span<const double> L, std::span<double> X,
                      std::span<double> inverse, Stop&& stop) {
  for (std::size_t j = 0; j < n; ++j) {
    if (stop((n - j) * (n - j) / 2 + 1)) return false;
    X[j * n + j] = 1.0 / L[j * n + j];
    for (std::size_t i = j + 1; i < n; ++i) {
      double sum = 0.0;
      for (std::size_t k = j; k < i; ++k) sum += L[k * n + i] * X[j * n + k];
      X[j * n + i] = -sum / L[i * n + i];
    }
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (stop((n - j) * (n - j) / 2 + 1)) return false;
    for (std::size_t i = j; i < n; ++i) {
      double sum = 0.0;
      for (std::size_t k = i; k < n; ++k) sum += X[i * n + k] * X[j * n + k];
      inverse[j * n + i] = inverse[i * n + j] = sum;
    }
  }
  return true;
}

// J = L⁻ᵀ (upper triangular, below it zero) from a Cholesky factor L, column by
// column: Lᵀ J_c = e_c from the bottom up, J_ic = (δ_ic − Σ_{i<k≤c} L_ki J_kc) / L_ii.
void cholesky_inverse_transpose(std::size_t n, std::span<const double> L, std::span<double> J);

// S = L·diag(D)·Lᵀ with L unit lower triangular, without square roots:
// D_j = S_jj − Σ_{k<j} L_jk² D_k, L_ij = (S_ij − Σ_{k<j} L_ik L_jk D_k) / D_j,
// into L's lower triangle and unit diagonal (above it left as it is). False
// when a pivot is not positive (S not positive definite in floating point).
// Inline, so that a fixed n (the base's 6) unrolls.
inline bool ldlt(std::size_t n, std::span<const double> S, std::span<double> L, std::span<double> D) {
  for (std::size_t j = 0; j < n; ++j) {
    L[j * n + j] = 1.0;
    double d = S[j * n + j];
    for (std::size_t k = 0; k < j; ++k) d -= L[k * n + j] * L[k * n + j] * D[k];
    if (!(d > 0.0)) return false;
    D[j] = d;
    const double inverse = 1.0 / d;
    for (std::size_t i = j + 1; i < n; ++i) {
      double sum = S[j * n + i];
      for (std::size_t k = 0; k < j; ++k) sum -= L[k * n + i] * L[k * n + j] * D[k];
      L[j * n + i] = sum * inverse;
    }
  }
  return true;
}

// X = L⁻¹ of a unit lower-triangular L (its lower triangle read), all of X
// written: X_jj = 1, X_ij = −Σ_{j≤k<i} L_ik X_kj, zero above the diagonal.
inline void unit_lower_inverse(std::size_t n, std::span<const double> L, std::span<double> X) {
  for (std::size_t i = 0; i < n * n; ++i) X[i] = 0.0;
  for (std::size_t j = 0; j < n; ++j) {
    X[j * n + j] = 1.0;
    for (std::size_t i = j + 1; i < n; ++i) {
      double sum = 0.0;
      for (std::size_t k = j; k < i; ++k) sum += L[k * n + i] * X[j * n + k];
      X[j * n + i] = -sum;
    }
  }
}

}  // namespace velkor::linalg
