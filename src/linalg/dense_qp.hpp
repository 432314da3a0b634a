// A small dense QP with equalities and simple bounds, solved exactly by the
// dual active-set method of Goldfarb and Idnani:
//
//   minimise ½ xᵀHx + gᵀx   subject to   A x = b,   lower ≤ x ≤ upper
//
// H (n × n) symmetric positive definite, A (m × n). It starts from the
// unconstrained minimum −H⁻¹g, adds the equalities, then the most violated
// bound at a time, dropping a bound whose multiplier would change sign; every
// iterate is optimal for the constraints taken so far, so no feasible start is
// needed. It keeps J = L⁻ᵀQ and the triangular R of the active constraints'
// normals (H = LLᵀ), updated by Givens rotations: O(n²) a change, O(n³) for the
// factor. A bound of magnitude infinity, or at least `no_bound`, is none.
//
// Scratch is sized once (reserve); solve allocates nothing.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace velkor {

// Infeasible: no x meets the equalities within the bounds (equalities that
// depend on others must agree with them). Cycling: the active set changed
// 20·(n + m + 2) times without settling, which only a degenerate problem does
// (bounds and equalities that meet at one vertex, dependent beyond rounding).
enum class QpStatus { Solved, Infeasible, NotPositiveDefinite, Cycling };

class DenseQp {
 public:
  static constexpr double no_bound = 1e20;

  // Room for n unknowns and m equalities.
  void reserve(std::size_t n, std::size_t m);

  // x (n values) from H and A column-major (entry (r, c) at rows·c + r); the
  // bounds n values each.
  QpStatus solve(std::span<const double> H, std::span<const double> g, std::span<const double> A,
                 std::span<const double> b, std::span<const double> lower, std::span<const double> upper,
                 std::span<double> x);

 private:
  // Normal of constraint k: k < m an equality (A's row), then per unknown i a
  // lower bound (+e_i, index m + 2i) and an upper bound (−e_i, m + 2i + 1).
  void normal_times_J(std::size_t k, std::span<const double> A);  // d = Jᵀ n_k
  double normal_dot(std::size_t k, std::span<const double> A, const double* v) const;  // n_kᵀ v
  double slack(std::size_t k, std::span<const double> A, std::span<const double> b,
               std::span<const double> lower, std::span<const double> upper) const;  // n_kᵀx − b_k
  void update_z();  // z = J₂ d₂: the primal direction
  void update_r();  // R r = d₁: the dual direction
  bool add_constraint();
  void drop_constraint(std::size_t l);
  double& Jat(std::size_t r, std::size_t c) { return J_[c * n_ + r]; }
  double& Rat(std::size_t r, std::size_t c) { return R_[c * n_ + r]; }

  std::size_t n_ = 0, m_ = 0, iq_ = 0;
  double R_norm_ = 1.0;
  std::vector<double> J_, R_, d_, z_, r_, u_, u_old_, x_, x_old_;
  std::vector<std::size_t> active_, active_old_;  // constraint indices, equalities first
  std::vector<char> inactive_, excluded_;          // per bound constraint (2n)
};

}  // namespace velkor
