#include "robot/dynamics/base_inertia.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "linalg/cholesky.hpp"

namespace velkor {
namespace {

double max_column_sum(const Mat6& M) { return M.cwiseAbs().colwise().sum().maxCoeff(); }

Error base_solve_failure() { return errors::NumericalFailure{"floating-base inertia solve"}; }

// The linear-algebra room's view of a fixed-size matrix or vector (column-major).
template <class Fixed>
std::span<double> view(Fixed& x) {
  return {x.data(), static_cast<std::size_t>(x.size())};
}
template <class Fixed>
std::span<const double> view(const Fixed& x) {
  return {x.data(), static_cast<std::size_t>(x.size())};
}

}  // namespace

std::expected<Vec6, Error> solve_base_inertia(const Mat6& A, const Vec6& b) {
  if (!A.allFinite() || !b.allFinite()) return std::unexpected(base_solve_failure());
  for (int i = 0; i < 6; ++i)
    if (!(A(i, i) > 0.0)) return std::unexpected(errors::ForwardDynamicsSingularBaseInertia{});
  // S = E A E with E = diag(1/√A_ii): unit diagonal, so the test below is unit-free.
  const Vec6 e = A.diagonal().cwiseSqrt().cwiseInverse();
  Mat6 S;
  for (int j = 0; j < 6; ++j)
    for (int i = 0; i < 6; ++i) S(i, j) = A(i, j) * e[i] * e[j];
  const Vec6 b_scaled = b.cwiseProduct(e);
  if (!S.allFinite()) return std::unexpected(base_solve_failure());

  // S = L·diag(D)·Lᵀ, L unit lower triangular.
  Mat6 L;
  Vec6 D;
  if (!linalg::ldlt(6, view(S), view(L), view(D)))
    return std::unexpected(errors::ForwardDynamicsSingularBaseInertia{});
  const Vec6 inverse_D = D.cwiseInverse();
  // Condition: 1 / (‖S⁻¹‖₁ ‖S‖₁) must exceed the threshold. With S⁻¹ = Xᵀ D⁻¹ X,
  // X = L⁻¹: ‖S⁻¹‖₁ ≤ √6 ‖S⁻¹‖₂ ≤ √6 ‖D^(−1/2) X‖_F², so a bound well above the
  // threshold settles it; otherwise the full inverse decides.
  const double norm = max_column_sum(S);
  Mat6 X;  // L⁻¹
  linalg::unit_lower_inverse(6, view(L), view(X));
  double frobenius = 0.0;
  for (int i = 0; i < 6; ++i) frobenius += inverse_D[i] * X.row(i).squaredNorm();
  const double bound = 1.0 / norm / (std::sqrt(6.0) * frobenius);
  if (!(std::isfinite(frobenius) && bound > 4.0 * base_condition_threshold)) {
    const Mat6 inverse = X.transpose() * inverse_D.asDiagonal() * X;
    if (!inverse.allFinite()) return std::unexpected(errors::ForwardDynamicsIllConditionedBaseInertia{});
    if (1.0 / norm / max_column_sum(inverse) <= base_condition_threshold)
      return std::unexpected(errors::ForwardDynamicsIllConditionedBaseInertia{});
  }

  // y = S⁻¹ b: z = X b, then y = Xᵀ (D⁻¹ z)
  const Vec6 y = X.transpose() * (X * b_scaled).cwiseProduct(inverse_D);
  const Vec6 x = y.cwiseProduct(e);
  if (!y.allFinite() || !x.allFinite()) return std::unexpected(base_solve_failure());
  const double s = std::max(y.cwiseAbs().maxCoeff(), b_scaled.cwiseAbs().maxCoeff());
  if (s > 0.0) {
    const double scale = 1.0 / s;
    const Vec6 y_hat = y * scale, b_hat = b_scaled * scale;
    const Vec6 r = S * y_hat - b_hat;
    if (!r.allFinite() ||
        r.cwiseAbs().maxCoeff() >
            base_residual_tolerance * (norm * y_hat.cwiseAbs().maxCoeff() + b_hat.cwiseAbs().maxCoeff()))
      return std::unexpected(base_solve_failure());
  }
  return x;
}

}  // namespace velkor
