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

namespace {

// Rot(e_I, θ) v at s = sin θ, c = cos θ: the components J, K after I turn.
template <int I>
Vec3 turn_about(const Vec3& v, double s, double c) {
  constexpr int J = (I + 1) % 3, K = (I + 2) % 3;
  Vec3 u = v;
  u[J] = c * v[J] - s * v[K];
  u[K] = s * v[J] + c * v[K];
  return u;
}

inline Vec3 turn_about(int axis, const Vec3& v, double s, double c) {
  switch (axis) {
    case 0: return turn_about<0>(v, s, c);
    case 1: return turn_about<1>(v, s, c);
    default: return turn_about<2>(v, s, c);
  }
}

// Joint k of the moving model turns vectors from its child's axes into its
// parent's by R_J = R_o·Rot(a, q). About a = ±e_i Rot turns two components,
// with s = ±sin q and c = cos q kept in w.turns[k]; about an oblique axis
// R_J = A + sin q·B + (1 − cos q)·C is kept in w.rotations[k].
struct JointTurn {
  const JointPlacement& joint;
  JointForm form;
  double sign;  // a_i for a = ±e_i

  // R_Jᵀ v, keeping what R_J v needs later
  Vec3 down(const Vec3& v, double q, Workspace& w, std::size_t k) const {
    if (joint.kind == JointKind::Prismatic) return form.turned ? Vec3(joint.A.transpose() * v) : v;
    double s, c;
    ::sincos(q, &s, &c);
    if (form.axis >= 3) {
      Mat3& R_J = w.rotations[k];
      R_J = joint.A + s * joint.B + (1.0 - c) * joint.C;
      return R_J.transpose() * v;
    }
    s *= sign;
    w.turns[k] = {s, c};
    return turn_about(form.axis, form.turned ? Vec3(joint.A.transpose() * v) : v, -s, c);  // Rotᵀ R_oᵀ v
  }
  // R_J v
  Vec3 up(const Vec3& v, const Workspace& w, std::size_t k) const {
    if (joint.kind == JointKind::Prismatic) return form.turned ? Vec3(joint.A * v) : v;
    if (form.axis >= 3) return w.rotations[k] * v;
    const auto [s, c] = w.turns[k];
    const Vec3 u = turn_about(form.axis, v, s, c);
    return form.turned ? Vec3(joint.A * u) : u;
  }
};

JointTurn joint_turn(const Model& model, std::size_t k) {
  const JointForm form = model.joint_forms[k];
  return {model.joint_placements[k], form,
          form.axis < 3 ? model.joint_kinematics[k].axis[form.axis] : 1.0};
}

// Gravity alone needs no velocities, and every subtree's force is its mass
// times gravity, so the inward pass carries torques only: in body k's axes
// g_k = R_Jᵀ g_parent, and about its origin
//   n_k = (h + Σ_c M_c t_c) × g_k + Σ_c R_J,c n_c,
// the sum over the joints c leaving it (model.gravity_moment holds the first
// factor with the origins t_o,c; a prismatic joint adds M_c q_c s_c × g_k).
// τ_k = a·n_k for a revolute, a·(M_k g_k) for a prismatic joint. With `Loads`
// the folded loads join: each subtree's external force F rides along, adding
// t_c × R_J,c F_c to the torques and F_k to a prismatic joint's force.
// Returns the root wrench (torque, force), root axes.
template <bool Loads>
Vec6 gravity_pass(const Model& model, std::span<const double> q, const Vec3& g0, const Vec6& root_load,
                  Workspace& w, std::span<double> out) {
  const std::size_t n = model.joint_count();
  std::span<Vec3> g = w.angular_acceleration;  // the gravity workspace
  for (std::size_t k = 0; k < n; ++k) {
    const JointTurn turn = joint_turn(model, k);
    g[k] = turn.down(parent_row(model.parent[k], g0, g), q[k], w, k);  // g_k = R_Jᵀ g_parent
    if constexpr (!Loads) w.loads[k].head<3>().setZero();
  }
  Vec6 root = Loads ? root_load : Vec6::Zero();  // (n, F) of the root body
  for (std::size_t k = n; k-- > 0;) {
    const JointTurn turn = joint_turn(model, k);
    const JointKinematics& joint = model.joint_kinematics[k];
    const double M = model.subtree_mass[Model::child_link(k)];
    Vec6& sums = w.loads[k];  // (n, F): the loads, then what the joints leaving body k+1 pass
    const Vec3 torque = sums.head<3>() + model.gravity_moment[Model::child_link(k)].cross(g[k]);
    Vec3 force = M * g[k];
    if constexpr (Loads) force += sums.tail<3>();
    out[k] = motion_subspace(joint).transpose_times(torque, force);  // τ = Sᵀ (n, f)
    const std::size_t p = model.parent[k];
    Vec6& parent = parent_row(p, root, w.loads);
    Vec3 n_p = turn.up(torque, w, k);
    Vec3 t = turn.joint.translation;
    if (joint.kind != JointKind::Revolute) {  // the slide's share of t × M g_parent
      n_p += ((M * q[k]) * turn.joint.slide).cross(parent_row(p, g0, g));
      t += q[k] * turn.joint.slide;
    }
    if constexpr (Loads) {
      const Vec3 F = turn.up(sums.tail<3>(), w, k);
      n_p += t.cross(F);
      parent.tail<3>() += F;
    }
    parent.head<3>() += n_p;
  }
  return wrench_vector(root.head<3>() + model.gravity_moment[0].cross(g0),
                       root.tail<3>() + model.subtree_mass[0] * g0);
}

std::expected<void, Error> check_gravity_workspace(const Model& model, std::span<const double> q,
                                                   const Workspace& w, std::span<double> out) {
  const std::size_t J = model.joint_count(), n = model.dof_count();
  VELKOR_INVARIANT(J == n, "the moving model's joints are its DOFs");
  if (q.size() != n) return std::unexpected(wrong_length("q", n, q.size()));
  for (double v : q)
    if (!std::isfinite(v)) return std::unexpected(errors::NonFiniteInput{"q"});
  for (const auto& [size, name] : {std::pair{w.rotations.size(), Label("rotation workspace")},
                                   {w.turns.size(), "turn workspace"},
                                   {w.angular_acceleration.size(), "gravity workspace"},
                                   {w.loads.size(), "load workspace"}})
    VELKOR_TRY(check_joint_buffer(size, J, name));
  if (out.size() != n) return std::unexpected(wrong_length("gravity joint output", n, out.size()));
  return {};
}

}  // namespace

