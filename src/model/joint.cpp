#include "model/joint.hpp"

#include "fault.hpp"

#include <cmath>

namespace velkor {

JointForm JointForm::of(const JointKinematics& joint) {
  JointForm form;
  form.turned = joint.origin.rotation.coeffs() != Quat::Identity().coeffs();
  if (joint.kind == JointKind::Fixed) return form;
  for (int i = 0; i < 3; ++i)
    if (std::abs(joint.axis[i]) == 1.0 && joint.axis[(i + 1) % 3] == 0.0 &&
        joint.axis[(i + 2) % 3] == 0.0)
      form.axis = static_cast<unsigned char>(i);
  return form;
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
