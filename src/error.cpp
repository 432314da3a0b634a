#include "error.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace velkor {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

std::string num(std::size_t v) { return std::to_string(v); }
std::string str(std::string_view s) { return std::string(s); }

// Debug form of a text field: quoted, with quotes and backslashes escaped.
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Shortest round-trip decimal, as a debug view of a double.
std::string plain(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[40];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  std::string s = buf;
  if (s.find_first_of(".en") == std::string::npos) s += ".0";
  return s;
}

}  // namespace

std::string format_scientific6(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.6e", value);
  // buf is "[-]d.dddddde[+-]dd..."; rewrite the exponent without '+' and leading zeros.
  std::string text = buf;
  const auto e = text.find('e');
  const int exponent = std::atoi(text.c_str() + e + 1);
  return text.substr(0, e + 1) + std::to_string(exponent);
}

std::string Error::message() const {
  using namespace errors;
  return std::visit(
      Overloaded{
          [](const Urdf& e) { return "failed to parse URDF: " + e.message; },
          [](const InvalidModel& e) { return "invalid robot model: " + e.reason; },
          [](const UnsupportedJointType& e) {
            return "joint " + e.joint + " uses unsupported type " + str(e.joint_type);
          },
          [](const WrongSliceLength& e) {
            return "expected " + num(e.expected) + " elements in " + str(e.slice) + ", found " +
                   num(e.actual);
          },
          [](const NonFiniteInput& e) { return str(e.input) + " contains a non-finite value"; },
          [](const NumericalFailure& e) { return "numerical failure in " + str(e.operation); },
          [](const InvalidJointAxis& e) { return "joint " + e.joint + " has an invalid axis"; },
          [](const UnknownLink& e) { return "link " + e.name + " does not exist in the model"; },
          [](const InvalidJointIndex& e) {
            return "joint DOF index " + num(e.index) + " does not exist in the model";
          },
          [](const InvalidLinkId&) {
            return std::string("link identifier does not belong to this robot model");
          },
          [](const InvalidBaseState& e) {
            return "invalid base " + str(e.field) + ": " + str(e.reason);
          },
          [](const FloatingBaseIkUnsupported&) {
            return std::string("inverse kinematics does not support a floating base");
          },
          [](const InvalidIkOptions& e) {
            return "invalid inverse-kinematics option " + str(e.option) + ": " + str(e.reason);
          },
          [](const NonFiniteIkInput& e) {
            return "inverse-kinematics " + str(e.input) + " contains a non-finite value";
          },
          [](const IkNumericalFailure& e) {
            return "inverse-kinematics linear solve failed at iteration " + num(e.iteration);
          },
          [](const IkJointLimitViolation& e) {
            return "inverse-kinematics solution " + format_scientific6(e.position) + " for joint " +
                   num(e.joint_index) + " (" + e.joint + ") is outside URDF limits [" +
                   format_scientific6(e.lower) + ", " + format_scientific6(e.upper) + "]";
          },
          [](const IkNotConverged& e) {
            return "inverse kinematics did not converge after " + num(e.iterations) +
                   " iterations (translation error " + format_scientific6(e.translation_error) +
                   ", rotation error " + format_scientific6(e.rotation_error) + ")";
          },
          [](const ForwardDynamicsSingularJointInertia& e) {
            return "forward dynamics found singular articulated inertia at joint DOF " +
                   num(e.joint_index);
          },
          [](const ForwardDynamicsSingularBaseInertia&) {
            return std::string("forward dynamics found singular floating-base articulated inertia");
          },
          [](const ForwardDynamicsIllConditionedBaseInertia&) {
            return std::string(
                "forward dynamics found ill-conditioned scaled floating-base articulated inertia");
          },
          [](const Interrupted&) { return std::string("interrupted"); },
          [](const NonFiniteResult& e) {
            return "the result of " + str(e.computation) +
                   " is not finite: the inputs or settings are too large to compute with";
          },
          [](const RedundantConstraints& e) {
            return "the constraint rows are linearly dependent (row " + num(e.row) +
                   (e.motionless ? " does not move with any coordinate" : " repeats earlier rows") +
                   "): the constraint Jacobian is rank deficient; pass regularization > 0 for the "
                   "minimum-norm forces";
          },
          [](const ProximalNotConverged& e) {
            return "the regularized constraint solve did not converge after " + num(e.iterations) +
                   " proximal iterations (residual " + format_scientific6(e.residual) +
                   "): the constraints cannot all hold; raise regularization or remove conflicting rows";
          },
          [](const ProximalStalled& e) {
            return "the proximal iteration of the regularized constraint solve stalled after " +
                   num(e.iterations) + " iterations (residual " + format_scientific6(e.residual) +
                   "): the constraints can all hold, but a smaller regularization converges faster";
          },
          [](const InvalidConstraint& e) { return "invalid constraint: " + str(e.reason); },
          [](const ZeroQuaternion& e) {
            return str(e.input) +
                   " holds a quaternion that cannot be normalised (norm below 1e-12 or overflowing)";
          },
          [](const InvalidIkTask& e) {
            return "invalid inverse-kinematics task " + num(e.task) + ": " + str(e.reason);
          },
          [](const IkStepCycled& e) {
            return "the step QP of inverse-kinematics iteration " + num(e.iteration) +
                   " cycled among degenerate active sets (joint bounds and constraint rows that " +
                   "meet at one vertex); start elsewhere or relax a bound";
          },
          [](const IkInfeasibleTask& e) {
            return "inverse-kinematics task " + num(e.task) +
                   " cannot be met: no step within the joint " +
                   "bounds holds its constraint rows (miss " + format_scientific6(e.residual) + ")";
          },
      },
      value_);
}

