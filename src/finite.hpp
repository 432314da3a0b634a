// Whether numbers are finite: the one test behind every finiteness check of
// inputs, results and model data.
#pragma once

#include <span>

namespace velkor {

// True when no value is inf or NaN. v·0 is ±0 for a finite v and NaN for inf
// or NaN, and a NaN stays in the sum: one multiply and one add a value, no
// branch, so long results cost a pass at memory speed.
inline bool all_finite(std::span<const double> values) {
  double zero = 0.0;
  for (const double v : values) zero += v * 0.0;
  return zero == zero;
}

}  // namespace velkor
