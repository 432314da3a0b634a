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

// Link k+1's orientation R_k (rotations[k]) and origin p_k (frames[k].translation)
// in root coordinates, from its parent's and joint k's local transform at
// position q: R_k = R_p R_J, p_k = p_p + R_p t_J.
inline void place_body(const Model& model, std::size_t k, double q, Workspace& w) {
  const JointPlacement& joint = model.joint_placements[k];
  Mat3 R_J;
  Vec3 t_J = joint.translation;
  if (joint.kind == JointKind::Revolute) {
    double s, c;
    ::sincos(q, &s, &c);
    R_J = joint.A + s * joint.B + (1.0 - c) * joint.C;
  } else {  // a fixed joint's, and a prismatic joint's rotation
    R_J = joint.A;
    if (joint.kind == JointKind::Prismatic) t_J += q * joint.slide;
  }
  const std::size_t p = model.parent[k];
  Mat3& R = w.rotations[k];
  Vec3& origin = w.frames[k].translation;
  if (p == 0) {
    R = R_J;
    origin = t_J;
  } else {
    const Mat3& R_p = w.rotations[p - 1];
    R.noalias() = R_p * R_J;
    origin = w.frames[p - 1].translation + R_p * t_J;
  }
}

// A body with orientation R and origin p, about the root origin:
// c' = R c + p, I' = R I_c Rᵀ + m (|c'|² E − c' c'ᵀ), h' = m c'.
inline Rigid placed(const MassProperties& body, const Mat3& R, const Vec3& p) {
  const Vec3 c = R * body.center_of_mass + p;
  Mat3 I = R * body.inertia_com * R.transpose();
  I.noalias() += body.mass * (c.squaredNorm() * Mat3::Identity() - c * c.transpose());
  return {body.mass, body.mass * c, I};
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
