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

// A symmetric 3 x 3 matrix by its upper triangle.
struct Symmetric3 {
  double xx = 0.0, xy = 0.0, xz = 0.0, yy = 0.0, yz = 0.0, zz = 0.0;

  static Symmetric3 upper(const Mat3& m) {
    return {m(0, 0), m(0, 1), m(0, 2), m(1, 1), m(1, 2), m(2, 2)};
  }
  Vec3 operator*(const Vec3& v) const {
    return Vec3(xx * v.x() + xy * v.y() + xz * v.z(), xy * v.x() + yy * v.y() + yz * v.z(),
                xz * v.x() + yz * v.y() + zz * v.z());
  }
  Symmetric3& operator+=(const Symmetric3& o) {
    xx += o.xx, xy += o.xy, xz += o.xz, yy += o.yy, yz += o.yz, zz += o.zz;
    return *this;
  }
};

// A link's mass m, first moment h = m c and inertia I_o about its origin, link
// axes, held for rotating: I_o = d E + U + Uᵀ with d = I_zz and U's rows
// u0 = ((I_xx − d)/2, I_xy, I_xz), u1 = (0, (I_yy − d)/2, I_yz), u2 = 0.
struct MassParameters {
  double m = 0.0;
  Vec3 h = Vec3::Zero();
  double d = 0.0;
  Vec3 u0 = Vec3::Zero(), u1 = Vec3::Zero();

  static MassParameters of(const MassProperties& p) {
    const Mat3& I = p.inertia_origin;
    const double d = I(2, 2);
    return {p.mass, p.first_moment, d, Vec3(0.5 * (I(0, 0) - d), I(0, 1), I(0, 2)),
            Vec3(0.0, 0.5 * (I(1, 1) - d), I(1, 2))};
  }
  bool massless() const { return m == 0.0 && d == 0.0 && u0.isZero(0.0) && u1.isZero(0.0); }
  // R I_o Rᵀ = d E + W + Wᵀ, W = R U Rᵀ = R_0 (R u0)ᵀ + R_1 (R u1)ᵀ (R_k: R's columns)
  Symmetric3 rotated_inertia(const Mat3& R) const {
    const Vec3 v0 = R * u0, v1 = R.col(1) * u1.y() + R.col(2) * u1.z();
    const Vec3 w0 = R(0, 0) * v0 + R(0, 1) * v1, w1 = R(1, 0) * v0 + R(1, 1) * v1,
               w2 = R(2, 0) * v0 + R(2, 1) * v1;  // W's rows
    return {2.0 * w0.x() + d, w0.y() + w1.x(), w0.z() + w2.x(),
            2.0 * w1.y() + d, w1.z() + w2.y(), 2.0 * w2.z() + d};
  }
};

// A spatial inertia in ten numbers (m, h = m c, I_o symmetric), the form the
// mass matrix's subtree sums keep: n = I_o ω + h × v, f = m v − h × ω.
struct RigidParameters {
  double m = 0.0;
  Vec3 h = Vec3::Zero();
  Symmetric3 I;

  Vec6 operator*(const Vec6& x) const {
    const Vec3 w = x.head<3>(), v = x.tail<3>();
    return wrench_vector(I * w + h.cross(v), m * v - h.cross(w));
  }
  RigidParameters& operator+=(const RigidParameters& other) {
    m += other.m;
    h += other.h;
    I += other.I;
    return *this;
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
