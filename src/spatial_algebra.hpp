// Spatial (6-vector) algebra, for kinematics and dynamics alike. Motion vectors
// are (ω, v), force vectors (n, f), both in one frame about one point (the
// root-link origin, in root axes, for the kernels that place their bodies there).
#pragma once

#include "spatial.hpp"

namespace velkor {

// A force vector (n, f): a torque about the point, then a force.
inline Vec6 wrench_vector(const Vec3& torque, const Vec3& force) {
  Vec6 w;
  w.head<3>() = torque;
  w.tail<3>() = force;
  return w;
}

// A motion vector (ω, v): an angular velocity (or acceleration, or axis), then
// the linear one of the point.
inline Vec6 motion_vector(const Vec3& angular, const Vec3& linear) {
  Vec6 m;
  m.head<3>() = angular;
  m.tail<3>() = linear;
  return m;
}

inline Mat3 skew(const Vec3& v) {
  Mat3 m;
  m(0, 0) = 0.0, m(0, 1) = -v.z(), m(0, 2) = v.y();
  m(1, 0) = v.z(), m(1, 1) = 0.0, m(1, 2) = -v.x();
  m(2, 0) = -v.y(), m(2, 1) = v.x(), m(2, 2) = 0.0;
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
  // [[I, [h]×], [−[h]×, m E]], written entry by entry (a block initialiser
  // costs several times as much).
  Mat6 matrix() const {
    Mat6 out;
    out.topLeftCorner<3, 3>() = I;
    out(0, 3) = 0.0, out(1, 3) = h.z(), out(2, 3) = -h.y();
    out(0, 4) = -h.z(), out(1, 4) = 0.0, out(2, 4) = h.x();
    out(0, 5) = h.y(), out(1, 5) = -h.x(), out(2, 5) = 0.0;
    out.bottomLeftCorner<3, 3>() = out.topRightCorner<3, 3>().transpose();  // −[h]× = [h]×ᵀ
    out(3, 3) = m, out(4, 3) = 0.0, out(5, 3) = 0.0;
    out(3, 4) = 0.0, out(4, 4) = m, out(5, 4) = 0.0;
    out(3, 5) = 0.0, out(4, 5) = 0.0, out(5, 5) = m;
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
