#include "model/joint.hpp"

#include "fault.hpp"

#include <cmath>

namespace velkor {

Pose JointKinematics::frame(double q) const {
  switch (kind) {
    case JointKind::Revolute: {
      // q_o·q_a(q) with q_a(q) = (a·sin(q/2), cos(q/2))
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

JointPlacement JointPlacement::of(const JointKinematics& joint) {
  JointPlacement p;
  p.A = joint.origin.rotation.toRotationMatrix();
  Mat3 K;
  K << 0.0, -joint.axis.z(), joint.axis.y(), joint.axis.z(), 0.0, -joint.axis.x(), -joint.axis.y(),
      joint.axis.x(), 0.0;
  p.B = p.A * K;
  p.C = p.B * K;
  p.translation = joint.origin.translation;
  p.slide = p.A * joint.axis;
  p.kind = joint.kind;
  return p;
}

MotionSubspace motion_subspace(const JointKinematics& joint) {
  VELKOR_INVARIANT(joint.kind != JointKind::Fixed, "fixed joints have no DOF index");
  return MotionSubspace{joint.kind, joint.axis};
}

}  // namespace velkor
