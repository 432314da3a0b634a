// Kernels shared by the Jacobian, the Jacobian derivative and inverse
// kinematics: the ancestor path of a target link, the poses of the links on
// that path, and the Jacobian columns of the path joints.
//
// Jacobian layout: 6 rows by m columns, column-major (entry (r, c) at 6·c + r),
// rows 0-2 angular velocity, rows 3-5 linear velocity of the target origin.
#pragma once

#include <expected>
#include <span>

#include "error.hpp"
#include "robot/model.hpp"
#include "spatial.hpp"

namespace velkor {

// Writes the joints from `target` up to the root into `path` (target side
// first) and returns their number; the root link has an empty path.
std::size_t prepare_ancestor_path(std::span<const std::size_t> parent, std::size_t target,
                                  std::span<std::size_t> path);

// frames[j] = pose of joint j's child frame for every joint j on `path`,
// starting from `start` at the root ("frame workspace": J entries).
void pose_path(const Model& model, std::span<const double> q, std::span<const std::size_t> path,
               const Pose& start, std::span<Pose> frames);

// Checks q and the frame buffer, then poses the path relative to the root link.
std::expected<void, Error> target_frames_kernel(const Model& model, std::span<const double> q,
                                                std::span<const std::size_t> path,
                                                std::span<Pose> frames);

// Fills the DOF columns of the path joints (6·n entries, root-link axes) from
// frames posed by target_frames_kernel; zeroes the rest first when `clear`.
// Returns the target's pose relative to the root link.
std::expected<Pose, Error> jacobian_kernel(const Model& model, std::span<const Pose> frames,
                                           std::size_t target, std::span<const std::size_t> path,
                                           std::span<double> out, bool clear);

// The columns of the DOFs on `path` (6 per DOF from `columns`, root-link axes)
// from its posed frames, about the target origin p_t: revolute
// (a_w, a_w × (p_t − p_j)), prismatic (0, a_w). Other columns are left alone.
void write_path_columns(const Model& model, std::span<const Pose> frames,
                        std::span<const std::size_t> path, const Vec3& target_origin, double* columns);

// Pose of the target from posed frames: the frame of joint t−1, identity for the root.
inline Pose target_pose(std::span<const Pose> frames, std::size_t target) {
  return target == 0 ? Pose::identity() : frames[target - 1];
}

}  // namespace velkor
