#include "robot/kinematics/forward_kinematics.hpp"

#include <cmath>

#include "fault.hpp"

namespace velkor {

std::expected<void, Error> check_joint_positions(const Model& model, std::span<const double> q) {
  if (q.size() != model.dof_count()) return std::unexpected(wrong_length("q", model.dof_count(), q.size()));
  for (double value : q)
    if (!std::isfinite(value)) return std::unexpected(errors::NonFiniteInput{"q"});
  return {};
}

std::expected<Pose, Error> forward_kinematics(const Model& model, const Pose& base,
                                              std::span<const double> q, LinkId target,
                                              std::span<std::size_t> path) {
  if (auto checked = check_joint_positions(model, q); !checked) return std::unexpected(checked.error());
  const auto link = model.link_index(target);
  if (!link) return std::unexpected(link.error());

  // Walk up: path = joints from the target to the root.
  std::size_t depth = 0;
  for (std::size_t i = *link; i != 0; i = model.parent[i - 1]) {
    VELKOR_INVARIANT(depth < path.size(), "path buffer holds every joint of a path");
    path[depth++] = i - 1;
  }
  // A = product of joint frames from the root down; result = B∘A.
  Pose A = Pose::identity();
  for (std::size_t d = depth; d-- > 0;) {
    const std::size_t k = path[d];
    A = A.compose(model.joint_kinematics[k].frame(model.joint_position(k, q.data())));
  }
  return depth == 0 ? base : base.compose(A);
}

std::expected<void, Error> forward_kinematics_all(const Model& model, const Pose& base,
                                                  std::span<const double> q,
                                                  std::span<Pose> transforms, std::span<Pose> out) {
  if (auto checked = check_joint_positions(model, q); !checked) return std::unexpected(checked.error());
  const std::size_t L = model.link_count();
  const std::size_t J = model.joint_count();
  if (out.size() != L) return std::unexpected(wrong_length("all link poses output", L, out.size()));
  if (transforms.size() != J) return std::unexpected(wrong_length("transform workspace", J, transforms.size()));

  out[0] = base;
  for (std::size_t k = 0; k < J; ++k) {
    // X_root(k+1) = X_root(parent)∘X_joint(q_k); world = B∘X_root
    const std::size_t p = model.parent[k];
    const Pose joint = model.joint_kinematics[k].frame(model.joint_position(k, q.data()));
    transforms[k] = p == 0 ? joint : transforms[p - 1].compose(joint);
    out[k + 1] = base.compose(transforms[k]);
  }
  return {};
}

void write_pose_row(const Pose& pose, double* row) {
  row[0] = pose.translation.x();
  row[1] = pose.translation.y();
  row[2] = pose.translation.z();
  row[3] = pose.rotation.x();
  row[4] = pose.rotation.y();
  row[5] = pose.rotation.z();
  row[6] = pose.rotation.w();
}

}  // namespace velkor
