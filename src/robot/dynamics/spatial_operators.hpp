// Spatial (6-vector) algebra for the articulated-body scheme. Motion vectors
// are (ω, v), force vectors (n, f), both in one link frame about its origin.
#pragma once

#include "spatial.hpp"

namespace velkor {

inline Vec6 wrench_vector(const Vec3& torque, const Vec3& force) {
  Vec6 w;
  w << torque, force;
  return w;
}

inline bool twist_is_finite(const Vec6& v) { return v.allFinite(); }

inline Mat3 skew(const Vec3& v) {
  Mat3 m;
  m << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
  return m;
}

// Spatial inertia from (m, h, I_o): n = I_o ω + h × v, f = m v − h × ω.
inline Mat6 spatial_inertia(const MassProperties& p) {
  Mat6 I;
  const Mat3 H = skew(p.first_moment);
  I << p.inertia_origin, H, -H, p.mass * Mat3::Identity();
  return I;
}

// (ω, v) ×* (n, f) = (ω × n + v × f, ω × f)
inline Vec6 force_cross(const Vec6& motion, const Vec6& force) {
  const Vec3 w = motion.head<3>(), v = motion.tail<3>();
  const Vec3 n = force.head<3>(), f = force.tail<3>();
  return wrench_vector(w.cross(n) + v.cross(f), w.cross(f));
}

// (ω, v) ×m (ω_J, v_J) = (ω × ω_J, ω × v_J + v × ω_J)
inline Vec6 motion_cross(const Vec6& motion, const Vec6& other) {
  const Vec3 w = motion.head<3>(), v = motion.tail<3>();
  const Vec3 wj = other.head<3>(), vj = other.tail<3>();
  return wrench_vector(w.cross(wj), w.cross(vj) + v.cross(wj));
}

// A joint's local transform with its rotation as a matrix, formed once per
// joint and call: child coordinates to parent coordinates.
struct Transform {
  Mat3 R;
  Vec3 t;
};

// Spatial inertia times a motion vector, from (m, h, I_o) without the 6x6 matrix.
inline Vec6 inertia_apply(const MassProperties& p, const Vec6& motion) {
  const Vec3 w = motion.head<3>(), v = motion.tail<3>();
  return wrench_vector(p.inertia_origin * w + p.first_moment.cross(v),
                       p.mass * v - p.first_moment.cross(w));
}

// Motion vector from parent to child frame: ω_c = Rᵀω_p, v_c = Rᵀ(v_p + ω_p × t).
inline Vec6 motion_to_child(const Transform& X, const Vec6& m) {
  const Vec3 w = m.head<3>();
  return wrench_vector(X.R.transpose() * w, X.R.transpose() * (m.tail<3>() + w.cross(X.t)));
}

// Force vector from child to parent frame: f_p = R f, n_p = R n + t × f_p.
inline Vec6 force_to_parent(const Transform& X, const Vec6& f) {
  const Vec3 fp = X.R * f.tail<3>();
  return wrench_vector(X.R * f.head<3>() + X.t.cross(fp), fp);
}

// Adds Xᵀ·I·X into `parent`, X the motion transform from parent to child: a
// child-frame articulated inertia expressed in the parent frame. With I rotated
// blockwise, [[A, B], [Bᵀ, D]] = diag(R, R)·I·diag(Rᵀ, Rᵀ), and S = [t]×:
//   A' = A + S Bᵀ − B S − S D S,  B' = B + S D,  D' = D.
// The articulated inertia is symmetric, so only A, B and D are read.
inline void add_inertia_to_parent(const Transform& X, const Mat6& I, Mat6& parent) {
  const Mat3& R = X.R;
  const Mat3 A = R * I.topLeftCorner<3, 3>() * R.transpose();
  const Mat3 B = R * I.topRightCorner<3, 3>() * R.transpose();
  const Mat3 D = R * I.bottomRightCorner<3, 3>() * R.transpose();
  const Mat3 S = skew(X.t);
  const Mat3 B_shifted = B + S * D;
  parent.topLeftCorner<3, 3>() += A + S * B.transpose() - B_shifted * S;
  parent.topRightCorner<3, 3>() += B_shifted;
  parent.bottomLeftCorner<3, 3>() += B_shifted.transpose();
  parent.bottomRightCorner<3, 3>() += D;
}

}  // namespace velkor
