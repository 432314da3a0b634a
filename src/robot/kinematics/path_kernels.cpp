#include "robot/kinematics/path_kernels.hpp"

#include <algorithm>

#include "fault.hpp"
#include "robot/checks.hpp"

namespace velkor {

std::size_t prepare_ancestor_path(std::span<const std::size_t> parent, std::size_t target,
                                  std::span<std::size_t> path) {
  std::size_t length = 0;
  for (std::size_t link = target; link != 0; link = parent[link - 1]) {
    VELKOR_INVARIANT(length < path.size(), "ancestor path fits the path buffer");
    path[length++] = link - 1;
  }
  return length;
}

void pose_path(const Model& model, std::span<const double> q, std::span<const std::size_t> path,
               const Pose& start, std::span<Pose> frames) {
  // T ← T∘X_joint(θ), from the root end of the path towards the target; I∘X is X
  if (path.empty()) return;
  std::size_t i = path.size() - 1, j = path[i];
  Pose T = start.is_identity() ? joint_frame(model.joint_kinematics[j], model.joint_forms[j],
                                             model.joint_position(j, q.data()))
                               : child_pose(start, model.joint_kinematics[j], model.joint_forms[j],
                                            model.joint_position(j, q.data()));
  frames[j] = T;
  while (i-- > 0) {
    j = path[i];
    T = child_pose(T, model.joint_kinematics[j], model.joint_forms[j],
                   model.joint_position(j, q.data()));
    frames[j] = T;
  }
}

std::expected<void, Error> target_frames_kernel(const Model& model, std::span<const double> q,
                                                std::span<const std::size_t> path,
                                                std::span<Pose> frames) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  if (frames.size() != model.joint_count())
    return std::unexpected(wrong_length("frame workspace", model.joint_count(), frames.size()));
  pose_path(model, q, path, Pose::identity(), frames);
  return {};
}

void write_path_columns(const Model& model, std::span<const Pose> frames,
                        std::span<const std::size_t> path, const Vec3& target_origin, double* columns) {
  for (std::size_t j : path) {
    const auto dof = model.joint_dof[j];
    if (!dof) continue;
    const JointKinematics& joint = model.joint_kinematics[j];
    const Pose& frame = frames[j];
    const Vec3 axis = rotate_axis(frame.rotation, joint.axis, model.joint_forms[j]);
    Eigen::Map<Vec3> angular(columns + 6 * *dof), linear(columns + 6 * *dof + 3);
    if (joint.kind == JointKind::Revolute) {  // (a_w, a_w × (p_t − p_j))
      angular = axis;
      linear = axis.cross(target_origin - frame.translation);
    } else {  // (0, a_w)
      angular.setZero();
      linear = axis;
    }
  }
}

std::expected<Pose, Error> jacobian_kernel(const Model& model, std::span<const Pose> frames,
                                           std::size_t target, std::span<const std::size_t> path,
                                           std::span<double> out, bool clear) {
  const std::size_t J = model.joint_count(), n = model.dof_count();
  if (frames.size() != J) return std::unexpected(wrong_length("frame workspace", J, frames.size()));
  if (out.size() != 6 * n) return std::unexpected(wrong_length("jacobian output", 6 * n, out.size()));
  if (clear) std::fill(out.begin(), out.end(), 0.0);
  const Pose target_frame = target_pose(frames, target);
  write_path_columns(model, frames, path, target_frame.translation, out.data());
  return target_frame;
}

}  // namespace velkor
