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

// Motion vector from parent to child frame: ω_c = Rᵀω_p, v_c = Rᵀ(v_p + ω_p × t).
inline Vec6 motion_to_child(const Pose& X, const Vec6& m) {
  const Quat Rt = X.rotation.conjugate();
  const Vec3 w = m.head<3>();
  return wrench_vector(Rt * w, Rt * (m.tail<3>() + w.cross(X.translation)));
}

// Force vector from child to parent frame: f_p = R f, n_p = R n + t × f_p.
inline Vec6 force_to_parent(const Pose& X, const Vec6& f) {
  const Vec3 fp = X.rotation * f.tail<3>();
  return wrench_vector(X.rotation * f.head<3>() + X.translation.cross(fp), fp);
}

// Xᵀ·I·X for the motion transform X from parent to child: a child-frame
// articulated inertia expressed in the parent frame.
inline Mat6 inertia_to_parent(const Pose& X, const Mat6& I) {
  const Mat3 R = X.rotation.toRotationMatrix();
  Mat6 M;  // X = [[Rᵀ, 0], [−Rᵀ[t]×, Rᵀ]]
  M << R.transpose(), Mat3::Zero(), -R.transpose() * skew(X.translation), R.transpose();
  return M.transpose() * I * M;
}

}  // namespace velkor
