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
  // T ← T∘X_joint(θ), from the root end of the path towards the target
  Pose T = start;
  for (std::size_t i = path.size(); i-- > 0;) {
    const std::size_t j = path[i];
    T = T.compose(model.joint_kinematics[j].frame(model.joint_position(j, q.data())));
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

void write_dof_column(JointKind kind, const Vec3& axis_world, const Vec3& joint_origin,
                      const Vec3& target_origin, double* column) {
  VELKOR_INVARIANT(kind != JointKind::Fixed, "fixed joints have no DOF index");
  MotionSubspace{kind, axis_world}.write_column(axis_world, joint_origin, target_origin, column);
}

std::expected<Pose, Error> jacobian_kernel(const Model& model, std::span<const Pose> frames,
                                           std::size_t target, std::span<const std::size_t> path,
                                           std::span<double> out, bool clear) {
  const std::size_t J = model.joint_count(), n = model.dof_count();
  if (frames.size() != J) return std::unexpected(wrong_length("frame workspace", J, frames.size()));
  if (out.size() != 6 * n) return std::unexpected(wrong_length("jacobian output", 6 * n, out.size()));
  if (clear) std::fill(out.begin(), out.end(), 0.0);
  const Pose target_frame = target_pose(frames, target);
  for (std::size_t j : path) {
    const auto dof = model.joint_dof[j];
    if (!dof) continue;
    const JointKinematics& joint = model.joint_kinematics[j];
    write_dof_column(joint.kind, frames[j].rotate(joint.axis), frames[j].translation,
                     target_frame.translation, out.data() + 6 * *dof);
  }
  return target_frame;
}

}  // namespace velkor
