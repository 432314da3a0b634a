// Geometric Jacobians and their time derivatives, world-aligned axes.
//
// A Robot's Jacobian has n columns (one per DOF); a FloatingRobot's has n + 6:
// base angular (world x, y, z), base linear (world x, y, z), then the DOFs.
// Layout and rows as in path_kernels.hpp.
#pragma once

#include <expected>
#include <span>

#include "base_state.hpp"
#include "error.hpp"
#include "robot/base.hpp"
#include "robot/coupling.hpp"
#include "robot/link_id.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// 6·(base.coordinates() + n) entries.
std::expected<void, Error> jacobian(const Model& model, const Base& base, Workspace& workspace,
                                    std::span<const double> q, LinkId target, std::span<double> out,
                                    Coordinates coordinates = Coordinates::Caller);

// Poses the ancestor path of `target` from the base rotation (zero translation)
// and writes the whole 6·(b + n) Jacobian, b = 0 or 6 base columns.
std::expected<void, Error> direct_world_jacobian(const Model& model, std::span<const double> q,
                                                 std::size_t target, const Quat& base_rotation,
                                                 std::size_t base_columns, Workspace& workspace,
                                                 std::span<double> out);

std::expected<void, Error> jacobian_derivative(const Model& model, const Base& base,
                                               Workspace& workspace, std::span<const double> q,
                                               std::span<const double> qd, LinkId target,
                                               std::span<double> out,
                                               Coordinates coordinates = Coordinates::Caller);

// J and J̇ of the target in root-link axes (DOF columns only) into the
// workspace's Jacobian and Jacobian-derivative buffers; returns the target pose
// relative to the root link.
std::expected<Pose, Error> jacobian_derivative_kernel(const Model& model, std::span<const double> q,
                                                      std::span<const double> qd, std::size_t target,
                                                      Workspace& workspace);

// World axes for a base at rest: every column rotated by the base rotation.
void write_fixed_jacobian_derivative(std::size_t n, const Quat& base_rotation,
                                     std::span<const double> jacobian_derivative, std::span<double> out);

// World axes for a moving base: d/dt(R_b·J) = R_b·J̇ + ω_b × (R_b·J), plus the
// base block e_i × ṗ of the moving target offset.
void write_floating_jacobian_derivative(std::size_t n, const BaseState& base, std::span<const double> qd,
                                        const Pose& target, std::span<const double> jacobian,
                                        std::span<const double> jacobian_derivative,
                                        std::span<double> out);

namespace coupled_entry {
// jacobian and jacobian_derivative in a coupled model's free coordinates (the
// entry points' branch for them, coupled_entry_points.cpp): J G, J̇ G.
std::expected<void, Error> jacobian(const Model& model, const Base& base, Workspace& w,
                                    std::span<const double> q, LinkId target, std::span<double> out);
std::expected<void, Error> jacobian_derivative(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<const double> qd,
                                               LinkId target, std::span<double> out);
}  // namespace coupled_entry

}  // namespace velkor
