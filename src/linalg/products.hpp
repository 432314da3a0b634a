// Dense products over caller storage: C += A B and the transpose of rows, for
// the constrained derivatives' m x N blocks. Column-major spans as in
// cholesky.hpp (an r x c matrix: entry (i, j) at [j·r + i]); nothing allocates.
#pragma once

#include <cstddef>
#include <span>

// Loops over whole rows of N x N matrices; with GCC on x86-64 glibc they are
// built twice, for AVX2 and for any x86-64, and the loader picks one for the
// machine (an indirect function, which musl lacks).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__GLIBC__)
#define VELKOR_ROW_LOOPS __attribute__((target_clones("avx2", "default")))
#else
#define VELKOR_ROW_LOOPS
#endif

namespace velkor::linalg {

// C += A B for C (rows x cols), A (rows x inner) and B (inner x cols), as sums
// of A's columns four at a time, which vectorise. C must not overlap A or B.
void add_product(std::span<double> C, std::span<const double> A, std::span<const double> B,
                 std::size_t rows, std::size_t inner, std::size_t cols);

// out (m x N, column-major) = the transpose of m rows of N (row r at [r·N]).
void columns_of(std::span<const double> rows, std::size_t m, std::size_t N, std::span<double> out);

}  // namespace velkor::linalg
