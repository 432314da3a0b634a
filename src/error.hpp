// The single error type of the core. Every failure an input can cause is one of
// these variants; each knows its message and the Python class it becomes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

namespace velkor {

// Fixed labels ("q", "frame workspace", ...) are string literals that outlive any error.
using Label = std::string_view;

// The Python exception class an error becomes: description problems, caller
// argument problems, numerical failures on valid input, and a computation the
// caller interrupted (the exception its signal handler raised, KeyboardInterrupt by default).
enum class ErrorClass { ModelError, ValueError, SolverError, Interrupted };

// Where in a robot description a load error points; every field may be unknown.
struct SourcePlace {
  // The element the message is about, as its path from <robot>: "joint", "joint/limit",
  // "link/inertial/inertia", "link/visual/geometry/mesh"; "robot" for <robot> itself and
  // "document" for the file as a whole. Empty when not known.
  std::string element;
  std::string name;      // the link's or joint's name (the robot's for "robot"); empty: none
  std::size_t line = 0;  // 1-based line of the element in the source; 0: not known
  Label attribute;       // the attribute of the element at fault; empty: the element as a whole
};

// A load error's place, held apart (one pointer) so that the errors of the computing
// calls, which never have one, stay as small as before. Copies copy the place.
class PlaceRef {
 public:
  PlaceRef() = default;
  PlaceRef(SourcePlace place)  // NOLINT: implicit by design
      : place_(std::make_unique<SourcePlace>(std::move(place))) {}
  PlaceRef(const PlaceRef& other)
      : place_(other.place_ ? std::make_unique<SourcePlace>(*other.place_) : nullptr) {}
  PlaceRef(PlaceRef&&) noexcept = default;
  PlaceRef& operator=(PlaceRef other) noexcept {
    place_ = std::move(other.place_);
    return *this;
  }
  const SourcePlace* get() const { return place_.get(); }

