// Where each body of a model is, in root-link coordinates: what forward
// dynamics and the mass matrix place before they move inertias to the root.
#pragma once

#include <cstddef>

#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// Link k+1's orientation R_k (rotations[k]) and origin p_k (frames[k].translation)
// in root coordinates, from its parent's and joint k's local transform at
// position q: R_k = R_p R_J, p_k = p_p + R_p t_J.
inline void place_body(const Model& model, std::size_t k, double q, Workspace& w) {
  const Pose local = model.joint_kinematics[k].frame(q);
  const Mat3 R_J = local.rotation.toRotationMatrix();
  const std::size_t p = model.parent[k];
  Mat3& R = w.rotations[k];
  Vec3& origin = w.frames[k].translation;
  if (p == 0) {
    R = R_J;
    origin = local.translation;
  } else {
    const Mat3& R_p = w.rotations[p - 1];
    R.noalias() = R_p * R_J;
    origin = w.frames[p - 1].translation + R_p * local.translation;
  }
}

}  // namespace velkor
