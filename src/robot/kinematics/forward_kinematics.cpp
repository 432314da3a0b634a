#include "robot/kinematics/forward_kinematics.hpp"

#include <cmath>

#include "fault.hpp"
#include "robot/kinematics/path_kernels.hpp"

namespace velkor {

std::expected<Pose, Error> forward_kinematics(const Model& model, const Pose& base,
                                              std::span<const double> q, LinkId target,
                                              std::span<std::size_t> path) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  const auto link = model.link_index(target);
  if (!link) return std::unexpected(link.error());

  // path = joints from the target up to the root
  const std::size_t depth = prepare_ancestor_path(model.parent, *link, path);
  // X = B∘X_joint(q)∘… from the root down: the same products in the same order
  // as forward_kinematics_all, so a link's pose agrees with its row.
  Pose X = base;
  for (std::size_t d = depth; d-- > 0;) {
    const std::size_t k = path[d];
    X = child_pose(X, model.joint_kinematics[k], model.joint_forms[k],
                   model.joint_position(k, q.data()));
  }
  return X;
}

namespace {

std::expected<void, Error> check_all(const Model& model, std::span<const double> q,
                                     std::span<Pose> transforms, std::size_t out_size,
                                     std::size_t per_link, Label out_name) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  const std::size_t L = model.link_count(), J = model.joint_count();
  if (out_size != per_link * L) return std::unexpected(wrong_length(out_name, per_link * L, out_size));
  if (transforms.size() != J)
    return std::unexpected(wrong_length("transform workspace", J, transforms.size()));
  return {};
}

// Poses every link in the world: X(k+1) = X(parent)∘X_joint(q_k) into
// transforms[k], from X(root) = B, and write(i, X(i)). A joint on the root of
// the identity base (a fixed robot's default) starts from its joint frame alone.
template <class Write>
void pose_links(const Model& model, const Pose& base, std::span<const double> q,
                std::span<Pose> transforms, Write&& write) {
  write(0, base);
  const bool identity_base = base.is_identity();
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    const std::size_t p = model.parent[k];
    const JointKinematics& joint = model.joint_kinematics[k];
    const JointForm form = model.joint_forms[k];
    const double theta = model.joint_position(k, q.data());
    Pose& X = transforms[k];
    if (p != 0) X = child_pose(transforms[p - 1], joint, form, theta);
    else X = identity_base ? joint_frame(joint, form, theta) : child_pose(base, joint, form, theta);
    write(Model::child_link(k), X);
  }
}

}  // namespace

std::expected<void, Error> forward_kinematics_all(const Model& model, const Pose& base,
                                                  std::span<const double> q, std::span<Pose> transforms,
                                                  std::span<Pose> out) {
  VELKOR_TRY(check_all(model, q, transforms, out.size(), 1, "all link poses output"));
  pose_links(model, base, q, transforms, [&](std::size_t i, const Pose& pose) { out[i] = pose; });
  return {};
}

std::expected<void, Error> forward_kinematics_rows(const Model& model, const Pose& base,
                                                   std::span<const double> q, std::span<Pose> transforms,
                                                   std::span<double> rows) {
  VELKOR_TRY(check_all(model, q, transforms, rows.size(), 7, "link pose rows"));
  pose_links(model, base, q, transforms,
             [&](std::size_t i, const Pose& pose) { write_pose_row(pose, rows.data() + 7 * i); });
  return {};
}

