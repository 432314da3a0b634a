#include "linalg/cholesky.hpp"

namespace velkor::linalg {

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
