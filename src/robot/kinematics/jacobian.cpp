#include "robot/kinematics/jacobian.hpp"

#include <algorithm>
#include <cmath>

#include "fault.hpp"
#include "robot/kinematics/forward_kinematics.hpp"
#include "robot/kinematics/path_kernels.hpp"

namespace velkor {
namespace {

// Column i of the floating base block: angular e_i; linear e_i × p (i < 3), or e_(i-3).
void write_base_block(const Vec3& p, double* out) {
  for (int i = 0; i < 3; ++i) {
    Eigen::Map<Vec3> angular(out + 6 * i), linear(out + 6 * i + 3);
    angular = Vec3::Unit(i);
    linear = Vec3::Unit(i).cross(p);
    Eigen::Map<Vec3>(out + 6 * (i + 3) + 3) = Vec3::Unit(i);
  }
}

std::expected<void, Error> checked_jacobian(const Model& model, std::span<const double> q, LinkId target,
                                            const Quat& base_rotation, std::size_t base_columns,
                                            Workspace& workspace, std::span<double> out) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  const std::size_t m = model.dof_count() + base_columns;
  if (out.size() != 6 * m) return std::unexpected(wrong_length("jacobian output", 6 * m, out.size()));
  const auto link = model.link_index(target);
  if (!link) return std::unexpected(link.error());
  return direct_world_jacobian(model, q, *link, base_rotation, base_columns, workspace, out);
}

}  // namespace

std::expected<void, Error> direct_world_jacobian(const Model& model, std::span<const double> q,
                                                 std::size_t target, const Quat& base_rotation,
                                                 std::size_t base_columns, Workspace& w,
                                                 std::span<double> out) {
  const std::size_t J = model.joint_count(), n = model.dof_count();
  if (w.frames.size() != J) return std::unexpected(wrong_length("frame workspace", J, w.frames.size()));
  if (w.jacobian.size() != 6 * n)
    return std::unexpected(wrong_length("jacobian output", 6 * n, w.jacobian.size()));

  const std::size_t length = prepare_ancestor_path(model.parent, target, w.path);
  const std::span<const std::size_t> path(w.path.data(), length);
  pose_path(model, q, path, Pose{base_rotation, Vec3::Zero()}, w.frames);
  const Vec3 p_t = target == 0 ? Vec3::Zero() : w.frames[target - 1].translation;

  std::fill(out.begin(), out.end(), 0.0);
  if (base_columns == 6) write_base_block(p_t, out.data());
  write_path_columns(model, w.frames, path, p_t, out.data() + 6 * base_columns);
  return {};
}

std::expected<void, Error> jacobian(const Model& model, const Base& base, Workspace& workspace,
                                    std::span<const double> q, LinkId target, std::span<double> out,
                                    Coordinates coordinates) {
  // a coupled model's: J G
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::jacobian(model, base, workspace, q, target, out);
  return checked_jacobian(model, q, target, base.state.frame.rotation, base.coordinates(), workspace,
                          out);
}

std::expected<Pose, Error> jacobian_derivative_kernel(const Model& model, std::span<const double> q,
                                                      std::span<const double> qd, std::size_t target,
                                                      Workspace& w) {
  std::fill(w.jacobian_derivative.begin(), w.jacobian_derivative.end(), 0.0);
  if (target == 0) {
    std::fill(w.jacobian.begin(), w.jacobian.end(), 0.0);
    return Pose::identity();
  }
  const std::size_t length = prepare_ancestor_path(model.parent, target, w.path);
  const std::span<const std::size_t> path(w.path.data(), length);
  VELKOR_TRY(target_frames_kernel(model, q, path, w.frames));

  // Velocity pass from the root end: ω_j, v_j of each path joint's child link.
  Vec3 omega = Vec3::Zero(), v = Vec3::Zero(), p = Vec3::Zero();
  for (std::size_t i = length; i-- > 0;) {
    const std::size_t j = path[i];
    const Pose& frame = w.frames[j];
    v += omega.cross(frame.translation - p);  // v ← v + ω × (p_j − p)
    const JointKinematics& joint = model.joint_kinematics[j];
    if (const auto dof = model.joint_dof[j]) {
      const Vec3 axis = frame.rotate(joint.axis);
      if (joint.kind == JointKind::Revolute) omega += qd[*dof] * axis;
      else v += qd[*dof] * axis;
    }
    w.angular_velocity[j] = omega;
    w.linear_velocity[j] = v;
    p = frame.translation;
  }
  const Vec3 p_t = p, v_t = v;

  // Column pass with w = ω_j × a_w:
  //   revolute  (w, w × (p_t − p_j) + a_w × (v_t − v_j)); prismatic (0, w)
  for (std::size_t j : path) {
    const auto dof = model.joint_dof[j];
    if (!dof) continue;
    const JointKinematics& joint = model.joint_kinematics[j];
    const Vec3 axis = w.frames[j].rotate(joint.axis);
    const Vec3 rate = w.angular_velocity[j].cross(axis);
    double* column = w.jacobian_derivative.data() + 6 * *dof;
    Eigen::Map<Vec3> angular(column), linear(column + 3);
    switch (joint.kind) {
      case JointKind::Revolute:
        angular = rate;
        linear = rate.cross(p_t - w.frames[j].translation) + axis.cross(v_t - w.linear_velocity[j]);
        break;
      case JointKind::Prismatic: linear = rate; break;
      case JointKind::Fixed: fault("fixed joints have no DOF index");
    }
  }
  return jacobian_kernel(model, w.frames, target, path, w.jacobian, true);
}