namespace {

// Motion of a link's origin relative to the root link, root-link axes.
struct PathMotion {
  Quat R = Quat::Identity();
  Vec3 p = Vec3::Zero();
  Vec3 omega = Vec3::Zero();  // angular velocity
  Vec3 v = Vec3::Zero();      // origin velocity
  Vec3 alpha = Vec3::Zero();  // angular acceleration
  Vec3 a = Vec3::Zero();      // classical origin acceleration
};

// Walks the ancestor path from the root end. With Acceleration false, qdd is
// not read and alpha, a stay zero.
template <bool Acceleration>
PathMotion path_motion(const Model& model, std::span<const double> q, std::span<const double> qd,
                       std::span<const double> qdd, std::size_t target, std::span<std::size_t> path) {
  const std::size_t depth = prepare_ancestor_path(model.parent, target, path);
  PathMotion m;
  for (std::size_t k = depth; k-- > 0;) {
    const std::size_t j = path[k];
    const JointKinematics& joint = model.joint_kinematics[j];
    const auto dof = model.joint_dof[j];
    const double rate = dof ? qd[*dof] : 0.0;
    const Pose child = Pose{m.R, m.p}.compose(joint.frame(model.joint_position(j, q.data())));
    const Vec3 r = child.translation - m.p;
    m.v += m.omega.cross(r);                                               // v ← v + ω × r
    if constexpr (Acceleration) m.a += m.alpha.cross(r) + m.omega.cross(m.omega.cross(r));
    const Vec3 axis = child.rotation * joint.axis;                         // a_w = R'·a
    if (joint.kind == JointKind::Revolute) {
      if constexpr (Acceleration) m.alpha += rate * m.omega.cross(axis) + qdd[*dof] * axis;
      m.omega += rate * axis;
    } else if (joint.kind == JointKind::Prismatic) {
      if constexpr (Acceleration) m.a += 2 * rate * m.omega.cross(axis) + qdd[*dof] * axis;
      m.v += rate * axis;
    }
    m.R = child.rotation;
    m.p = child.translation;
  }
  return m;
}

}  // namespace

std::expected<Twist, Error> forward_velocity_kinematics(const Model& model, const BaseState& base,
                                                        std::span<const double> q,
                                                        std::span<const double> qd, LinkId target,
                                                        const Pose& tool, std::span<std::size_t> path) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_like_q(q, qd, "qd"));
  if (!tool.all_finite()) return std::unexpected(errors::NonFiniteInput{"tool frame"});
  const auto link = model.link_index(target);
  if (!link) return std::unexpected(link.error());

  PathMotion m = path_motion<false>(model, q, qd, {}, *link, path);
  const Vec3 s = m.R * tool.translation;  // tool point: v ← v + ω × s
  m.v += m.omega.cross(s);
  m.p += s;
  const Quat& R_b = base.frame.rotation;
  const Vec3& omega_b = base.velocity.angular;
  const Vec3 p_w = R_b * m.p;
  // angular = R_b·ω + ω_b;  linear = R_b·v + v_b + ω_b × p_w
  return Twist{R_b * m.omega + omega_b, R_b * m.v + base.velocity.linear + omega_b.cross(p_w)};
}

std::expected<Twist, Error> forward_acceleration_kinematics(const Model& model, const BaseState& base,
                                                            std::span<const double> q,
                                                            std::span<const double> qd,
                                                            std::span<const double> qdd, LinkId target,
                                                            std::span<std::size_t> path) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_like_q(q, qd, "qd"));
  VELKOR_TRY(check_like_q(q, qdd, "qdd"));
  const auto link = model.link_index(target);
  if (!link) return std::unexpected(link.error());

  const PathMotion m = path_motion<true>(model, q, qd, qdd, *link, path);
  const Quat& R_b = base.frame.rotation;
  const Vec3& omega_b = base.velocity.angular;
  const Vec3& alpha_b = base.acceleration.angular;
  const Vec3 p_w = R_b * m.p;
  const Vec3 omega = R_b * m.omega;
  // angular = R_b·α + ω_b × (R_b·ω) + α_b
  // linear  = R_b·a + 2 ω_b × (R_b·v) + ω_b × (ω_b × p_w) + α_b × p_w + a_b
  return Twist{R_b * m.alpha + omega_b.cross(omega) + alpha_b,
               R_b * m.a + 2 * omega_b.cross(R_b * m.v) + omega_b.cross(omega_b.cross(p_w)) +
                   alpha_b.cross(p_w) + base.acceleration.linear};
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
