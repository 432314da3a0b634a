// Spatial (6-vector) algebra, for kinematics and dynamics alike. Motion vectors
// are (ω, v), force vectors (n, f), both in one frame about one point (the
// root-link origin, in root axes, for the kernels that place their bodies there).
#pragma once

#include "spatial.hpp"

namespace velkor {

// A force vector (n, f): a torque about the point, then a force.
inline Vec6 wrench_vector(const Vec3& torque, const Vec3& force) {
  Vec6 w;
  w << torque, force;
  return w;
}

// A motion vector (ω, v): an angular velocity (or acceleration, or axis), then
// the linear one of the point.
inline Vec6 motion_vector(const Vec3& angular, const Vec3& linear) {
  Vec6 m;
  m << angular, linear;
  return m;
}

inline Mat3 skew(const Vec3& v) {
  Mat3 m;
  m << 0, -v.z(), v.y(), v.z(), 0, -v.x(), -v.y(), v.x(), 0;
  return m;
}

// A spatial inertia as (m, h = m c, I_o), the form subtree sums keep:
// n = I_o ω + h × v, f = m v − h × ω.
struct Rigid {
  double m;
  Vec3 h;
  Mat3 I;

  Vec6 operator*(const Vec6& x) const {
    const Vec3 w = x.head<3>(), v = x.tail<3>();
    return wrench_vector(I * w + h.cross(v), m * v - h.cross(w));
  }
  Rigid& operator+=(const Rigid& other) {
    m += other.m;
    h += other.h;
    I += other.I;
    return *this;
  }
  Mat6 matrix() const {
    const Mat3 H = skew(h);
    Mat6 out;
    out << I, H, -H, m * Mat3::Identity();
    return out;
  }
};

// A link's own spatial inertia about its origin, from (m, h, I_o).
inline Rigid rigid(const MassProperties& p) { return {p.mass, p.first_moment, p.inertia_origin}; }
inline Mat6 spatial_inertia(const MassProperties& p) { return rigid(p).matrix(); }

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
  return motion_vector(w.cross(wj), w.cross(vj) + v.cross(wj));
}

}  // namespace velkor
