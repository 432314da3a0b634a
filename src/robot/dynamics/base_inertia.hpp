// The floating base's equation of the articulated-body recursions: its 6 x 6
// articulated inertia solved with a conditioning and a residual test.
#pragma once

#include <expected>

#include "error.hpp"
#include "spatial.hpp"

namespace velkor {

// Solves A·x = b for the floating base's articulated inertia, with diagonal
// scaling, a conditioning test and a residual test.
std::expected<Vec6, Error> solve_base_inertia(const Mat6& A, const Vec6& b);

inline constexpr double base_condition_threshold = 1.4901161193847656e-8;  // 2⁻²⁶
inline constexpr double base_residual_tolerance = 2.842170943040401e-14;   // 2⁻⁴⁵

}  // namespace velkor
