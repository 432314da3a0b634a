#include "robot/dynamics/inverse_dynamics.hpp"

#include <algorithm>
#include <cmath>

#include "fault.hpp"

namespace velkor {

namespace {

// A workspace row set has a row per joint of the model it was made for, which
// may have more joints than the moving bodies the kernels run on.
std::expected<void, Error> check_joint_buffer(std::size_t size, std::size_t J, Label name) {
  if (size < J) return std::unexpected(wrong_length(name, J, size));
  return {};
}

// Stores joint k's wrench (n, f), writes its projection on the joint axis and
// moves it into the parent's accumulator: f_p = R f, n_p = R n + t × f_p.
// `parent_root` receives it when the parent is the root link (nullptr: dropped).
void finish_joint(const Model& model, std::size_t k, const Vec3& torque, const Vec3& force, Workspace& w,
                  Vec6* parent_root, std::span<double> out) {
  w.loads[k].head<3>() = torque;
  w.loads[k].tail<3>() = force;
  if (const auto dof = model.joint_dof[k])
    out[*dof] = motion_subspace(model.joint_kinematics[k]).transpose_times(torque, force);  // τ = Sᵀ f
  const Pose& X = w.frames[k];
  const Vec3 f_p = X.rotation * force;
  const Vec3 n_p = X.rotation * torque + X.translation.cross(f_p);
  const std::size_t p = model.parent[k];
  Vec6* target = p == 0 ? parent_root : &w.loads[p - 1];
  if (target == nullptr) return;
  target->head<3>() += n_p;
  target->tail<3>() += f_p;
}

}  // namespace

std::expected<Vec6, Error> inverse_dynamics_kernel_validated(
    const Model& model, bool floating, std::span<const double> q, std::span<const double> qd,
    std::span<const double> qdd, const BaseState& base, const Vec3& g_up, const Vec6& root_load,
    Workspace& w, std::span<double> out) {
  const std::size_t J = model.joint_count(), n = model.dof_count();
  if (q.size() != n) return std::unexpected(wrong_length("q", n, q.size()));
  if (qd.size() != n) return std::unexpected(wrong_length("qd", n, qd.size()));
  if (qdd.size() != n) return std::unexpected(wrong_length("qdd", n, qdd.size()));
  for (const auto& [size, name] : {std::pair{w.frames.size(), Label("transform workspace")},
                                   {w.angular_velocity.size(), "angular velocity workspace"},
                                   {w.angular_acceleration.size(), "angular acceleration workspace"},
                                   {w.origin_acceleration.size(), "origin acceleration workspace"},
                                   {w.link_acceleration.size(), "link acceleration workspace"},
                                   {w.loads.size(), "load workspace"}})
    VELKOR_TRY(check_joint_buffer(size, J, name));
  if (out.size() != n)
    return std::unexpected(wrong_length("inverse dynamics joint output", n, out.size()));

  // Base values in root-link coordinates, B = R_baseᵀ.
  const Quat B = base.frame.rotation.conjugate();
  const Vec3 omega0 = B * base.velocity.angular;
  const Vec3 alpha0 = B * base.acceleration.angular;
  const Vec3 a0 = B * (base.acceleration.linear + g_up);

  // Outward pass: ω, ω̇, a_o and a_c of each child link.
  for (std::size_t k = 0; k < J; ++k) {
    const std::size_t p = model.parent[k];
    const Vec3& omega_p = parent_row(p, omega0, w.angular_velocity);
    const Vec3& alpha_p = parent_row(p, alpha0, w.angular_acceleration);
    const Vec3& a_p = parent_row(p, a0, w.origin_acceleration);
    const JointKinematics& joint = model.joint_kinematics[k];
    const auto dof = model.joint_dof[k];
    const double theta = model.joint_position(k, q.data()), rate = dof ? qd[*dof] : 0.0,
                 accel = dof ? qdd[*dof] : 0.0;
    const Pose X = joint.frame(theta);
    w.frames[k] = X;
    const Mat3 RT = X.rotation.toRotationMatrix().transpose();
    const Vec3& t = X.translation;
    // ω' = Rᵀω_p, ω̇' = Rᵀω̇_p, a' = Rᵀ(a_p + ω̇_p × t + ω_p × (ω_p × t))
    Vec3 omega = RT * omega_p;
    Vec3 alpha = RT * alpha_p;
    Vec3 a_o = RT * (a_p + alpha_p.cross(t) + omega_p.cross(omega_p.cross(t)));
    const Vec3 joint_rate = joint.axis * rate;
    if (joint.kind == JointKind::Revolute) {
      alpha += joint.axis * accel + omega.cross(joint_rate);  // ω̇ = ω̇' + aθ̈ + ω' × aθ̇
      omega += joint_rate;
    } else if (joint.kind == JointKind::Prismatic) {
      a_o += 2.0 * omega.cross(joint_rate) + joint.axis * accel;  // a' + 2ω' × aθ̇ + aθ̈
    }
    const MassProperties& link = model.link_mass_properties[Model::child_link(k)];
    const Vec3& c = link.center_of_mass;
    w.angular_velocity[k] = omega;
    w.angular_acceleration[k] = alpha;
    w.origin_acceleration[k] = a_o;
    w.link_acceleration[k] = a_o + alpha.cross(c) + omega.cross(omega.cross(c));  // a_c
  }

  // Root link wrench, floating base only.
  Vec6 root = Vec6::Zero();
  if (floating) {
    const MassProperties& link = model.link_mass_properties[0];
    const Vec3& c = link.center_of_mass;
    const Vec3 ma = link.mass * (a0 + alpha0.cross(c) + omega0.cross(omega0.cross(c)));
    root.tail<3>() = ma + root_load.tail<3>();
    root.head<3>() = link.inertia_com * alpha0 + omega0.cross(link.inertia_com * omega0) + c.cross(ma) +
                     root_load.head<3>();
  }

  // Inward pass: f = f_ext + m a_c; n = n_ext + I_c ω̇ + ω × I_c ω + c × m a_c.
  for (std::size_t k = J; k-- > 0;) {
    const MassProperties& link = model.link_mass_properties[Model::child_link(k)];
    const Vec3& omega = w.angular_velocity[k];
    const Vec3 ma = link.mass * w.link_acceleration[k];
    const Vec6& entry = w.loads[k];
    const Vec3 force = entry.tail<3>() + ma;
    const Vec3 torque = entry.head<3>() + link.inertia_com * w.angular_acceleration[k] +
                        omega.cross(link.inertia_com * omega) + link.center_of_mass.cross(ma);
    finish_joint(model, k, torque, force, w, floating ? &root : nullptr, out);
  }
  return root;
}

std::expected<Vec6, Error> gravity_kernel(const Model& model, std::span<const double> q,
                                          const Quat& base_orientation, const Vec3& g_up,
                                          const Vec6& root_load, Workspace& w, std::span<double> out) {
  const std::size_t J = model.joint_count(), n = model.dof_count();
  if (q.size() != n) return std::unexpected(wrong_length("q", n, q.size()));
  for (double v : q)
    if (!std::isfinite(v)) return std::unexpected(errors::NonFiniteInput{"q"});
  for (const auto& [size, name] : {std::pair{w.frames.size(), Label("transform workspace")},
                                   {w.angular_acceleration.size(), "gravity workspace"},
                                   {w.loads.size(), "load workspace"}})
    VELKOR_TRY(check_joint_buffer(size, J, name));
  if (out.size() != n) return std::unexpected(wrong_length("gravity joint output", n, out.size()));

  std::span<Vec3> g = w.angular_acceleration;  // the gravity workspace
  const Vec3 g0 = base_orientation.conjugate() * g_up;
  for (std::size_t k = 0; k < J; ++k) {
    const std::size_t p = model.parent[k];
    const Pose X = model.joint_kinematics[k].frame(model.joint_position(k, q.data()));
    w.frames[k] = X;
    g[k] = X.rotation.conjugate() * parent_row(p, g0, g);  // g_k = Rᵀ g_parent
  }
  const MassProperties& root_link = model.link_mass_properties[0];
  Vec6 root = root_load;
  root.head<3>() += root_link.center_of_mass.cross(root_link.mass * g0);
  root.tail<3>() += root_link.mass * g0;

  for (std::size_t k = J; k-- > 0;) {
    const MassProperties& link = model.link_mass_properties[Model::child_link(k)];
    const Vec3 mg = link.mass * g[k];
    const Vec6& entry = w.loads[k];
    const Vec3 force = entry.tail<3>() + mg;
    const Vec3 torque = entry.head<3>() + link.center_of_mass.cross(mg);
    finish_joint(model, k, torque, force, w, &root, out);
  }
  return root;
}

namespace {

// A floating base's wrench, rotated into world axes, in front of the joint forces.
void write_base_wrench(const Base& base, const Vec6& root, std::span<double> out) {
  if (!base.floating) return;
  const Quat& R = base.state.frame.rotation;
  Eigen::Map<Vec3>(out.data()) = R * root.head<3>();
  Eigen::Map<Vec3>(out.data() + 3) = R * root.tail<3>();
}

}  // namespace

std::expected<void, Error> inverse_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> qdd,
                                            std::span<const IndexedLoad> loads, std::span<double> out) {
  const std::size_t b = base.coordinates();
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_dof_vector(model, qd, "qd"));
  VELKOR_TRY(check_dof_vector(model, qdd, "qdd"));
  VELKOR_TRY(check_output(out, model.dof_count() + b, "inverse dynamics output"));
  const auto root_load = prepare_indexed_loads(model, loads, w.loads);
  if (!root_load) return std::unexpected(root_load.error());
  std::fill(out.begin(), out.end(), 0.0);
  const auto root = inverse_dynamics_kernel_validated(model.moving(), base.floating, q, qd, qdd,
                                                      base.state, -base.gravity, *root_load, w,
                                                      out.subspan(b));
  if (!root) return std::unexpected(root.error());
  write_base_wrench(base, *root, out);
  return {};
}

