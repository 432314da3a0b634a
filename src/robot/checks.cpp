#include "robot/checks.hpp"

#include "finite.hpp"

namespace velkor {

std::expected<void, Error> check_finite(std::span<const double> values, Label name) {
  if (!all_finite(values)) return std::unexpected(errors::NonFiniteInput{name});
  return {};
}

std::expected<void, Error> check_dof_vector(const Model& model, std::span<const double> values,
                                            Label name) {
  if (values.size() != model.dof_count())
    return std::unexpected(wrong_length(name, model.dof_count(), values.size()));
  return check_finite(values, name);
}

std::expected<void, Error> check_like_q(std::span<const double> q, std::span<const double> values,
                                        Label name) {
  if (values.size() != q.size()) return std::unexpected(wrong_length(name, q.size(), values.size()));
  return check_finite(values, name);
}

std::expected<void, Error> check_output(std::span<double> out, std::size_t expected, Label name) {
  if (out.size() != expected) return std::unexpected(wrong_length(name, expected, out.size()));
  return {};
}

}  // namespace velkor
