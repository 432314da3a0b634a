// The single error type of the core. Every failure an input can cause is one of
// these variants; each knows its message and the Python class it becomes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace velkor {

// Fixed labels ("q", "frame workspace", ...) are string literals that outlive any error.
using Label = std::string_view;

namespace errors {
struct Urdf { std::string message; };
struct InvalidModel { std::string reason; };
struct UnsupportedJointType { std::string joint; std::string joint_type; };
struct WrongSliceLength { Label slice; std::size_t expected; std::size_t actual; };
struct NonFiniteInput { Label input; };
struct NumericalFailure { Label operation; };
struct InvalidJointAxis { std::string joint; };
struct UnknownLink { std::string name; };
struct InvalidJointIndex { std::size_t index; };
struct InvalidLinkId {};
struct InvalidBaseState { Label field; Label reason; };
struct FloatingBaseIkUnsupported {};
struct InvalidIkOptions { Label option; Label reason; };
struct NonFiniteIkInput { Label input; };
struct IkNumericalFailure { std::size_t iteration; };
struct IkJointLimitViolation {
  std::size_t joint_index;
  std::string joint;
  double position;
  double lower;
  double upper;
};
struct IkNotConverged { std::size_t iterations; double translation_error; double rotation_error; };
struct ForwardDynamicsSingularJointInertia { std::size_t joint_index; };
struct ForwardDynamicsSingularBaseInertia {};
struct ForwardDynamicsIllConditionedBaseInertia {};
// A long computation stopped because its caller's interrupt poll asked it to (see interrupt.hpp).
struct Interrupted {};
}  // namespace errors

// The Python exception class an error becomes: description problems, caller
// argument problems, numerical failures on valid input, and a computation the
// caller interrupted (the exception its signal handler raised, KeyboardInterrupt by default).
enum class ErrorClass { ModelError, ValueError, SolverError, Interrupted };

class Error {
 public:
  // Declaration order is part of the contract (variant index 0..20).
  using Variant = std::variant<
      errors::Urdf, errors::InvalidModel, errors::UnsupportedJointType, errors::WrongSliceLength,
      errors::NonFiniteInput, errors::NumericalFailure, errors::InvalidJointAxis,
      errors::UnknownLink, errors::InvalidJointIndex, errors::InvalidLinkId,
      errors::InvalidBaseState, errors::FloatingBaseIkUnsupported, errors::InvalidIkOptions,
      errors::NonFiniteIkInput, errors::IkNumericalFailure, errors::IkJointLimitViolation,
      errors::IkNotConverged, errors::ForwardDynamicsSingularJointInertia,
      errors::ForwardDynamicsSingularBaseInertia,
      errors::ForwardDynamicsIllConditionedBaseInertia, errors::Interrupted>;

  template <typename V>
    requires std::is_constructible_v<Variant, V&&>
  Error(V&& value) : value_(std::forward<V>(value)) {}  // NOLINT: implicit by design

  const Variant& value() const { return value_; }
  std::size_t index() const { return value_.index(); }
  template <typename V>
  bool is() const { return std::holds_alternative<V>(value_); }
  template <typename V>
  const V& as() const { return std::get<V>(value_); }

  // The user-facing message, e.g. "expected 6 elements in q, found 5".
  std::string message() const;
  // Structural form, e.g. WrongSliceLength { slice: "q", expected: 6, actual: 5 }.
  std::string debug() const;
  ErrorClass python_class() const;

 private:
  Variant value_;
};

// Shorthand for the most frequent failure of the computing calls.
inline Error wrong_length(Label slice, std::size_t expected, std::size_t actual) {
  return errors::WrongSliceLength{slice, expected, actual};
}

// Six digits after the point, exponent without '+' or leading zeros:
// 0.00012345678 -> "1.234568e-4", 2.5 -> "2.500000e0", NaN -> "NaN".
std::string format_scientific6(double value);

}  // namespace velkor
