// Partial derivatives of inverse dynamics, forward dynamics and gravity with
// respect to the generalized positions and velocities, by one outward and one
// inward recursion (O(n·d) for n DOFs of depth d, the cost of the mass matrix).
//
// Matrices are N x N (N = base coordinates + n), column-major: entry (r, c),
// the derivative of output r with respect to coordinate c, at c·N + r.
//
// A floating base's six columns are perturbations of its BaseState, world axes:
//  - positions: a rotation δθ of the whole robot about the root-link origin
//    (R_b ← exp([δθ]×) R_b), then a translation δp of the root-link origin;
//  - velocities: the base twist's ω, then the root-origin velocity v.
// Everything else the base state holds stays fixed meanwhile: the world-axes
// twist and classical acceleration of the root origin, gravity, and each load
// in its link's frame. The base rows are its generalized force in world axes
// (torque about the root-link origin, then force). So the translation columns
// of ∂τ/∂q are zero, and the velocity columns of ∂τ/∂q̇ include the change of
// the spatial acceleration a = a_classical − ω × v that a fixed classical
// acceleration implies.
#pragma once

#include <expected>
#include <span>

#include "error.hpp"
#include "robot/base.hpp"
#include "robot/coupling.hpp"
#include "robot/loads.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// ∂τ/∂q into d_q and ∂τ/∂q̇ into d_qd for τ = inverse_dynamics(q, qd, qdd, loads).
std::expected<void, Error> inverse_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> qdd, std::span<const IndexedLoad> loads,
    std::span<double> d_q, std::span<double> d_qd, Coordinates coordinates = Coordinates::Caller);

// ∂q̈/∂q, ∂q̈/∂q̇ and ∂q̈/∂τ = M⁻¹ for q̈ = forward_dynamics(q, qd, forces, loads):
// −M⁻¹ ∂τ/∂q and −M⁻¹ ∂τ/∂q̇ at the forward dynamics' accelerations. Fails as
// forward dynamics fails.
std::expected<void, Error> forward_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> forces, std::span<const IndexedLoad> loads,
    std::span<double> d_q, std::span<double> d_qd, std::span<double> inverse_mass);

// ∂g/∂q for g = gravity(q) without loads.
std::expected<void, Error> gravity_derivatives(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<double> d_q,
                                               Coordinates coordinates = Coordinates::Caller);

namespace coupled_entry {
// inverse_dynamics_derivatives and gravity_derivatives in a coupled model's free
// coordinates (the entry points' branch for them, coupled_entry_points.cpp):
// Gᵀ D_full G.
std::expected<void, Error> inverse_dynamics_derivatives(const Model& model, const Base& base,
                                                        Workspace& w, std::span<const double> q,
                                                        std::span<const double> qd,
                                                        std::span<const double> qdd,
                                                        std::span<const IndexedLoad> loads,
                                                        std::span<double> d_q, std::span<double> d_qd);
std::expected<void, Error> gravity_derivatives(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<double> d_q);
}  // namespace coupled_entry

}  // namespace velkor
