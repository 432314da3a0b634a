#include "robot/dynamics/mass_matrix.hpp"

#include <algorithm>

#include "fault.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/placement.hpp"

namespace velkor {
namespace {

// Adds an inertia (m, h, I) given in the frame (R, t) into one given in that
// frame's reference frame: h' = R h, and with u = h' + m t / 2,
// I += R I Rᵀ + (2 t·h' + m|t|²)·1 − h' tᵀ − t h'ᵀ − m t tᵀ
//    = R I Rᵀ + 2 (t·u)·1 − (u tᵀ + t uᵀ).
void add_moved(const Rigid& body, const Mat3& R, const Vec3& t, Rigid& parent) {
  const Vec3 h_rot = R * body.h;
  const Vec3 u = h_rot + 0.5 * body.m * t;
  const Mat3 IRt = body.I * R.transpose();
  parent.m += body.m;
  parent.h += h_rot + body.m * t;
  parent.I.noalias() += R * IRt;
  parent.I.diagonal().array() += 2.0 * t.dot(u);
  parent.I.noalias() -= u * t.transpose() + t * u.transpose();
}

// Subtree inertias in root-link coordinates, about the root-link origin: each link's
// (m, h, I_o) is moved to the root once, after which a subtree's composite is a
// plain sum over its links. Also stores each DOF joint's motion axis in root
// coordinates, S = (a_w, p_j × a_w) for a revolute, (0, a_w) for a prismatic
// joint. Returns the root link's composite, including every subtree when
// `floating`.
Rigid composite_pass(const Model& model, std::span<const double> q, Workspace& w, bool floating) {
  const std::size_t J = model.joint_count();
  std::span<Vec6> axes = w.joint_axes();
  for (std::size_t k = 0; k < J; ++k) {
    place_body(model, k, model.joint_position(k, q.data()), w);  // root from link k+1
    const Mat3& R = w.rotations[k];
    const Vec3& t = w.frames[k].translation;
    const JointKinematics& joint = model.joint_kinematics[k];
    const MassProperties& link = model.link_mass_properties[Model::child_link(k)];
    Rigid& body = w.composite[k];
    body = Rigid{0.0, Vec3::Zero(), Mat3::Zero()};
    if (link.mass != 0.0 || !link.inertia_origin.isZero(0.0))  // massless frames add nothing
      add_moved(rigid(link), R, t, body);
    if (joint.kind != JointKind::Fixed)  // S in root axes: the velocity column of the root origin
      motion_subspace(joint).write_column(R * joint.axis, t, Vec3::Zero(), axes[k].data());
  }
  Rigid root = rigid(model.link_mass_properties[0]);
  for (std::size_t k = J; k-- > 0;) {
    const std::size_t p = model.parent[k];
    if (p == 0 && !floating) continue;
    parent_row(p, root, w.composite) += w.composite[k];
  }
  return root;
}

// F = I_c·S for DOF d's composite, then M(d, e) = S_e·F for d and every DOF e
// above it, written at (d, e) and (e, d). Returns F (root-link coordinates).
Vec6 column_walk(const Model& model, const Workspace& w, std::size_t d, std::size_t offset,
                 std::size_t N, std::span<double> out) {
  const std::size_t j = model.dof_list[d];
  VELKOR_INVARIANT(model.joint_kinematics[j].kind != JointKind::Fixed, "fixed joints have no DOF index");
  const Vec6 F = w.composite[j] * w.joint_axes()[j];
  const std::size_t row = offset + d;
  for (std::optional<std::size_t> e = d; e; e = model.dof_parent[*e]) {  // d and the DOFs above it
    const double value = w.joint_axes()[model.dof_list[*e]].dot(F);
    out[row * N + offset + *e] = value;
    out[(offset + *e) * N + row] = value;
  }
  return F;
}

std::expected<void, Error> check(const Model& model, std::span<const double> q, std::size_t N,
                                 std::span<double> out) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  return check_output(out, N * N, "mass matrix output");
}

}  // namespace

std::expected<void, Error> mass_matrix(const Model& model, const Base& base, Workspace& w,
                                       std::span<const double> q, std::span<double> out) {
  const std::size_t n = model.dof_count(), b = base.coordinates(), N = n + b;
  VELKOR_TRY(check(model, q, N, out));
  std::fill(out.begin(), out.end(), 0.0);
  const Model& bodies = model.moving();
  const Rigid root = composite_pass(bodies, q, w, base.floating);
  if (!base.floating) {
    for (std::size_t d = 0; d < n; ++d) column_walk(bodies, w, d, 0, N, out);
    return {};
  }
  const Quat& R = base.state.frame.rotation;

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
  // Joint columns and their coupling with the base, mirrored.
  for (std::size_t d = 0; d < n; ++d) {
    const Vec6 F = column_walk(bodies, w, d, 6, N, out);
    const Vec3 n_w = R * F.head<3>(), f_w = R * F.tail<3>();
    for (std::size_t r = 0; r < 3; ++r) {
      out[r * N + 6 + d] = out[(6 + d) * N + r] = n_w[static_cast<int>(r)];
      out[(r + 3) * N + 6 + d] = out[(6 + d) * N + r + 3] = f_w[static_cast<int>(r)];
    }
  }
  return {};
}

}  // namespace velkor
