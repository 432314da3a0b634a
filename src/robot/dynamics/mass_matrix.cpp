#include "robot/dynamics/mass_matrix.hpp"

#include <algorithm>

#include "fault.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"

namespace velkor {
namespace {

// Composite (m, h, I_o) of a subtree, about its link origin in link axes.
struct Composite {
  double m;
  Vec3 h;
  Mat3 I;
};

// Adds a child composite given in the child frame into `into`, with the
// child's local transform (R, t): h' = R h;
// I += R I Rᵀ + (2 t·h' + m|t|²)·1 − h' tᵀ − t h'ᵀ − m t tᵀ.
void add_moved(double m, const Vec3& h, const Mat3& I, const Pose& X, double& m_p, Vec3& h_p,
               Mat3& I_p) {
  const Mat3 R = X.rotation.toRotationMatrix();
  const Vec3& t = X.translation;
  const Vec3 h_rot = R * h;
  m_p += m;
  h_p += h_rot + m * t;
  I_p += R * I * R.transpose() + (2.0 * t.dot(h_rot) + m * t.squaredNorm()) * Mat3::Identity() -
         h_rot * t.transpose() - t * h_rot.transpose() - m * t * t.transpose();
}

// Steps shared by both bases. Returns the root composite (root link plus, when
// `floating`, every subtree hanging from it).
Composite composite_pass(const Model& model, std::span<const double> q, Workspace& w,
                         bool floating) {
  const std::size_t J = model.joint_count();
  for (std::size_t k = 0; k < J; ++k) {
    w.frames[k] = model.joint_kinematics[k].frame(model.joint_position(k, q.data()));
    const MassProperties& link = model.link_mass_properties[k + 1];
    w.composite_mass[k] = link.mass;
    w.composite_first_moment[k] = link.first_moment;
    w.composite_inertia[k] = link.inertia_origin;
  }
  const MassProperties& root_link = model.link_mass_properties[0];
  Composite root{root_link.mass, root_link.first_moment, root_link.inertia_origin};
  for (std::size_t k = J; k-- > 0;) {
    const std::size_t p = model.parent[k];
    if (p == 0 && !floating) continue;
    double& m_p = p == 0 ? root.m : w.composite_mass[p - 1];
    Vec3& h_p = p == 0 ? root.h : w.composite_first_moment[p - 1];
    Mat3& I_p = p == 0 ? root.I : w.composite_inertia[p - 1];
    add_moved(w.composite_mass[k], w.composite_first_moment[k], w.composite_inertia[k], w.frames[k],
              m_p, h_p, I_p);
  }
  return root;
}

// Walks DOF d's composite wrench up to the root, writing (d, e) and (e, d) for
// every DOF e on the way; returns the wrench in root-link coordinates.
Vec6 column_walk(const Model& model, const Workspace& w, std::size_t d, std::size_t offset,
                 std::size_t N, std::span<double> out) {
  const std::size_t j = model.dof_list[d];
  const JointKinematics& joint = model.joint_kinematics[j];
  const double m = w.composite_mass[j];
  const Vec3& h = w.composite_first_moment[j];
  Vec3 n = Vec3::Zero(), f = Vec3::Zero();
  switch (joint.kind) {
    case JointKind::Revolute:  // I·(a, 0)
      n = w.composite_inertia[j] * joint.axis;
      f = joint.axis.cross(h);
      break;
    case JointKind::Prismatic:  // I·(0, a)
      n = h.cross(joint.axis);
      f = m * joint.axis;
      break;
    case JointKind::Fixed:
      fault("fixed joints have no DOF index");
  }
  const std::size_t row = offset + d;
  for (std::size_t i = j;;) {
    const JointKinematics& ji = model.joint_kinematics[i];
    if (const auto e = model.joint_dof[i]) {
      const double value = ji.kind == JointKind::Revolute ? ji.axis.dot(n) : ji.axis.dot(f);
      out[row * N + offset + *e] = value;
      out[(offset + *e) * N + row] = value;
    }
    const Pose& X = w.frames[i];
    f = X.rotation * f;
    n = X.rotation * n + X.translation.cross(f);
    const std::size_t p = model.parent[i];
    if (p == 0) break;
    i = p - 1;
  }
  Vec6 wrench;
  wrench << n, f;
  return wrench;
}

std::expected<void, Error> check(const Model& model, std::span<const double> q, std::size_t N,
                                 std::span<double> out) {
  if (auto c = check_dof_vector(model, q, "q"); !c) return c;
  return check_output(out, N * N, "mass matrix output");
}

}  // namespace

std::expected<void, Error> mass_matrix(const Robot& robot, Workspace& w, std::span<const double> q,
                                       std::span<double> out) {
  const Model& model = robot.model();
  const std::size_t n = model.dof_count();
  if (auto c = check(model, q, n, out); !c) return c;
  std::fill(out.begin(), out.end(), 0.0);
  composite_pass(model, q, w, false);
  for (std::size_t d = 0; d < n; ++d) column_walk(model, w, d, 0, n, out);
  return {};
}

std::expected<void, Error> mass_matrix(const FloatingRobot& robot, const BaseState& base,
                                       Workspace& w, std::span<const double> q,
                                       std::span<double> out) {
  const Model& model = robot.model();
  const std::size_t n = model.dof_count(), N = n + 6;
  if (auto c = check(model, q, N, out); !c) return c;
  std::fill(out.begin(), out.end(), 0.0);
  const Composite root = composite_pass(model, q, w, true);
  const Quat& R = base.frame.rotation;

  // Base block, column c: u = Rᵀ e_(c mod 3); angular (I_0 u, u × h_0), linear (h_0 × u, m_0 u).
  for (std::size_t c = 0; c < 6; ++c) {
    const Vec3 u = R.conjugate() * Vec3::Unit(static_cast<int>(c % 3));
    const Vec3 n_c = c < 3 ? Vec3(root.I * u) : Vec3(root.h.cross(u));
    const Vec3 f_c = c < 3 ? Vec3(u.cross(root.h)) : Vec3(root.m * u);
    Eigen::Map<Vec3>(out.data() + c * N) = R * n_c;
    Eigen::Map<Vec3>(out.data() + c * N + 3) = R * f_c;
  }
  // Joint columns and their coupling with the base, mirrored.
  for (std::size_t d = 0; d < n; ++d) {
    const Vec6 F = column_walk(model, w, d, 6, N, out);
    const Vec3 n_w = R * F.head<3>(), f_w = R * F.tail<3>();
    for (std::size_t r = 0; r < 3; ++r) {
      out[r * N + 6 + d] = out[(6 + d) * N + r] = n_w[static_cast<int>(r)];
      out[(r + 3) * N + 6 + d] = out[(6 + d) * N + r + 3] = f_w[static_cast<int>(r)];
    }
  }
  return {};
}

}  // namespace velkor
