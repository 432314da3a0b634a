#include "linalg/products.hpp"

namespace velkor::linalg {
namespace {

VELKOR_ROW_LOOPS
void add_product_loops(double* __restrict C, const double* __restrict A, const double* __restrict B,
                       std::size_t rows, std::size_t inner, std::size_t cols) {
  for (std::size_t c = 0; c < cols; ++c) {
    double* C_c = C + c * rows;
    const double* B_c = B + c * inner;
    std::size_t k = 0;
    for (; k + 4 <= inner; k += 4) {
      const double b0 = B_c[k], b1 = B_c[k + 1], b2 = B_c[k + 2], b3 = B_c[k + 3];
      const double* A0 = A + k * rows;
      const double* A1 = A0 + rows;
      const double* A2 = A1 + rows;
      const double* A3 = A2 + rows;
      for (std::size_t r = 0; r < rows; ++r) C_c[r] += A0[r] * b0 + A1[r] * b1 + A2[r] * b2 + A3[r] * b3;
    }
    for (; k < inner; ++k) {
      const double b = B_c[k];
      const double* A_k = A + k * rows;
      for (std::size_t r = 0; r < rows; ++r) C_c[r] += A_k[r] * b;
    }
  }
}

}  // namespace

void add_product(std::span<double> C, std::span<const double> A, std::span<const double> B,
                 std::size_t rows, std::size_t inner, std::size_t cols) {
  add_product_loops(C.data(), A.data(), B.data(), rows, inner, cols);
}

void columns_of(std::span<const double> rows, std::size_t m, std::size_t N, std::span<double> out) {
  for (std::size_t r = 0; r < m; ++r)
    for (std::size_t c = 0; c < N; ++c) out[c * m + r] = rows[r * N + c];
}

}  // namespace velkor::linalg