 private:
  std::unique_ptr<SourcePlace> place_;
};

// Each variant names the Python class it becomes, so the mapping stays with the type
// whatever its place in Error::Variant.
namespace errors {
struct Urdf {
  static constexpr ErrorClass python_class = ErrorClass::ModelError;
  std::string message;
  PlaceRef place{};
};
struct InvalidModel {
  static constexpr ErrorClass python_class = ErrorClass::ModelError;
  std::string reason;
  PlaceRef place{};
};
struct UnsupportedJointType {
  static constexpr ErrorClass python_class = ErrorClass::ModelError;
  std::string joint;
  Label joint_type;  // "floating", "planar" or "spherical"
  PlaceRef place{};
};
struct WrongSliceLength {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  Label slice;
  std::size_t expected;
  std::size_t actual;
};
struct NonFiniteInput {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  Label input;
};
struct NumericalFailure {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  Label operation;
};
struct InvalidJointAxis {
  static constexpr ErrorClass python_class = ErrorClass::ModelError;
  std::string joint;
  PlaceRef place{};
};
struct UnknownLink {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  std::string name;
};
struct InvalidJointIndex {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  std::size_t index;
};
struct InvalidLinkId {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
};
struct InvalidBaseState {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  Label field;
  Label reason;
};
struct FloatingBaseIkUnsupported {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
};
struct InvalidIkOptions {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  Label option;
  Label reason;
};
struct NonFiniteIkInput {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  Label input;
};
struct IkNumericalFailure {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t iteration;
};
struct IkJointLimitViolation {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t joint_index;
  std::string joint;
  double position;
  double lower;
  double upper;
};
struct IkNotConverged {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t iterations;
  double translation_error;
  double rotation_error;
};
struct ForwardDynamicsSingularJointInertia {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t joint_index;
};
struct ForwardDynamicsSingularBaseInertia {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
};
struct ForwardDynamicsIllConditionedBaseInertia {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
};
// A long computation stopped because its caller's interrupt poll asked it to (see interrupt.hpp).
struct Interrupted {
  static constexpr ErrorClass python_class = ErrorClass::Interrupted;
};
// A computation on finite, accepted inputs overflowed: inputs or settings (a
// velocity of 1e200, a gravity of 1e308) too large for double arithmetic.
struct NonFiniteResult {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  Label computation;
};
// The rows of a constraint set are linearly dependent at this state: J is rank
// deficient, so the forces are not unique.
struct RedundantConstraints {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t row;
  bool motionless = false;  // no coordinate moves the row at all
};
// The proximal iterations of a regularised constraint solve stopped short
// because the rows conflict: no forces meet them all.
struct ProximalNotConverged {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t iterations;
  double residual;
};
// A constraint set made for another model, or an item the model cannot hold.
struct InvalidConstraint {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  Label reason;
};
// A configuration whose base quaternion cannot be normalised: its norm is
// below 1e-12 (no orientation) or its square overflows.
struct ZeroQuaternion {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  Label input;
};
// A whole-body inverse-kinematics task the model cannot take (task: its index).
struct InvalidIkTask {
  static constexpr ErrorClass python_class = ErrorClass::ValueError;
  std::size_t task;
  Label reason;
};
// Contact rows of a whole-body inverse-kinematics task that no step within the
// joint bounds meets (task: its index; residual: the largest row's miss).
struct IkInfeasibleTask {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t task;
  double residual;
};
// The proximal iterations of a regularised constraint solve stopped short on
// rows that can all hold: at this regularization they converge too slowly.
struct ProximalStalled {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t iterations;
  double residual;
};
// The step QP of a whole-body inverse-kinematics iteration changed its active
// set without settling: bounds and constraint rows degenerate at one vertex.
struct IkStepCycled {
  static constexpr ErrorClass python_class = ErrorClass::SolverError;
  std::size_t iteration;
};
}  // namespace errors

class Error {
 public:
  // Declaration order is part of the contract (variant index 0..29); the Python class
  // is each alternative's own python_class and does not depend on it.
  using Variant = std::variant<
      errors::Urdf, errors::InvalidModel, errors::UnsupportedJointType, errors::WrongSliceLength,
      errors::NonFiniteInput, errors::NumericalFailure, errors::InvalidJointAxis, errors::UnknownLink,
      errors::InvalidJointIndex, errors::InvalidLinkId, errors::InvalidBaseState,
      errors::FloatingBaseIkUnsupported, errors::InvalidIkOptions, errors::NonFiniteIkInput,
      errors::IkNumericalFailure, errors::IkJointLimitViolation, errors::IkNotConverged,
      errors::ForwardDynamicsSingularJointInertia, errors::ForwardDynamicsSingularBaseInertia,
      errors::ForwardDynamicsIllConditionedBaseInertia, errors::Interrupted, errors::NonFiniteResult,
      errors::RedundantConstraints, errors::ProximalNotConverged, errors::InvalidConstraint,
      errors::ZeroQuaternion, errors::InvalidIkTask, errors::IkInfeasibleTask, errors::ProximalStalled,
      errors::IkStepCycled>;

  template <typename V>
    requires std::is_constructible_v<Variant, V&&>
  Error(V&& value) : value_(std::forward<V>(value)) {}  // NOLINT: implicit by design

  const Variant& value() const { return value_; }
  std::size_t index() const { return value_.index(); }
  template <typename V>
  bool is() const {
    return std::holds_alternative<V>(value_);
  }
  template <typename V>
  const V& as() const {
    return std::get<V>(value_);
  }

  // The user-facing message, e.g. "expected 6 elements in q, found 5".
  std::string message() const;
  // Structural form, e.g. WrongSliceLength { slice: "q", expected: 6, actual: 5 }.
  std::string debug() const;
  // The python_class of the alternative held.
  ErrorClass python_class() const;
  // Where a load error points in the description; nullptr where not known and for the other errors.
  const SourcePlace* place() const;

 private:
  Variant value_;
};

// Leaves the enclosing function with the error of an expected-returning call.
#define VELKOR_TRY(...)                                             \
  do {                                                              \
    if (auto velkor_try_result = (__VA_ARGS__); !velkor_try_result) \
      return std::unexpected(std::move(velkor_try_result.error())); \
  } while (false)

// Shorthand for the most frequent failure of the computing calls.
inline Error wrong_length(Label slice, std::size_t expected, std::size_t actual) {
  return errors::WrongSliceLength{slice, expected, actual};
}

// Six digits after the point, exponent without '+' or leading zeros:
// 0.00012345678 -> "1.234568e-4", 2.5 -> "2.500000e0", NaN -> "NaN".
std::string format_scientific6(double value);

}  // namespace velkor
