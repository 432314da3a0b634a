#include "linalg/cholesky.hpp"

namespace velkor::linalg {

void cholesky_solve(std::size_t n, std::span<const double> L, std::span<double> x) {
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

void cholesky_inverse_transpose(std::size_t n, std::span<const double> L, std::span<double> J) {
  for (std::size_t c = 0; c < n; ++c) {
    for (std::size_t i = c + 1; i < n; ++i) J[c * n + i] = 0.0;
    for (std::size_t i = c + 1; i-- > 0;) {
      double sum = i == c ? 1.0 : 0.0;
      for (std::size_t k = i + 1; k <= c; ++k) sum -= L[i * n + k] * J[c * n + k];  // Lᵀ(i, k) = L(k, i)
      J[c * n + i] = sum / L[i * n + i];
    }
  }
}

}  // namespace velkor::linalg
