// Rollouts: a state moved through T steps of semi-implicit Euler under given
// generalized forces,
//   q̈_t = forward dynamics(c_t, v_t, f_t)   (constrained, with a ConstraintSet)
//   v_{t+1} = v_t + dt·q̈_t
//   c_{t+1} = integrate(c_t, v_{t+1}, dt)
// in the arithmetic of the single calls, so that every step has exactly the
// bits of forward_dynamics (or constrained_forward_dynamics) followed by
// integrate. A free base's state at step t is (configuration_pose(c_t),
// twist v_t[0..6]); its acceleration is not read. Joint limits are not
// enforced: nothing here collides or stops at a limit.
#pragma once

#include <expected>
#include <span>

#include "error.hpp"
#include "interrupt.hpp"
#include "robot/base.hpp"
#include "robot/constraints.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

struct RolloutInput {
  std::span<const double> configuration;  // C values (configuration.hpp)
  std::span<const double> velocity;       // N values
  std::span<const double> forces;         // T rows of N generalized forces, row-major
  std::size_t steps = 0;                  // T
  double dt = 0.0;                        // s, finite
  const ConstraintSet* constraints = nullptr;  // none: the free dynamics
  double regularization = 0.0;            // as constrained_forward_dynamics takes it
};

inline constexpr std::size_t no_rollout_step = static_cast<std::size_t>(-1);

// Writes configurations ((T+1)·C, row t the state after t steps, row 0 the
// configuration as given) and velocities ((T+1)·N). On failure `step` names
// the step that failed (0-based; no_rollout_step when the entry checks
// failed), and the rows up to it hold the steps before. `interrupt` is polled
// between steps and, with constraints, inside each step's constraint solve
// (an Interrupted error names the step it stopped before or in).
// Cost: T forward dynamics and integrations; with constraints, the first call
// with a set larger than any before allocates the workspace's scratch once.
std::expected<void, Error> rollout(const Model& model, const Base& base, Workspace& w,
                                   const RolloutInput& input, Interrupt& interrupt,
                                   std::span<double> configurations, std::span<double> velocities,
                                   std::size_t& step);

}  // namespace velkor
