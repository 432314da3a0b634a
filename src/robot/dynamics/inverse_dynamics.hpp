// Inverse dynamics by the recursive Newton-Euler scheme in link coordinates:
// an outward pass for angular velocity, angular acceleration and classical
// linear acceleration of every link; an inward pass accumulating the wrench
// each joint transmits and projecting it on the joint axis. Gravity enters as
// an upward acceleration of the base.
#pragma once

#include <expected>
#include <span>

#include "base_state.hpp"
#include "error.hpp"
#include "robot/base.hpp"
#include "robot/checks.hpp"
#include "robot/coupling.hpp"
#include "robot/loads.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"
#include "spatial.hpp"

namespace velkor {

// Writes out[i] for every DOF and returns the root wrench (torque, force) that
// the base applies to the root link, in root-link coordinates; zero when not
// `floating`. The load workspace must hold the folded loads.
// `motion`: the base's world rotation, twist and acceleration (only its frame's
// rotation is read of the pose); g_up: the opposite of gravity, world axes.
std::expected<Vec6, Error> inverse_dynamics_kernel_validated(
    const Model& model, bool floating, std::span<const double> q, std::span<const double> qd,
    std::span<const double> qdd, const BaseState& motion, const Vec3& g_up, const Vec6& root_load,
    Workspace& workspace, std::span<double> out);

// The same recursion with gravity as the only motion (g_up: the opposite of
// gravity, world axes); the root wrench is always accumulated.
std::expected<Vec6, Error> gravity_kernel(const Model& model, std::span<const double> q,
                                          const Quat& base_orientation, const Vec3& g_up,
                                          const Vec6& root_load, Workspace& workspace,
                                          std::span<double> out);

// out has base.coordinates() + n entries: a floating base's wrench (world axes:
// torque about the root-link origin, then force) followed by the joint forces.
std::expected<void, Error> inverse_dynamics(const Model& model, const Base& base, Workspace& workspace,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> qdd,
                                            std::span<const IndexedLoad> loads, std::span<double> out,
                                            Coordinates coordinates = Coordinates::Caller);
std::expected<void, Error> gravity(const Model& model, const Base& base, Workspace& workspace,
                                   std::span<const double> q, std::span<const IndexedLoad> loads,
                                   std::span<double> out, Coordinates coordinates = Coordinates::Caller);
// Inverse dynamics at zero acceleration, without gravity and loads; the base
// keeps only its orientation and angular velocity.
std::expected<void, Error> velocity_product_forces(const Model& model, const Base& base,
                                                   Workspace& workspace, std::span<const double> q,
                                                   std::span<const double> qd, std::span<double> out,
                                                   Coordinates coordinates = Coordinates::Caller);

namespace coupled_entry {
// The three above in a coupled model's free coordinates (the entry points'
// branch for them, coupled_entry_points.cpp): Gᵀ τ_full.
std::expected<void, Error> inverse_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> qdd,
                                            std::span<const IndexedLoad> loads, std::span<double> out);
std::expected<void, Error> gravity(const Model& model, const Base& base, Workspace& w,
                                   std::span<const double> q, std::span<const IndexedLoad> loads,
                                   std::span<double> out);
std::expected<void, Error> velocity_product_forces(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<const double> qd,
                                                   std::span<double> out);
}  // namespace coupled_entry

}  // namespace velkor
