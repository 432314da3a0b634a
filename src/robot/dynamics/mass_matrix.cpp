#include "robot/dynamics/mass_matrix.hpp"

#include <algorithm>

#include "fault.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/placement.hpp"

namespace velkor {
namespace {

// Places every body: (m, h, I_o) of body k+1 about its own origin p_k, root
// axes, in its ten numbers, and its origin from its parent's, r_k = p_k − p_parent
// (fd_offset). Also stores each joint's motion axis in root coordinates, S =
// (a_w, p_j × a_w) for a revolute, (0, a_w) for a prismatic joint. The moving
// model's joints are its DOFs, joint k DOF k.
void place_bodies(const Model& model, std::span<const double> q, Workspace& w) {
  const std::size_t n = model.joint_count();
  std::span<Vec6> axes = w.joint_axes;
  for (std::size_t k = 0; k < n; ++k) {
    place_body(model, k, q[k], w, &w.fd_offset[k]);  // root from link k+1
    const Mat3& R = w.rotations[k];
    const Vec3& t = w.frames[k].translation;
    const MassParameters& link = model.link_mass_parameters[Model::child_link(k)];
    RigidParameters& body = w.composite_parameters[k];
    if (!link.massless()) body = own_inertia(link, R);
    else body = RigidParameters{};  // massless frames add nothing
    const JointKinematics& joint = model.joint_kinematics[k];
    const JointForm form = model.joint_forms[k];
    // a_w = R·a: for a = ±e_i the column R_i with its sign
    const Vec3 a_w = form.axis < 3 ? Vec3(joint.axis[form.axis] * R.col(form.axis))
                                   : Vec3(R * joint.axis);
    Vec6& S = axes[k];
    if (joint.kind == JointKind::Revolute) {
      S.head<3>() = a_w;
      S.tail<3>() = t.cross(a_w);
    } else {
      S.head<3>().setZero();
      S.tail<3>() = a_w;
    }
  }
}

// The inward pass, each subtree about its own joint's origin p_k: a light body
// far from the root keeps the size it has there (about the root origin its
// I_o grows by m|p|², and M's entries of distal joints would be the small
// differences of such terms). Once body k+1's subtree is summed (its children
// come after it), F_k = I_c·S_k about p_k, S_k = (a, 0) or (0, a), moved to the
// root origin, (n + p_k × f, f), is kept in composite_forces; then the subtree
// joins its parent's sum, moved by r_k. Returns the root link's composite about
// its origin, every subtree included when `floating`.
RigidParameters inward_pass(const Model& model, Workspace& w, bool floating) {
  const std::size_t n = model.joint_count();
  const std::span<const Vec6> axes = w.joint_axes;
  std::span<RigidParameters> composite = w.composite_parameters;
  const MassProperties& root_link = model.link_mass_properties[0];
  RigidParameters root{root_link.mass, root_link.first_moment,
                       Symmetric3::upper(root_link.inertia_origin)};
  // A subtree that joins the body just before it (a chain) goes on in `chain`
  // rather than through its parent's row.
  RigidParameters chain;
  bool chained = false;
  for (std::size_t k = n; k-- > 0;) {
    RigidParameters I = composite[k];
    if (chained) I += chain;
    // F = I_c S about p_k: (I_o a, a × h) for S = (a, 0), (h × a, m a) for S = (0, a)
    Vec3 torque, force;
    if (model.joint_kinematics[k].kind == JointKind::Revolute) {
      const Vec3 a = axes[k].head<3>();
      torque = I.I * a;
      force = a.cross(I.h);
    } else {
      const Vec3 a = axes[k].tail<3>();
      torque = I.h.cross(a);
      force = I.m * a;
    }
    Vec6& F = w.composite_forces[k];
    F.head<3>() = torque + w.frames[k].translation.cross(force);
    F.tail<3>() = force;
    const std::size_t p = model.parent[k];
    chained = p != 0 && p == k;
    if (p == 0 && !floating) continue;
    const RigidParameters moved = moved_to(I, w.fd_offset[k]);  // about the parent's origin
    if (chained) chain = moved;
    else if (p != 0) composite[p - 1] += moved;
    else root += moved;
  }
  return root;
}

// M(e, k) = S_e·F_k for DOF k and every DOF e above it, at (e, k) and (k, e);
// a floating base's coupling rows M(base, k) = R F_k (world axes, R the base
// orientation) come first.
void write_joint_entries(const Model& model, const Workspace& w, bool floating, const Quat& R,
                         std::size_t N, std::span<double> out) {
  const std::size_t o = floating ? 6 : 0;
  const std::span<const Vec6> axes = w.joint_axes, F = w.composite_forces;
  double* joints = out.data() + o * N + o;  // the joint block
  // walk up from each joint through the parent array, k from the last joint to the first
  for (std::size_t k = model.joint_count(); k-- > 0;)
    for (std::size_t e = k;; e = model.parent[e] - 1) {
      joints[k * N + e] = joints[e * N + k] = axes[e].dot(F[k]);
      if (model.parent[e] == 0) break;
    }
  if (!floating) return;
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    const Vec3 n_w = R * F[k].head<3>(), f_w = R * F[k].tail<3>();
    for (std::size_t r = 0; r < 3; ++r) {
      out[r * N + o + k] = out[(o + k) * N + r] = n_w[static_cast<int>(r)];
      out[(r + 3) * N + o + k] = out[(o + k) * N + r + 3] = f_w[static_cast<int>(r)];
    }
  }
}

std::expected<void, Error> check(const Model& model, std::span<const double> q, std::size_t N,
                                 std::span<double> out) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  return check_output(out, N * N, "mass matrix output");
}

}  // namespace

std::expected<void, Error> mass_matrix(const Model& model, const Base& base, Workspace& w,
                                       std::span<const double> q, std::span<double> out,
                                       Coordinates coordinates) {
  // a coupled model's: M = Gᵀ M_full G
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::mass_matrix(model, base, w, q, out);
  const std::size_t n = model.dof_count(), b = base.coordinates(), N = n + b;
  VELKOR_TRY(check(model, q, N, out));
  std::fill(out.begin(), out.end(), 0.0);
  const Model& bodies = model.moving();
  VELKOR_INVARIANT(bodies.joint_count() == n, "the moving model's joints are its DOFs");
  place_bodies(bodies, q, w);
  const Quat& R = base.state.frame.rotation;
  const RigidParameters root = inward_pass(bodies, w, base.floating);
  write_joint_entries(bodies, w, base.floating, R, N, out);
  if (!base.floating) return {};

  // Base block, column c: u = Rᵀ e_(c mod 3); angular (I_0 u, u × h_0), linear (h_0 × u, m_0 u).
  for (std::size_t c = 0; c < 6; ++c) {
    const Vec3 u = R.conjugate() * Vec3::Unit(static_cast<int>(c % 3));
    const Vec3 n_c = c < 3 ? Vec3(root.I * u) : Vec3(root.h.cross(u));
    const Vec3 f_c = c < 3 ? Vec3(u.cross(root.h)) : Vec3(root.m * u);
    Eigen::Map<Vec3>(out.data() + c * N) = R * n_c;
    Eigen::Map<Vec3>(out.data() + c * N + 3) = R * f_c;
  }
  // symmetric to the bit: the upper triangle mirrors the lower one
  for (std::size_t c = 1; c < 6; ++c)
    for (std::size_t r = 0; r < c; ++r) out[c * N + r] = out[r * N + c];
  return {};
}

}  // namespace velkor
