// Dynamics under bilateral constraints (contacts held still, closed loops).
//
// Rows and signs. J (m × N) maps the generalized velocity to the constraint
// rows' velocities, world axes (constraints.hpp). The forces f (m values) are
// what the environment exerts on the robot at the constraint points, world
// axes: a point row a force, a frame row the torque about the point, then the
// force; for a loop closure, what link_b's side exerts on link_a (the opposite
// acts on link_b). So M q̈ + b = τ + Jᵀ f.
//
// Position error e of a row (the stabilisation's kp term): a point, p − p_target
// (a loop: p_a − p_b); a frame, the rotation vector of R·R_targetᵀ (world axes,
// the rotation that carries the target's axes onto the frame's; a loop:
// R_a·R_bᵀ), then the origin's p − p_target. A contact without a target has e = 0.
//
// Solution (Gauss's principle): q̈ = q̈_free + M⁻¹Jᵀf with A f = γ − J q̈_free,
// A = J M⁻¹ Jᵀ, γ = −J̇q̇ − kd·J q̇ − kp·e, through the tree-sparse factor
// M = Lᵀ D L: O(n·d²) for the factor, O(m·n·d) for M⁻¹Jᵀ, O(m²·n + m³) for A.
// A singular A (linearly dependent rows) needs regularization μ > 0: proximal
// iterations (A + μI) f_{k+1} = r + μ f_k from f_0 = 0, which converge to the
// minimum-norm forces, stop when the constraint residual ‖A f − r‖∞ is at most
// proximal_tolerance·(1 + ‖r‖∞), and fail after proximal_max_iterations. In
// floating point each solve with A + μI leaves a part of order ε·‖A‖/μ in A's
// null space, so the minimum norm is met to that: μ ≈ 1e-6·‖A‖ gives about 1e-9.
//
// A regularised solve whose proximal iterations reach the cap fails with
// ProximalNotConverged when the rows conflict (A f = r has no solution) and
// with ProximalStalled when they can all hold but converge too slowly at this μ.
//
// Interrupts: the overloads with an Interrupt poll it by the amount of work
// done (about once per 2²⁰ multiply-adds: while A is assembled, between the
// columns of its factor, between proximal iterations), so a call on thousands
// of rows stops within milliseconds with Interrupted and a small one never
// reads the clock. Nothing is written to the outputs then.
//
// Scratch: the workspace's constraint scratch grows to fit the largest (m, N) a
// handle has seen; a call with a set that fits allocates nothing.
#pragma once

#include <array>
#include <expected>
#include <span>

#include "error.hpp"
#include "interrupt.hpp"
#include "robot/base.hpp"
#include "robot/constraints.hpp"
#include "robot/coupling.hpp"
#include "robot/loads.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

inline constexpr double proximal_tolerance = 1e-12;
inline constexpr std::size_t proximal_max_iterations = 200;

// Makes room in the workspace for a constraint set of m rows on a model of N
// generalized coordinates (allocates only when it grows).
void reserve_constraint_scratch(Workspace& w, std::size_t m, std::size_t N);

// J: m·N entries, column-major (entry (r, c) at m·c + r).
std::expected<void, Error> constraint_jacobian(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, const ConstraintSet& set,
                                               std::span<double> out,
                                               Coordinates coordinates = Coordinates::Caller);

// J̇ q̇: m values, the rows' accelerations at zero q̈ (a free base's classical
// acceleration zero), world axes.
std::expected<void, Error> constraint_acceleration_bias(const Model& model, const Base& base,
                                                        Workspace& w, std::span<const double> q,
                                                        std::span<const double> qd,
                                                        const ConstraintSet& set, std::span<double> out,
                                                        Coordinates coordinates = Coordinates::Caller);

// q̈ (N values, as forward_dynamics writes them) and f (m values).
std::expected<void, Error> constrained_forward_dynamics(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double regularization, std::span<double> qdd,
    std::span<double> forces);
std::expected<void, Error> constrained_forward_dynamics(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double regularization, std::span<double> qdd,
    std::span<double> forces, Interrupt& interrupt);

// The velocity after an impact, J q̇⁺ = −e·J q̇⁻, and the impulses (m values,
// N·s; frame rows N·m·s then N·s): q̇⁺ = q̇⁻ + M⁻¹Jᵀ Λ. qd_after: N values (a
// free base's twist, world axes, then the joints).
std::expected<void, Error> impulse_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            const ConstraintSet& set, double restitution,
                                            double regularization, std::span<double> qd_after,
                                            std::span<double> impulses);
std::expected<void, Error> impulse_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            const ConstraintSet& set, double restitution,
                                            double regularization, std::span<double> qd_after,
                                            std::span<double> impulses, Interrupt& interrupt);

// ∂q̈/∂q, ∂q̈/∂q̇, ∂q̈/∂τ (N·N each), ∂f/∂q, ∂f/∂q̇, ∂f/∂τ (m·N each), column-major,
// base columns as forward_dynamics_derivatives defines them.
std::expected<void, Error> constrained_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double regularization,
    const std::array<std::span<double>, 6>& out);
std::expected<void, Error> constrained_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double regularization,
    const std::array<std::span<double>, 6>& out, Interrupt& interrupt);

namespace coupled_entry {
// constraint_jacobian and constraint_acceleration_bias in a coupled model's free
// coordinates (the entry points' branch for them, coupled_entry_points.cpp):
// J_full G, and J̇ q̇ as it is.
std::expected<void, Error> constraint_jacobian(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, const ConstraintSet& set,
                                               std::span<double> out);
std::expected<void, Error> constraint_acceleration_bias(const Model& model, const Base& base,
                                                        Workspace& w, std::span<const double> q,
                                                        std::span<const double> qd,
                                                        const ConstraintSet& set, std::span<double> out);
}  // namespace coupled_entry

}  // namespace velkor
