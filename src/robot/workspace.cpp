#include "robot/workspace.hpp"

namespace velkor {

Workspace::Workspace(std::size_t J, std::size_t n)
    : frames(J, Pose::identity()),
      angular_velocity(J, Vec3::Zero()),
      angular_acceleration(J, Vec3::Zero()),
      origin_acceleration(J, Vec3::Zero()),
      link_acceleration(J, Vec3::Zero()),
      loads(J, Vec6::Zero()),
      composite(J, Rigid{0.0, Vec3::Zero(), Mat3::Zero()}),
      composite_parameters(J),
      composite_forces(J, Vec6::Zero()),
      rotations(J, Mat3::Identity()),
      turns(J, {0.0, 1.0}),
      fd_velocity(J, Vec6::Zero()),
      fd_bias_acceleration(J, Vec6::Zero()),
      fd_bias_force(J, Vec6::Zero()),
      fd_inertia(J, Mat6::Zero()),
      fd_U(J, Vec6::Zero()),
      fd_acceleration(J, Vec6::Zero()),
      fd_D(J, 0.0),
      fd_u(J, 0.0),
      joint_axes(J, Vec6::Zero()),
      fd_offset(J, Vec3::Zero()),
      linear_velocity(J, Vec3::Zero()),
      inertia_rate(J, Mat3::Zero()),
      linear_momentum(J, Vec3::Zero()),
      motion_axes(n, Vec6::Zero()),
      axis_rates(n, Vec6::Zero()),
      axis_accelerations(n, Vec6::Zero()),
      jacobian(6 * n, 0.0),
      jacobian_derivative(6 * n, 0.0),
      ik_joints(n, 0.0),
      ik_step(n, 0.0),
      generalized_a(n + 6, 0.0),
      generalized_b(n + 6, 0.0),
      generalized_parent(n + 6, -1),
      support(n + 6, 0),
      side_axes(3 * (n + 6), Vec6::Zero()),
      path(J, 0) {}

}  // namespace velkor
