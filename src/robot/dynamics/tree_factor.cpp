#include "robot/dynamics/tree_factor.hpp"

#include <cmath>

namespace velkor {
namespace {

// M⁻¹(a, b) = t_b + Σ_{k<b} t_k Y(b, k) for b ≤ a, t_k = Y(a, k) / D_k, into the
// lower triangle, with Y = L⁻¹ in the (otherwise zero) upper triangle: Y(b, k)
// at (k, b). `t` has N entries.
VELKOR_ROW_LOOPS
void inverse_products(double* M, const double* inverse_D, double* t, std::ptrdiff_t N) {
  for (std::ptrdiff_t a = 0; a < N; ++a) {
    const double* __restrict column_a = M + a * N;
    for (std::ptrdiff_t k = 0; k < a; ++k) t[k] = column_a[k] * inverse_D[k];
    t[a] = inverse_D[a];
    for (std::ptrdiff_t b = 0; b <= a; ++b) {
      const double* __restrict column_b = M + b * N;
      double s = 0.0;
      for (std::ptrdiff_t k = 0; k < b; ++k) s += t[k] * column_b[k];
      M[b * N + a] = s + t[b];
    }
  }
}

}  // namespace

// X ← −M⁻¹ X for two matrices X stored transposed (X's row r is column r of
// the array), by the factor LD's operations on whole rows: Lᵀ Y = X, Y / D, L Z = Y.
VELKOR_ROW_LOOPS
void negative_solve_rows(const std::ptrdiff_t* up, const double* LD, double* first, double* second,
                         std::ptrdiff_t N) {
  for (std::ptrdiff_t i = N; i-- > 0;) {
    const double* __restrict a_i = first + i * N;
    const double* __restrict b_i = second + i * N;
    for (std::ptrdiff_t j = up[i]; j >= 0; j = up[j]) {
      const double L = LD[j * N + i];
      double* __restrict a_j = first + j * N;
      double* __restrict b_j = second + j * N;
      for (std::ptrdiff_t k = 0; k < N; ++k) {
        a_j[k] -= L * a_i[k];
        b_j[k] -= L * b_i[k];
      }
    }
  }
  for (std::ptrdiff_t i = 0; i < N; ++i) {
    const double scale = -1.0 / LD[i * N + i];
    for (std::ptrdiff_t k = 0; k < N; ++k) {
      first[i * N + k] *= scale;
      second[i * N + k] *= scale;
    }
  }
  for (std::ptrdiff_t i = 0; i < N; ++i) {
    double* __restrict a_i = first + i * N;
    double* __restrict b_i = second + i * N;
    for (std::ptrdiff_t j = up[i]; j >= 0; j = up[j]) {
      const double L = LD[j * N + i];
      const double* __restrict a_j = first + j * N;
      const double* __restrict b_j = second + j * N;
      for (std::ptrdiff_t k = 0; k < N; ++k) {
        a_i[k] -= L * a_j[k];
        b_i[k] -= L * b_j[k];
      }
    }
  }
}

void transpose_in_place(const Matrix& X) {
  for (std::ptrdiff_t c = 0; c < X.N; ++c)
    for (std::ptrdiff_t r = 0; r < c; ++r) std::swap(X(r, c), X(c, r));
}

// The nearest generalized coordinate above each of the N, −1 at the top: a free
// base's six form a chain in front of the joints.
std::span<const std::ptrdiff_t> coordinate_tree(const Model& model, std::size_t o, std::size_t N,
                                                Workspace& w) {
  const std::span<std::ptrdiff_t> up = std::span(w.generalized_parent).first(N);
  for (std::size_t i = 0; i < N; ++i) {
    if (i < o) {
      up[i] = static_cast<std::ptrdiff_t>(i) - 1;
    } else {
      const auto& p = model.dof_parent[i - o];
      up[i] = p ? static_cast<std::ptrdiff_t>(o + *p) : static_cast<std::ptrdiff_t>(o) - 1;
    }
  }
  return up;
}

// M = Lᵀ D L in place, L unit lower triangular with L(k, i) ≠ 0 only for i above
// k, so the factor keeps M's sparsity: for k from the last coordinate up,
// a = M(k, i) / M(k, k) and M(i, j) −= a M(k, j) for every i, j above k.
std::expected<void, Error> factor(std::span<const std::ptrdiff_t> up, const Matrix& M) {
  for (std::ptrdiff_t k = M.N; k-- > 0;) {
    const double D = M.at(k, k);
    if (!(D > 0.0) || !std::isfinite(D))
      return std::unexpected(errors::NumericalFailure{"mass matrix factorization"});
    for (std::ptrdiff_t i = up[k]; i >= 0; i = up[i]) {
      const double a = M.at(k, i) / D;
      for (std::ptrdiff_t j = i; j >= 0; j = up[j]) M.at(i, j) -= a * M.at(k, j);
      M.at(k, i) = a;
    }
  }
  return {};
}

// M⁻¹ = Y D⁻¹ Yᵀ in place of the factor, Y = L⁻¹ (L's sparsity, kept in the
// upper triangle meanwhile): Y(i, j) = −(L(i, j) + Σ L(i, k) Y(k, j)) over k
// between j and i; then the products above, mirrored.
void invert(std::span<const std::ptrdiff_t> up, const Matrix& M, Workspace& w) {
  const std::ptrdiff_t N = M.N;
  const auto n = static_cast<std::size_t>(N);
  const std::span<double> inverse_D = std::span(w.generalized_a).first(n),
                          t = std::span(w.generalized_b).first(n);
  for (std::ptrdiff_t i = 0; i < N; ++i) inverse_D[static_cast<std::size_t>(i)] = 1.0 / M.at(i, i);
  for (std::ptrdiff_t c = 0; c < N; ++c)
    for (std::ptrdiff_t r = 0; r < c; ++r) M.at(r, c) = 0.0;
  for (std::ptrdiff_t i = 0; i < N; ++i)
    for (std::ptrdiff_t j = up[i]; j >= 0; j = up[j]) {
      double s = M.at(i, j);
      for (std::ptrdiff_t k = up[i]; k != j; k = up[k]) s += M.at(i, k) * M.at(j, k);
      M.at(j, i) = -s;
    }
  inverse_products(M.data, inverse_D.data(), t.data(), N);
  for (std::ptrdiff_t c = 0; c < N; ++c)
    for (std::ptrdiff_t r = 0; r < c; ++r) M.at(r, c) = M.at(c, r);
}

void solve_transposed_unit(std::span<const std::ptrdiff_t> up, const Matrix& LD, double* x) {
  for (std::ptrdiff_t k = LD.N; k-- > 0;) {
    const double x_k = x[k];
    if (x_k == 0.0) continue;
    for (std::ptrdiff_t i = up[k]; i >= 0; i = up[i]) x[i] -= LD.at(k, i) * x_k;
  }
}

void solve_unit(std::span<const std::ptrdiff_t> up, const Matrix& LD, double* x) {
  for (std::ptrdiff_t k = 0; k < LD.N; ++k)
    for (std::ptrdiff_t i = up[k]; i >= 0; i = up[i]) x[k] -= LD.at(k, i) * x[i];
}

}  // namespace velkor