std::string Error::debug() const {
  using namespace errors;
  return std::visit(
      Overloaded{
          [](const Urdf& e) { return "Urdf(" + quoted(e.message) + ")"; },
          [](const InvalidModel& e) { return "InvalidModel(" + quoted(e.reason) + ")"; },
          [](const UnsupportedJointType& e) {
            return "UnsupportedJointType { joint: " + quoted(e.joint) +
                   ", joint_type: " + quoted(e.joint_type) + " }";
          },
          [](const WrongSliceLength& e) {
            return "WrongSliceLength { slice: " + quoted(e.slice) + ", expected: " + num(e.expected) +
                   ", actual: " + num(e.actual) + " }";
          },
          [](const NonFiniteInput& e) { return "NonFiniteInput { input: " + quoted(e.input) + " }"; },
          [](const NumericalFailure& e) {
            return "NumericalFailure { operation: " + quoted(e.operation) + " }";
          },
          [](const InvalidJointAxis& e) {
            return "InvalidJointAxis { joint: " + quoted(e.joint) + " }";
          },
          [](const UnknownLink& e) { return "UnknownLink { name: " + quoted(e.name) + " }"; },
          [](const InvalidJointIndex& e) { return "InvalidJointIndex { index: " + num(e.index) + " }"; },
          [](const InvalidLinkId&) { return std::string("InvalidLinkId"); },
          [](const InvalidBaseState& e) {
            return "InvalidBaseState { field: " + quoted(e.field) + ", reason: " + quoted(e.reason) +
                   " }";
          },
          [](const FloatingBaseIkUnsupported&) { return std::string("FloatingBaseIkUnsupported"); },
          [](const InvalidIkOptions& e) {
            return "InvalidIkOptions { option: " + quoted(e.option) + ", reason: " + quoted(e.reason) +
                   " }";
          },
          [](const NonFiniteIkInput& e) {
            return "NonFiniteIkInput { input: " + quoted(e.input) + " }";
          },
          [](const IkNumericalFailure& e) {
            return "IkNumericalFailure { iteration: " + num(e.iteration) + " }";
          },
          [](const IkJointLimitViolation& e) {
            return "IkJointLimitViolation { joint_index: " + num(e.joint_index) +
                   ", joint: " + quoted(e.joint) + ", position: " + plain(e.position) +
                   ", lower: " + plain(e.lower) + ", upper: " + plain(e.upper) + " }";
          },
          [](const IkNotConverged& e) {
            return "IkNotConverged { iterations: " + num(e.iterations) +
                   ", translation_error: " + plain(e.translation_error) +
                   ", rotation_error: " + plain(e.rotation_error) + " }";
          },
          [](const ForwardDynamicsSingularJointInertia& e) {
            return "ForwardDynamicsSingularJointInertia { joint_index: " + num(e.joint_index) + " }";
          },
          [](const ForwardDynamicsSingularBaseInertia&) {
            return std::string("ForwardDynamicsSingularBaseInertia");
          },
          [](const ForwardDynamicsIllConditionedBaseInertia&) {
            return std::string("ForwardDynamicsIllConditionedBaseInertia");
          },
          [](const Interrupted&) { return std::string("Interrupted"); },
          [](const NonFiniteResult& e) {
            return "NonFiniteResult { computation: " + quoted(e.computation) + " }";
          },
          [](const RedundantConstraints& e) {
            return "RedundantConstraints { row: " + num(e.row) +
                   ", motionless: " + (e.motionless ? "true" : "false") + " }";
          },
          [](const ProximalNotConverged& e) {
            return "ProximalNotConverged { iterations: " + num(e.iterations) +
                   ", residual: " + format_scientific6(e.residual) + " }";
          },
          [](const ProximalStalled& e) {
            return "ProximalStalled { iterations: " + num(e.iterations) +
                   ", residual: " + format_scientific6(e.residual) + " }";
          },
          [](const ZeroQuaternion& e) { return "ZeroQuaternion { input: " + quoted(e.input) + " }"; },
          [](const InvalidConstraint& e) {
            return "InvalidConstraint { reason: " + quoted(e.reason) + " }";
          },
          [](const InvalidIkTask& e) {
            return "InvalidIkTask { task: " + num(e.task) + ", reason: " + quoted(e.reason) + " }";
          },
          [](const IkStepCycled& e) { return "IkStepCycled { iteration: " + num(e.iteration) + " }"; },
          [](const IkInfeasibleTask& e) {
            return "IkInfeasibleTask { task: " + num(e.task) +
                   ", residual: " + format_scientific6(e.residual) + " }";
          },
      },
      value_);
}

ErrorClass Error::python_class() const {
  return std::visit([](const auto& e) { return std::remove_cvref_t<decltype(e)>::python_class; },
                    value_);
}

const SourcePlace* Error::place() const {
  return std::visit(
      [](const auto& e) -> const SourcePlace* {
        if constexpr (requires { e.place; }) return e.place.get();
        else return nullptr;
      },
      value_);
}

}  // namespace velkor
