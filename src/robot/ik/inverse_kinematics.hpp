// Inverse kinematics of a fixed-base robot by damped least squares on the
// geometric Jacobian: y = (J·Jᵀ + λ²·I)⁻¹·E, Δq = Jᵀ·y, with E the rotation and
// translation error in root-link axes. Only DOFs on the target's ancestor path move.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "error.hpp"
#include "interrupt.hpp"
#include "robot/link_id.hpp"
#include "robot/robot.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// Options, as the whole-body solver's IkProblemOptions and IkSolveOptions
// (whole_body_ik.hpp) have them: iterations, tolerances, damping, each checked
// when the solve starts, a bad one the InvalidIkOptions error naming it.
struct IkOptions {
  std::uint64_t max_iterations = 100;   // > 0
  double translation_tolerance = 1e-6;  // metres; finite, > 0
  double rotation_tolerance = 1e-6;     // radians; finite, > 0
  double damping = 1e-3;                // λ; λ² is added to the diagonal; finite, > 0
  double max_step_norm = 0.5;           // bound on the norm of one update; finite, > 0

  friend bool operator==(const IkOptions&, const IkOptions&) = default;
};

// Writes the solution into `out` (n values) or returns an error and leaves it
// untouched. Failures, as the whole-body solver's: bad arguments or options
// (wrong lengths, NonFiniteIkInput, InvalidIkOptions) are ValueError-class, a
// solve that cannot go on (IkNumericalFailure naming the iteration) or ends
// unconverged (IkNotConverged) or outside the limits (IkJointLimitViolation)
// SolverError-class. `interrupt` is polled every few milliseconds of
// iterations; when it asks to stop, the result is the `Interrupted` error.
std::expected<void, Error> inverse_kinematics(const Robot& robot, Workspace& workspace,
                                              std::span<const double> initial_q, LinkId target,
                                              const Pose& desired, const IkOptions& options,
                                              std::span<double> out, Interrupt& interrupt);
std::expected<void, Error> inverse_kinematics(const Robot& robot, Workspace& workspace,
                                              std::span<const double> initial_q, LinkId target,
                                              const Pose& desired, const IkOptions& options,
                                              std::span<double> out);

// The first DOF (in DOF order) outside its position limits by more than 1e-12.
std::expected<void, Error> validate_inverse_kinematics_solution(const Model& model,
                                                                std::span<const double> q);

}  // namespace velkor
