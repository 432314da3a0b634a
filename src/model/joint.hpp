// Joints: their kinematics (origin, axis, kind) and their limits.
#pragma once

#include <cmath>
#include <string>

#include "spatial.hpp"

namespace velkor {

// A URDF "continuous" joint is Revolute with infinite limits.
enum class JointKind : unsigned char { Revolute, Prismatic, Fixed };

struct JointKinematics {
  Pose origin;               // child frame at zero position -> parent-link frame
  Vec3 axis = Vec3::UnitX(); // unit vector in the child-link frame
  JointKind kind = JointKind::Fixed;

  // Child-link frame in the parent-link frame at joint position q (ignored when fixed).
  inline Pose frame(double q) const;
};

// A joint's placement as affine functions of its position q, for kernels that
// work with rotation matrices: a revolute joint's child frame turns by
// R_J(q) = A + sin q·B + (1 − cos q)·C, A = R_o, B = R_o[a]×, C = R_o[a]×²
// (Rodrigues' formula after the origin's rotation R_o), at t_J = t_o; a
// prismatic joint keeps R_J = A and moves t_J = t_o + q·(R_o a); a fixed joint
// stays at (A, t_o).
struct JointPlacement {
  Mat3 A, B, C;
  Vec3 translation;  // t_o
  Vec3 slide;        // R_o a
  JointKind kind = JointKind::Fixed;

  static JointPlacement of(const JointKinematics& joint);
};

// Joint motion in one place: the motion subspace S of a moving joint with unit
// axis a (child-link axes): S = (a, 0) for a revolute, (0, a) for a prismatic joint.
struct MotionSubspace {
  JointKind kind;  // Revolute or Prismatic
  const Vec3& axis;

  bool revolute() const { return kind == JointKind::Revolute; }

  // Sᵀ·v; for a wrench (n, f) the joint force: a·n, or a·f.
  double transpose_times(const Vec6& v) const {
    return revolute() ? axis.dot(v.head<3>()) : axis.dot(v.tail<3>());
  }
  double transpose_times(const Vec3& angular, const Vec3& linear) const {
    return revolute() ? axis.dot(angular) : axis.dot(linear);
  }
  // S·s
  Vec6 times(double s) const {
    Vec6 m = Vec6::Zero();
    if (revolute()) m.head<3>() = axis * s;
    else m.tail<3>() = axis * s;
    return m;
  }
  // I·S; for a coordinate axis just the matching column (times its sign).
  Vec6 inertia_times(const Mat6& I) const {
    const int offset = revolute() ? 0 : 3;
    for (int c = 0; c < 3; ++c) {
      const double a = axis[c];
      if (std::abs(a) == 1.0 && axis[(c + 1) % 3] == 0.0 && axis[(c + 2) % 3] == 0.0)
        return a * I.col(offset + c);
    }
    return revolute() ? Vec6(I.leftCols<3>() * axis) : Vec6(I.rightCols<3>() * axis);
  }
  // The world-axis column of a point's velocity, for the axis a_w through the
  // joint origin p_j and the point p: (a_w, a_w × (p − p_j)), or (0, a_w).
  void write_column(const Vec3& axis_world, const Vec3& joint_origin, const Vec3& point,
                    double* column) const {
    Eigen::Map<Vec3> angular(column), linear(column + 3);
    if (revolute()) {
      angular = axis_world;
      linear = axis_world.cross(point - joint_origin);
    } else {
      angular.setZero();
      linear = axis_world;
    }
  }
};

// S of a joint with a DOF; a fixed joint has none (an internal fault).
MotionSubspace motion_subspace(const JointKinematics& joint);

struct Joint {
  std::string name;
  std::string type;  // as in the file: "revolute", "continuous", "prismatic" or "fixed"
  JointKinematics kinematics;
  double lower = 0.0;
  double upper = 0.0;
  double velocity_limit = 0.0;
  double effort_limit = 0.0;  // 0 when the file gives none, NaN when it is not a number
};

// What lets the kernels skip the zero terms of a joint's products: `axis` is i
// (0, 1, 2) for a moving joint turning or sliding along the coordinate axis
// ±e_i, 3 for any other axis and for a fixed joint; `turned` is false when the
// origin's rotation is exactly the identity. A skipped term is a product with
// an exact zero, so every result keeps its value.
struct JointForm {
  unsigned char axis = 3;
  bool turned = true;

