// Forward kinematics: the world pose of one link or of every link, for joint
// positions q and the world pose B of the root link. Both robot kinds use these:
// a Robot passes its base frame, a FloatingRobot the frame of its base state.
#pragma once

#include <expected>
#include <span>

#include "base_state.hpp"
#include "error.hpp"
#include "robot/checks.hpp"
#include "robot/coupling.hpp"
#include "robot/link_id.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"
#include "spatial.hpp"

namespace velkor {

// World pose of `target`. `path` (workspace, J entries) receives the joints from
// the target up to the root.
std::expected<Pose, Error> forward_kinematics(const Model& model, const Pose& base,
                                              std::span<const double> q, LinkId target,
                                              std::span<std::size_t> path);

// out[i] = world pose of link i; transforms[k] = world pose of link k+1 (scratch).
std::expected<void, Error> forward_kinematics_all(const Model& model, const Pose& base,
                                                  std::span<const double> q, std::span<Pose> transforms,
                                                  std::span<Pose> out);

// The same poses as rows [tx, ty, tz, qx, qy, qz, qw] (write_pose_row), 7·L
// values in link order, written only once every input has been checked.
std::expected<void, Error> forward_kinematics_rows(const Model& model, const Pose& base,
                                                   std::span<const double> q, std::span<Pose> transforms,
                                                   std::span<double> rows);

// Twist of `target`: angular velocity, and the velocity of the tool point (the
// tool pose's translation in the target frame), world axes. `base` gives the
// root link's orientation and twist (of its origin, world axes); a fixed base
// passes a state at rest. The base position does not enter.
std::expected<Twist, Error> forward_velocity_kinematics(const Model& model, const BaseState& base,
                                                        std::span<const double> q,
                                                        std::span<const double> qd, LinkId target,
                                                        const Pose& tool, std::span<std::size_t> path);

// Angular acceleration and classical linear acceleration of the target origin,
// world axes, with the base's orientation, twist and acceleration.
std::expected<Twist, Error> forward_acceleration_kinematics(const Model& model, const BaseState& base,
                                                            std::span<const double> q,
                                                            std::span<const double> qd,
                                                            std::span<const double> qdd, LinkId target,
                                                            std::span<std::size_t> path);

namespace coupled_entry {
// The four above in a coupled model's free coordinates (coupled_entry_points.cpp;
// poses and twists are the same in both coordinates).
std::expected<Pose, Error> forward_kinematics(const Model& model, const Pose& base, Workspace& w,
                                              std::span<const double> q, LinkId target);
std::expected<void, Error> forward_kinematics_rows(const Model& model, const Pose& base, Workspace& w,
                                                   std::span<const double> q, std::span<double> rows);
std::expected<Twist, Error> forward_velocity_kinematics(const Model& model, const BaseState& base,
                                                        Workspace& w, std::span<const double> q,
                                                        std::span<const double> qd, LinkId target,
                                                        const Pose& tool);
std::expected<Twist, Error> forward_acceleration_kinematics(const Model& model, const BaseState& base,
                                                            Workspace& w, std::span<const double> q,
                                                            std::span<const double> qd,
                                                            std::span<const double> qdd, LinkId target);
}  // namespace coupled_entry

// The entry points of the four above: q, q̇, q̈ as the caller counts coordinates
// (a coupled model's free ones, see in_free_coordinates), the workspace's path
// and link poses as scratch. The four above read every DOF.
inline std::expected<Pose, Error> forward_kinematics(const Model& model, const Pose& base, Workspace& w,
                                                     std::span<const double> q, LinkId target) {
  if (!model.coupling) return forward_kinematics(model, base, q, target, w.path);
  return coupled_entry::forward_kinematics(model, base, w, q, target);
}

inline std::expected<void, Error> forward_kinematics_rows(const Model& model, const Pose& base,
                                                          Workspace& w, std::span<const double> q,
                                                          std::span<double> rows) {
  if (!model.coupling) return forward_kinematics_rows(model, base, q, w.frames, rows);
  return coupled_entry::forward_kinematics_rows(model, base, w, q, rows);
}

inline std::expected<Twist, Error> forward_velocity_kinematics(const Model& model, const BaseState& base,
                                                               Workspace& w, std::span<const double> q,
                                                               std::span<const double> qd, LinkId target,
                                                               const Pose& tool) {
  if (!model.coupling) return forward_velocity_kinematics(model, base, q, qd, target, tool, w.path);
  return coupled_entry::forward_velocity_kinematics(model, base, w, q, qd, target, tool);
}

inline std::expected<Twist, Error> forward_acceleration_kinematics(
    const Model& model, const BaseState& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> qdd, LinkId target) {
  if (!model.coupling) return forward_acceleration_kinematics(model, base, q, qd, qdd, target, w.path);
  return coupled_entry::forward_acceleration_kinematics(model, base, w, q, qd, qdd, target);
}

// Flattened pose row [tx, ty, tz, qx, qy, qz, qw], the layout of pose arrays.
void write_pose_row(const Pose& pose, double* row);

}  // namespace velkor
