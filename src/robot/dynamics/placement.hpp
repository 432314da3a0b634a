// Where each body of a model is, in root-link coordinates: what forward
// dynamics and the mass matrix place before they move inertias to the root.
#pragma once

#include <cmath>
#include <cstddef>

#include "robot/base.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"
#include "spatial_algebra.hpp"

namespace velkor {

// R = R_p R_J for a revolute joint about ±e_I (J, K after I, cyclic) at
// ss = ±sin q and d = 1 − cos q. B and C keep two columns each, B_J = ±A_K,
// B_K = ∓A_J, C_J = −A_J, C_K = −A_K, so R_J = A + sB + (1 − c)C is A but in
// columns J and K; for an origin that does not turn (A = E) R_J is E but in
// rows and columns J, K, and R keeps R_p's column I. The products with the
// zeros are dropped, the sums kept as they are. `R_p` null: the root's E.
template <int I>
void turn_about_coordinate_axis(const Mat3& A, bool turned, const Mat3* R_p, double ss, double d,
                                Mat3& R) {
  constexpr int J = (I + 1) % 3, K = (I + 2) % 3;
  if (!turned) {
    const double e = 1.0 - d;
    if (R_p == nullptr) {
      R.setIdentity();
      R(J, J) = e, R(K, K) = e, R(K, J) = ss, R(J, K) = -ss;
    } else {
      R.col(I) = R_p->col(I);
      R.col(J) = R_p->col(J) * e + R_p->col(K) * ss;
      R.col(K) = R_p->col(J) * -ss + R_p->col(K) * e;
    }
    return;
  }
  Mat3 R_J;
  R_J.col(I) = A.col(I);
  R_J.col(J) = (A.col(J) + ss * A.col(K)) - d * A.col(J);
  R_J.col(K) = (A.col(K) - ss * A.col(J)) - d * A.col(K);
  if (R_p == nullptr) R = R_J;
  else R.noalias() = *R_p * R_J;
}

// A joint's rotation R_J at q, and its translation t_J moved along a
// prismatic joint's axis: R_J = A + sin q B + (1 - cos q) C for a revolute
// joint, A otherwise.
inline void joint_motion(const JointPlacement& joint, double q, Mat3& R_J, Vec3& t_J) {
  if (joint.kind == JointKind::Revolute) {
    double s, c;
    ::sincos(q, &s, &c);
    R_J = joint.A + s * joint.B + (1.0 - c) * joint.C;
  } else {  // a fixed joint's, and a prismatic joint's rotation
    R_J = joint.A;
    if (joint.kind == JointKind::Prismatic) t_J += q * joint.slide;
  }
}

// Link k+1's orientation R_k (rotations[k]) and origin p_k (frames[k].translation)
// in root coordinates, from its parent's and joint k's local transform at
// position q: R_k = R_p R_J, p_k = p_p + r with r = R_p t_J, kept in *offset
// when one is given.
inline void place_body(const Model& model, std::size_t k, double q, Workspace& w,
                       Vec3* offset = nullptr) {
  const JointPlacement& joint = model.joint_placements[k];
  const JointForm form = model.joint_forms[k];
  const std::size_t p = model.parent[k];
  const Mat3* R_p = p == 0 ? nullptr : &w.rotations[p - 1];
  Mat3& R = w.rotations[k];
  Vec3 t_J = joint.translation;
  if (joint.kind == JointKind::Revolute && form.axis < 3) {
    double s, c;
    ::sincos(q, &s, &c);
    const double ss = model.joint_kinematics[k].axis[form.axis] * s, d = 1.0 - c;
    switch (form.axis) {
      case 0: turn_about_coordinate_axis<0>(joint.A, form.turned, R_p, ss, d, R); break;
      case 1: turn_about_coordinate_axis<1>(joint.A, form.turned, R_p, ss, d, R); break;
      default: turn_about_coordinate_axis<2>(joint.A, form.turned, R_p, ss, d, R); break;
    }
  } else {
    Mat3 R_J;
    joint_motion(joint, q, R_J, t_J);
    if (R_p == nullptr) R = R_J;
    else R.noalias() = *R_p * R_J;
  }
  Vec3& origin = w.frames[k].translation;
  if (R_p == nullptr) {
    origin = t_J;
    if (offset != nullptr) *offset = t_J;
  } else {
    const Vec3 r = *R_p * t_J;
    origin = w.frames[p - 1].translation + r;
    if (offset != nullptr) *offset = r;
  }
}

// place_body, keeping also link k+1's origin from its parent's, r_k = R_p t_J
// (t_J for a child of the root), root axes, in fd_offset[k].
inline void place_body_offset(const Model& model, std::size_t k, double q, Workspace& w) {
  const JointPlacement& joint = model.joint_placements[k];
  Mat3 R_J;
  Vec3 t_J = joint.translation;
  joint_motion(joint, q, R_J, t_J);
  const std::size_t p = model.parent[k];
  Mat3& R = w.rotations[k];
  Vec3& origin = w.frames[k].translation;
  Vec3& r = w.fd_offset[k];
  if (p == 0) {
    R = R_J;
    r = origin = t_J;
    return;
  }
  const Mat3& R_p = w.rotations[p - 1];
  R.noalias() = R_p * R_J;
  r.noalias() = R_p * t_J;
  origin = w.frames[p - 1].translation + r;
}

// A body with orientation R and origin p, about the root origin:
// c' = R c + p, I' = R I_c Rᵀ + m (|c'|² E − c' c'ᵀ), h' = m c'.
inline Rigid placed(const MassProperties& body, const Mat3& R, const Vec3& p) {
  const Vec3 c = R * body.center_of_mass + p;
  Mat3 I = R * body.inertia_com * R.transpose();
  I.noalias() += body.mass * (c.squaredNorm() * Mat3::Identity() - c * c.transpose());
  return {body.mass, body.mass * c, I};
}

// A body with orientation R, about its own origin, root axes: h' = R h_o,
// I' = R I_o Rᵀ.
inline Rigid turned(const MassProperties& body, const Mat3& R) {
  Mat3 M;
  M.noalias() = R * body.inertia_origin;
  Rigid out{body.mass, R * body.first_moment, Mat3()};
  out.I.noalias() = M * R.transpose();
  return out;
}

// The same in ten numbers, from a link's (m, h_o, I_o): h' = R h_o, I' = R I_o Rᵀ.
inline RigidParameters own_inertia(const MassParameters& body, const Mat3& R) {
  return {body.m, R * body.h, body.rotated_inertia(R)};
}

// A body's inertia (m, h, I) about its origin p, root axes, moved to the root
// origin: h' = h + m p, I' = I + (2 h·p + m|p|²) E − (h pᵀ + p hᵀ + m p pᵀ)
// = I + 2 (g·p) E − (g pᵀ + p gᵀ) with g = h + m p / 2.
inline Rigid moved_to(const Rigid& body, const Vec3& p) {
  const Vec3 g = body.h + (0.5 * body.m) * p;
  Mat3 I = body.I - g * p.transpose() - p * g.transpose();
  I.diagonal().array() += 2.0 * g.dot(p);
  return {body.m, body.h + body.m * p, I};
}

// moved_to in ten numbers: a composite about its origin p, root axes, moved to
// the origin p is measured from (its parent's, for the offset r_k). Entry by
// entry, I'_xx = I_xx + 2 (g_y p_y + g_z p_z), I'_xy = I_xy − (g_x p_y + p_x g_y), ...
inline RigidParameters moved_to(const RigidParameters& body, const Vec3& p) {
  const double half = 0.5 * body.m;
  const Vec3 g = body.h + half * p;
  const double x = g.x() * p.x(), y = g.y() * p.y(), z = g.z() * p.z();
  Symmetric3 I = body.I;
  I.xx += 2.0 * (y + z), I.yy += 2.0 * (x + z), I.zz += 2.0 * (x + y);
  I.xy -= g.x() * p.y() + p.x() * g.y(), I.xz -= g.x() * p.z() + p.x() * g.z(),
      I.yz -= g.y() * p.z() + p.y() * g.z();
  return {body.m, g + half * p, I};
}

// Body k+1's load (its axes, about its origin) once the body is placed, moved to
// the root: f' = R_k f, n' = R_k n + p_k × f'.
inline Vec6 load_in_root(const Workspace& w, std::size_t k) {
  const Mat3& R = w.rotations[k];
  const Vec6& load = w.loads[k];
  const Vec3 f = R * load.tail<3>();
  return wrench_vector(R * load.head<3>() + w.frames[k].translation.cross(f), f);
}

// S_k, joint k's motion axis once its body is placed: the velocity column of the
// root origin, root axes, (a, p_k × a) or (0, a) with a = R_k·axis.
inline Vec6 root_motion_axis(const Model& model, std::size_t k, const Workspace& w) {
  const JointKinematics& joint = model.joint_kinematics[k];
  Vec6 S;
  motion_subspace(joint).write_column(w.rotations[k] * joint.axis, w.frames[k].translation, Vec3::Zero(),
                                      S.data());
  return S;
}

// The root's spatial velocity in root axes: v_0 = (Bω, Bv), B = R_baseᵀ, for a
// free base; a fixed base is at rest.
inline Vec6 root_velocity(const Base& base) {
  if (!base.floating) return Vec6::Zero();
  const Quat B = base.state.frame.rotation.conjugate();
  return motion_vector(B * base.state.velocity.angular, B * base.state.velocity.linear);
}

}  // namespace velkor
