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
#include "robot/loads.hpp"
#include "robot/robot.hpp"
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
//   motion_axis(d)      S_d, by DOF (the Jacobian's column d).
// Every other fd_ row is scratch of its own passes.
std::expected<Vec6, Error> forward_dynamics_root_load(const Model& model, const Base& base,
                                                      Workspace& workspace, std::span<const double> q,
                                                      std::span<const double> qd,
                                                      std::span<const double> forces,
                                                      std::span<const IndexedLoad> loads,
                                                      std::span<double> out);

inline std::expected<void, Error> forward_dynamics(const Robot& robot, Workspace& w,
                                                   std::span<const double> q, std::span<const double> qd,
                                                   std::span<const double> forces,
                                                   std::span<const IndexedLoad> loads,
                                                   std::span<double> out) {
  return forward_dynamics(robot.model(), fixed_base(robot), w, q, qd, forces, loads, out);
}
inline std::expected<void, Error> forward_dynamics(const FloatingRobot& robot, const BaseState& base,
                                                   Workspace& w, std::span<const double> q,
                                                   std::span<const double> qd,
                                                   std::span<const double> forces,
                                                   std::span<const IndexedLoad> loads,
                                                   std::span<double> out) {
  return forward_dynamics(robot.model(), free_base(robot, base), w, q, qd, forces, loads, out);
}

// Forward dynamics of a model whose mimic joints follow their leaders
// (model.coupling): q̈ of the free coordinates (base.coordinates() + free count
// values, the base's first as forward_dynamics writes them) under generalized
// forces of that layout, at the full positions and rates q_full = G q + b,
// q̇_full = G q̇ (model.dof_count() values each).
//
// The articulated-body recursion with each group of coupled DOFs eliminated
// as one coordinate once the inward pass holds all of its DOFs. A subtree's
// transmitted force is f = I^A a + p^A + Σ_γ V_γ q̈_γ over the groups still
// open in it, with their equations Σ D_γγ' q̈_γ' + V_γᵀ a = u_γ (the same
// columns, by symmetry). DOF k (s = g_k S_k of group x) substitutes
// a = a_p + c_k + s q̈_x; a complete group is eliminated by its Schur
// complement; subtrees add at their parent. A group of one DOF is the classical
// step. Exact: the result solves (Gᵀ M G) q̈ = τ − Gᵀ b(q_full, q̇_full).
// Cost: O(n·(1 + o²)) for o the most groups open at once (0 to 2 for grippers
// and hands); allocates nothing once reserve_coupled_scratch has run.
std::expected<void, Error> coupled_forward_dynamics(const Model& model, const Base& base,
                                                    Workspace& workspace, std::span<const double> q_full,
                                                    std::span<const double> qd_full,
                                                    std::span<const double> forces,
                                                    std::span<const IndexedLoad> loads,
                                                    std::span<double> out);

// Sizes the workspace's coupled scratch for the model (allocates; nothing when
// it fits already).
void reserve_coupled_scratch(const Model& model, Workspace& workspace);

// Solves A·x = b for the floating base's articulated inertia, with diagonal
// scaling, a conditioning test and a residual test.
std::expected<Vec6, Error> solve_base_inertia(const Mat6& A, const Vec6& b);

inline constexpr double base_condition_threshold = 1.4901161193847656e-8;  // 2⁻²⁶
inline constexpr double base_residual_tolerance = 2.842170943040401e-14;   // 2⁻⁴⁵

}  // namespace velkor
