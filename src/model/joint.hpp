// Joints: their kinematics (origin, axis, kind) and their limits.
#pragma once

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