std::expected<Vec6, Error> gravity_kernel(const Model& model, std::span<const double> q,
                                          const Quat& base_orientation, const Vec3& g_up,
                                          const Vec6& root_load, Workspace& w, std::span<double> out) {
  VELKOR_TRY(check_gravity_workspace(model, q, w, out));
  return gravity_pass<true>(model, q, base_orientation.conjugate() * g_up, root_load, w, out);
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
                                            std::span<const IndexedLoad> loads, std::span<double> out,
                                            Coordinates coordinates) {
  // a coupled model's: τ = Gᵀ τ_full
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::inverse_dynamics(model, base, w, q, qd, qdd, loads, out);
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
                                   std::span<double> out, Coordinates coordinates) {
  // a coupled model's: g = Gᵀ g_full
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::gravity(model, base, w, q, loads, out);
  const std::size_t b = base.coordinates();
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_output(out, model.dof_count() + b, "gravity output"));
  const Model& bodies = model.moving();
  const std::span<double> joints = out.subspan(b);
  VELKOR_TRY(check_gravity_workspace(bodies, q, w, joints));
  const Vec3 g0 = base.state.frame.rotation.conjugate() * -base.gravity;
  Vec6 root;
  if (loads.empty()) {
    root = gravity_pass<false>(bodies, q, g0, Vec6::Zero(), w, joints);
  } else {
    const auto root_load = prepare_indexed_loads(model, loads, w.loads);
    if (!root_load) return std::unexpected(root_load.error());
    root = gravity_pass<true>(bodies, q, g0, *root_load, w, joints);
  }
  write_base_wrench(base, root, out);
  return {};
}

std::expected<void, Error> velocity_product_forces(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<const double> qd,
                                                   std::span<double> out, Coordinates coordinates) {
  // a coupled model's: Gᵀ c_full
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::velocity_product_forces(model, base, w, q, qd, out);
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
