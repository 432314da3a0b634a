// The configuration space of both robot kinds: moving a configuration along a
// velocity, the velocity between two configurations, and their derivatives.
//
// Arrays. A configuration holds C values: a Robot's n joint positions, or a
// FloatingRobot's root-link position (3, world), its orientation quaternion
// (x, y, z, w) and the n joint positions: C = 7 + n. A velocity (tangent
// vector) holds the N generalized coordinates: a free base's ω and the root
// origin's linear velocity v (world axes), then the joint rates.
//
// The base moves with ω and v held constant in world axes, decoupled (not a
// screw motion): R ← exp(dt[ω]×)·R, p ← p + dt·v. Joints add: q ← q + dt·q̇.
//
// Tangent perturbations. c ⊕ δ = integrate(c, δ, 1): the base turns by
// exp([δθ]×) on the left (about the root-link origin, world axes), its origin
// moves by δp, the joints by δq; the same perturbation as the base columns of
// the dynamics derivatives (derivatives.hpp). A derivative's column j is the
// change of the result, measured as difference(result, perturbed result), per
// unit of tangent coordinate j. Matrices are N x N, column-major.
//
// Input quaternions need not be unit: they are normalised as accept_pose does,
// and a zero one is refused. Results hold unit quaternions.
#pragma once

#include <expected>
#include <optional>
#include <span>

#include "error.hpp"
#include "robot/base.hpp"
#include "robot/coupling.hpp"
#include "robot/model.hpp"

namespace velkor {

// C: the configuration length.
inline std::size_t configuration_size(const Model& model, const Base& base) {
  return coordinate_count(model) + (base.floating ? 7 : 0);
}

// The root-link pose of a floating configuration's first 7 values
// (p, then the quaternion x, y, z, w), normalised; none for a zero quaternion
// or a non-finite value.
std::optional<Pose> configuration_pose(const double* configuration);

// Entry checks, lengths first: C values, finite, a quaternion that can be
// normalised (a free base); N finite values.
std::expected<void, Error> check_configuration(const Model& model, const Base& base,
                                               std::span<const double> configuration, Label name);
std::expected<void, Error> check_velocity(const Model& model, const Base& base,
                                          std::span<const double> velocity, Label name);

// integrate(c, v, dt): the configuration after dt at constant v. O(n).
std::expected<void, Error> integrate(const Model& model, const Base& base,
                                     std::span<const double> configuration,
                                     std::span<const double> velocity, double dt, std::span<double> out);

// difference(c0, c1): the velocity v with integrate(c0, v, 1) = c1, the base
// turning by the shortest rotation (angle at most π). O(n).
std::expected<void, Error> difference(const Model& model, const Base& base,
                                      std::span<const double> configuration0,
                                      std::span<const double> configuration1, std::span<double> out);

// interpolate(c0, c1, t) = integrate(c0, difference(c0, c1), t). O(n).
std::expected<void, Error> interpolate(const Model& model, const Base& base,
                                       std::span<const double> configuration0,
                                       std::span<const double> configuration1, double t,
                                       std::span<double> out);

// ∂integrate/∂c (d_configuration) and ∂integrate/∂v (d_velocity), N·N each:
// diag(exp(dt[ω]×), E, E) and dt·diag(J_l(dt·ω), E, E). O(N²) to fill.
std::expected<void, Error> integrate_derivatives(const Model& model, const Base& base,
                                                 std::span<const double> configuration,
                                                 std::span<const double> velocity, double dt,
                                                 std::span<double> d_configuration,
                                                 std::span<double> d_velocity);

// ∂difference/∂c0 and ∂difference/∂c1, N·N each: diag(−J_l(φ)⁻ᵀ, −E, −E) and
// diag(J_l(φ)⁻¹, E, E) with φ = log(R1·R0ᵀ). O(N²) to fill.
std::expected<void, Error> difference_derivatives(const Model& model, const Base& base,
                                                  std::span<const double> configuration0,
                                                  std::span<const double> configuration1,
                                                  std::span<double> d_configuration0,
                                                  std::span<double> d_configuration1);

// integrate without checks, for callers that have checked (a rollout's steps):
// c and out of C values, v of N; `pose`: configuration_pose(c) of a free base,
// nullptr for a fixed one.
void integrate_unchecked(const Model& model, const Pose* pose, const double* configuration,
                         const double* velocity, double dt, double* out);

}  // namespace velkor
