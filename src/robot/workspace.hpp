// Per-handle scratch memory, sized once from the joint count J and the DOF
// count n, so that computing calls allocate nothing. Buffers that are never
// needed at the same time are shared between algorithms; every algorithm writes
// an entry before reading it.
#pragma once

#include <cstddef>
#include <vector>

#include "spatial.hpp"

namespace velkor {

struct Workspace {
  Workspace(std::size_t joint_count, std::size_t dof_count);

  // Per joint (J entries).
  std::vector<Pose> frames;                 // "transform workspace" / "frame workspace"
  std::vector<Vec3> angular_velocity;       // "angular velocity workspace"
  std::vector<Vec3> angular_acceleration;   // "angular acceleration workspace", "gravity workspace"
  std::vector<Vec3> origin_acceleration;    // "origin acceleration workspace"
  std::vector<Vec3> link_acceleration;      // "link acceleration workspace"
  std::vector<Vec6> loads;                  // "load workspace": folded loads, then joint wrenches
  std::vector<double> composite_mass;       // mass matrix
  std::vector<Vec3> composite_first_moment; // mass matrix
  std::vector<Mat3> composite_inertia;      // mass matrix
  std::vector<Vec6> fd_velocity;            // forward dynamics: spatial velocity
  std::vector<Vec6> fd_bias_acceleration;   // forward dynamics: velocity-product acceleration
  std::vector<Vec6> fd_bias_force;          // forward dynamics: articulated bias force pA
  std::vector<Mat6> fd_inertia;             // forward dynamics: articulated inertia IA
  std::vector<Vec6> fd_u;                   // forward dynamics: U = IA·S
  std::vector<Vec6> fd_acceleration;        // forward dynamics: spatial acceleration
  std::vector<double> fd_d;                 // forward dynamics: D = Sᵀ·U
  std::vector<double> fd_u_scalar;          // forward dynamics: u = τ − Sᵀ·pA
  std::vector<Vec3> linear_velocity;        // Jacobian derivative
  // Per DOF.
  std::vector<double> jacobian;             // 6·n, column-major
  std::vector<double> jacobian_derivative;  // 6·n, column-major
  std::vector<double> ik_joints;            // "IK joint workspace"
  std::vector<double> ik_step;              // "IK step workspace", zero accelerations
  // Joints from a target link up to the root; never longer than J.
  std::vector<std::size_t> path;
};

}  // namespace velkor
