// Forward dynamics by the articulated-body scheme: an outward pass for
// velocities and bias terms, an inward pass for articulated inertias and bias
// forces, an outward pass for accelerations. With `floating` the root is free
// and its spatial acceleration comes from the 6x6 base equation.
#pragma once

#include <expected>
#include <span>

#include "error.hpp"
#include "robot/loads.hpp"
#include "robot/robot.hpp"
#include "robot/workspace.hpp"
#include "base_state.hpp"

namespace velkor {

// forces and out: n entries, or the base wrench (world axes) then n with `floating`.
// base_velocity is read only with `floating` (a fixed base is at rest); gravity in world axes.
std::expected<void, Error> forward_dynamics(const Model& model, bool floating,
                                            const Quat& base_orientation,
                                            const Twist& base_velocity, const Vec3& gravity,
                                            std::span<const double> q,
                                            std::span<const double> qd,
                                            std::span<const double> forces,
                                            std::span<const IndexedLoad> loads,
                                            Workspace& workspace, std::span<double> out);

std::expected<void, Error> forward_dynamics(const Robot& robot, Workspace& workspace,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> forces,
                                            std::span<const IndexedLoad> loads,
                                            std::span<double> out);
// Result: base angular and classical linear acceleration (world axes), then q̈.
std::expected<void, Error> forward_dynamics(const FloatingRobot& robot, const BaseState& base,
                                            Workspace& workspace, std::span<const double> q,
                                            std::span<const double> qd,
                                            std::span<const double> forces,
                                            std::span<const IndexedLoad> loads,
                                            std::span<double> out);

// Solves A·x = b for the floating base's articulated inertia, with diagonal
// scaling, a conditioning test and a residual test.
std::expected<Vec6, Error> solve_base_inertia(const Mat6& A, const Vec6& b);

inline constexpr double base_condition_threshold = 1.4901161193847656e-8;  // 2⁻²⁶
inline constexpr double base_residual_tolerance = 2.842170943040401e-14;   // 2⁻⁴⁵

}  // namespace velkor