  static JointForm of(const JointKinematics& joint);
};

// a·b for a quaternion b = (w, v) whose vector part v is zero but for its
// component I: the terms with b's zero components dropped.
template <int I>
Quat times_axial(const Quat& a, double w, double v) {
  if constexpr (I == 0)
    return Quat(a.w() * w - a.x() * v, a.w() * v + a.x() * w, a.y() * w + a.z() * v,
                a.z() * w - a.y() * v);
  else if constexpr (I == 1)
    return Quat(a.w() * w - a.y() * v, a.x() * w - a.z() * v, a.w() * v + a.y() * w,
                a.z() * w + a.x() * v);
  else
    return Quat(a.w() * w - a.z() * v, a.x() * w + a.y() * v, a.y() * w - a.x() * v,
                a.w() * v + a.z() * w);
}

// r·(σ e_I), σ = ±1, as r·v computes it (uv = 2 r_v × v, r·v = v + r_w uv +
// r_v × uv) without its products with zeros; J, K follow I cyclically.
template <int I>
Vec3 rotate_axial(const Quat& r, double sign) {
  constexpr int J = (I + 1) % 3, K = (I + 2) % 3;
  const Vec3 u = r.vec();
  double uv_j = u[K] * sign, uv_k = -(u[J] * sign);
  uv_j += uv_j;
  uv_k += uv_k;
  Vec3 out;
  out[I] = sign + (u[J] * uv_k - u[K] * uv_j);
  out[J] = r.w() * uv_j - u[I] * uv_k;
  out[K] = r.w() * uv_k + u[I] * uv_j;
  return out;
}

// r·a for a joint axis a: rotate_axial for a = ±e_i.
inline Vec3 rotate_axis(const Quat& r, const Vec3& axis, JointForm form) {
  switch (form.axis) {
    case 0: return rotate_axial<0>(r, axis.x());
    case 1: return rotate_axial<1>(r, axis.y());
    case 2: return rotate_axial<2>(r, axis.z());
    default: return r * axis;
  }
}

// q·(c, s·a) for a revolute joint's axis a at the half-angle's sine s and
// cosine c, with the terms of zero factors dropped.
inline Quat turn_about_axis(const Quat& q, const Vec3& axis, JointForm form, double s, double c) {
  switch (form.axis) {
    case 0: return times_axial<0>(q, c, axis.x() * s);
    case 1: return times_axial<1>(q, c, axis.y() * s);
    case 2: return times_axial<2>(q, c, axis.z() * s);
    default: return q * Quat(c, axis.x() * s, axis.y() * s, axis.z() * s);
  }
}

// A revolute joint's rotation q_o·(c, s·a); 1·(c, s·a) is (c, s·a) itself.
inline Quat turned_rotation(const JointKinematics& joint, JointForm form, double s, double c) {
  if (!form.turned) return Quat(c, joint.axis.x() * s, joint.axis.y() * s, joint.axis.z() * s);
  return turn_about_axis(joint.origin.rotation, joint.axis, form, s, c);
}

// A revolute joint's rotation q_o·q_a(q), q_a(q) = (cos(q/2), a·sin(q/2)).
inline Pose JointKinematics::frame(double q) const {
  switch (kind) {
    case JointKind::Revolute: {
      double s, c;
      ::sincos(q / 2, &s, &c);
      const Quat about_axis(c, axis.x() * s, axis.y() * s, axis.z() * s);
      return Pose{origin.rotation * about_axis, origin.translation};
    }
    case JointKind::Prismatic:
      return Pose{origin.rotation, origin.translation + origin.rotation * (axis * q)};
    case JointKind::Fixed: break;
  }
  return origin;
}

// parent∘X_joint(q): the value of parent.compose(joint.frame(q)), without the
// products with zeros that `form` marks.
inline Pose child_pose(const Pose& parent, const JointKinematics& joint, JointForm form, double q) {
  if (joint.kind != JointKind::Revolute) return parent.compose(joint.frame(q));
  double s, c;
  ::sincos(q / 2, &s, &c);
  Pose out;
  if (form.turned)
    out.rotation = parent.rotation * turn_about_axis(joint.origin.rotation, joint.axis, form, s, c);
  else out.rotation = turn_about_axis(parent.rotation, joint.axis, form, s, c);  // q_p·(c, s·a)
  out.translation = parent.translation + parent.rotation * joint.origin.translation;
  return out;
}

// The joint's frame alone: X_joint(q) with the zero terms dropped.
inline Pose joint_frame(const JointKinematics& joint, JointForm form, double q) {
  if (joint.kind != JointKind::Revolute) return joint.frame(q);
  double s, c;
  ::sincos(q / 2, &s, &c);
  return Pose{turned_rotation(joint, form, s, c), joint.origin.translation};
}

}  // namespace velkor
