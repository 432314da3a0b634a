// Forward dynamics by the articulated-body scheme: an outward pass for
// velocities and bias terms, an inward pass for articulated inertias and bias
// forces, an outward pass for accelerations. With `floating` the root is free
// and its spatial acceleration comes from the 6x6 base equation.
#pragma once

#include <expected>
#include <span>

#include "base_state.hpp"
#include "error.hpp"
#include "robot/base.hpp"
#include "robot/dynamics/base_inertia.hpp"
#include "robot/loads.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// forces and out: base.coordinates() + n entries; a floating base's wrench
// (world axes: torque about the root-link origin, then force) and its angular
// and classical linear acceleration (world axes) come first.
std::expected<void, Error> forward_dynamics(const Model& model, const Base& base, Workspace& workspace,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> forces,
                                            std::span<const IndexedLoad> loads, std::span<double> out);
// The same, returning the root link's load once the loads are prepared.
// What it leaves in the workspace for later readers (the derivatives), rows by
// joint k unless said otherwise, root axes about the root-link origin:
//   loads               the prepared loads, link axes;
//   rotations, frames   each body's placement (frames[k] its origin only);
//   composite           each body's own inertia (m, h, I_o), not yet summed;
//   fd_velocity         v_k, and fd_acceleration a_k at the returned q̈;
//   motion_axes         S_d, by DOF.
// Every other fd_ row is scratch of its own passes.
std::expected<Vec6, Error> forward_dynamics_root_load(const Model& model, const Base& base,
                                                      Workspace& workspace, std::span<const double> q,
                                                      std::span<const double> qd,
                                                      std::span<const double> forces,
                                                      std::span<const IndexedLoad> loads,
                                                      std::span<double> out);

}  // namespace velkor