std::expected<void, Error> gravity(const Model& model, const Base& base, Workspace& w,
                                   std::span<const double> q, std::span<const IndexedLoad> loads,
                                   std::span<double> out) {
  const std::size_t b = base.coordinates();
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_output(out, model.dof_count() + b, "gravity output"));
  const auto root_load = prepare_indexed_loads(model, loads, w.loads);
  if (!root_load) return std::unexpected(root_load.error());
  std::fill(out.begin(), out.end(), 0.0);
  const auto root = gravity_kernel(model.moving(), q, base.state.frame.rotation, -base.gravity,
                                   *root_load, w, out.subspan(b));
  if (!root) return std::unexpected(root.error());
  write_base_wrench(base, *root, out);
  return {};
}

std::expected<void, Error> velocity_product_forces(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<const double> qd,
                                                   std::span<double> out) {
  const std::size_t b = base.coordinates();
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_dof_vector(model, qd, "qd"));
  VELKOR_TRY(check_output(out, model.dof_count() + b, "velocity product output"));
  std::fill(w.ik_step.begin(), w.ik_step.end(), 0.0);  // the zero-acceleration buffer
  std::fill(w.loads.begin(), w.loads.end(), Vec6::Zero());
  std::fill(out.begin(), out.end(), 0.0);
  const BaseState spinning{Pose{base.state.frame.rotation, Vec3::Zero()},
                           Twist{base.state.velocity.angular, Vec3::Zero()},
                           {}};
  const auto root = inverse_dynamics_kernel_validated(model.moving(), base.floating, q, qd, w.ik_step,
                                                      spinning, Vec3::Zero(), Vec6::Zero(), w,
                                                      out.subspan(b));
  if (!root) return std::unexpected(root.error());
  write_base_wrench(base, *root, out);
  return {};
}

}  // namespace velkor
