// The tree-sparse factor of a mass matrix, M = Lᵀ D L, and what is solved with
// it: L(k, i) ≠ 0 only for coordinates i above k, so the factor keeps M's
// sparsity and each solve costs O(N·d) for N coordinates d deep.
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "error.hpp"
#include "linalg/products.hpp"  // VELKOR_ROW_LOOPS
#include "robot/model.hpp"
#include "robot/workspace.hpp"
#include "spatial.hpp"

namespace velkor {

// An N x N matrix, column-major (row-major when `transposed`): an output of
// the recursions (empty: not written) and the factor and solves below.
struct Matrix {
  double* data = nullptr;
  std::ptrdiff_t N = 0;
  bool transposed = false;

  Matrix() = default;
  Matrix(std::span<double> m, std::size_t n, bool transposed_ = false)
      : data(m.data()), N(static_cast<std::ptrdiff_t>(n)), transposed(transposed_) {}

  bool empty() const { return data == nullptr; }
  double& operator()(std::ptrdiff_t r, std::ptrdiff_t c) const {
    return data[transposed ? r * N + c : c * N + r];
  }
  // Entry (r, c) of a matrix that is never transposed: the factor and its
  // solves, whose inner loops should not test the layout.
  double& at(std::ptrdiff_t r, std::ptrdiff_t c) const { return data[c * N + r]; }
  void set(std::size_t r, std::size_t c, double value) const {
    (*this)(static_cast<std::ptrdiff_t>(r), static_cast<std::ptrdiff_t>(c)) = value;
  }
  // A root-coordinate six-vector as base rows 0..5 of column c, world axes.
  void set_base_rows(std::size_t c, const Quat& R, const Vec6& x) const {
    const Vec3 angular = R * x.head<3>(), linear = R * x.tail<3>();
    for (int i = 0; i < 3; ++i) {
      set(static_cast<std::size_t>(i), c, angular[i]);
      set(static_cast<std::size_t>(i) + 3, c, linear[i]);
    }
  }
};

// The nearest generalized coordinate above each of the N, −1 at the top: a free
// base's six form a chain in front of the joints (in w.generalized_parent).
std::span<const std::ptrdiff_t> coordinate_tree(const Model& model, std::size_t o, std::size_t N,
                                                Workspace& w);

// M = Lᵀ D L in place, L unit lower triangular with L(k, i) ≠ 0 only for i above
// k: for k from the last coordinate up, a = M(k, i) / M(k, k) and
// M(i, j) −= a M(k, j) for every i, j above k.
std::expected<void, Error> factor(std::span<const std::ptrdiff_t> up, const Matrix& M);

// M⁻¹ = Y D⁻¹ Yᵀ in place of the factor, Y = L⁻¹.
void invert(std::span<const std::ptrdiff_t> up, const Matrix& M, Workspace& w);

// x ← L⁻ᵀ x (Lᵀ z = x), D⁻¹ x and L⁻¹ x (L z = x) with the factor LD; M⁻¹ x is
// the three in turn. x has N entries.
void solve_transposed_unit(std::span<const std::ptrdiff_t> up, const Matrix& LD, double* x);
void solve_unit(std::span<const std::ptrdiff_t> up, const Matrix& LD, double* x);
inline void solve_diagonal(const Matrix& LD, double* x) {
  for (std::ptrdiff_t i = 0; i < LD.N; ++i) x[i] /= LD.at(i, i);
}
inline void solve(std::span<const std::ptrdiff_t> up, const Matrix& LD, double* x) {
  solve_transposed_unit(up, LD, x);
  solve_diagonal(LD, x);
  solve_unit(up, LD, x);
}

// X ← −M⁻¹ X for two N x N matrices stored transposed (X's column c is row c
// of the array), by the factor's operations on whole rows.
void negative_solve_rows(const std::ptrdiff_t* up, const double* LD, double* first, double* second,
                         std::ptrdiff_t N);

void transpose_in_place(const Matrix& X);

}  // namespace velkor
