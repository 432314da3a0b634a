// Entry checks shared by the computing operations: lengths first, then
// finiteness, with the names that appear in the messages.
#pragma once

#include <expected>
#include <span>

#include "error.hpp"
#include "robot/model.hpp"

namespace velkor {

// Every value finite (NonFiniteInput naming `name`).
std::expected<void, Error> check_finite(std::span<const double> values, Label name);

// A vector with one entry per DOF (q, qd, qdd, ...), all finite.
std::expected<void, Error> check_dof_vector(const Model& model, std::span<const double> values,
                                            Label name);

// A vector that must match q in length (slice `name`) and be finite.
std::expected<void, Error> check_like_q(std::span<const double> q, std::span<const double> values,
                                        Label name);

// An output of exactly `expected` entries.
std::expected<void, Error> check_output(std::span<double> out, std::size_t expected, Label name);

}  // namespace velkor