void write_fixed_jacobian_derivative(std::size_t n, const Quat& base_rotation,
                                     std::span<const double> jdot, std::span<double> out) {
  std::fill(out.begin(), out.end(), 0.0);
  for (std::size_t d = 0; d < n; ++d) {
    Eigen::Map<const Vec3> angular(jdot.data() + 6 * d), linear(jdot.data() + 6 * d + 3);
    Eigen::Map<Vec3>(out.data() + 6 * d) = base_rotation * angular;
    Eigen::Map<Vec3>(out.data() + 6 * d + 3) = base_rotation * linear;
  }
}

void write_floating_jacobian_derivative(std::size_t n, const BaseState& base, std::span<const double> qd,
                                        const Pose& target, std::span<const double> jacobian,
                                        std::span<const double> jdot, std::span<double> out) {
  std::fill(out.begin(), out.end(), 0.0);
  const Quat& R_b = base.frame.rotation;
  const Vec3& omega_b = base.velocity.angular;
  // v_rel = Σ qd[d]·J_lin(d): velocity of the target origin relative to the base
  Vec3 v_rel = Vec3::Zero();
  for (std::size_t d = 0; d < n; ++d)
    v_rel += qd[d] * Eigen::Map<const Vec3>(jacobian.data() + 6 * d + 3);
  // ṗ = ω_b × (R_b·p_t) + R_b·v_rel
  const Vec3 p_dot = omega_b.cross(R_b * target.translation) + R_b * v_rel;
  for (int i = 0; i < 3; ++i) Eigen::Map<Vec3>(out.data() + 6 * i + 3) = Vec3::Unit(i).cross(p_dot);
  for (std::size_t d = 0; d < n; ++d) {
    for (std::size_t half = 0; half < 6; half += 3) {
      const Vec3 column = R_b * Eigen::Map<const Vec3>(jacobian.data() + 6 * d + half);
      const Vec3 rate = R_b * Eigen::Map<const Vec3>(jdot.data() + 6 * d + half);
      Eigen::Map<Vec3>(out.data() + 6 * (6 + d) + half) = rate + omega_b.cross(column);
    }
  }
}

namespace {

template <class Write>
std::expected<void, Error> checked_jacobian_derivative(const Model& model, std::span<const double> q,
                                                       std::span<const double> qd, LinkId target,
                                                       std::size_t base_columns, Workspace& w,
                                                       std::span<double> out, Write&& write) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_like_q(q, qd, "qd"));
  const std::size_t m = model.dof_count() + base_columns;
  if (out.size() != 6 * m)
    return std::unexpected(wrong_length("jacobian derivative output", 6 * m, out.size()));
  const auto link = model.link_index(target);
  if (!link) return std::unexpected(link.error());
  auto pose = jacobian_derivative_kernel(model, q, qd, *link, w);
  if (!pose) return std::unexpected(pose.error());
  write(*pose);
  return {};
}

}  // namespace

std::expected<void, Error> jacobian_derivative(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<const double> qd,
                                               LinkId target, std::span<double> out,
                                               Coordinates coordinates) {
  // a coupled model's: J̇ G
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::jacobian_derivative(model, base, w, q, qd, target, out);
  return checked_jacobian_derivative(
      model, q, qd, target, base.coordinates(), w, out, [&](const Pose& pose) {
        if (base.floating)
          write_floating_jacobian_derivative(model.dof_count(), base.state, qd, pose, w.jacobian,
                                             w.jacobian_derivative, out);
        else
          write_fixed_jacobian_derivative(model.dof_count(), base.state.frame.rotation,
                                          w.jacobian_derivative, out);
      });
}

}  // namespace velkor
