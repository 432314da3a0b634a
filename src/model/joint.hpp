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
  Pose frame(double q) const;
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

}  // namespace velkor
