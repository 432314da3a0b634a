// Core calls shared by the kinematics methods of both handle kinds.
#pragma once

#include <span>

#include "calculation.hpp"
#include "robot/kinematics/forward_kinematics.hpp"

namespace velkor::py {

// World poses of all links into the link poses buffer, then, only on success,
// as flattened rows [tx, ty, tz, qx, qy, qz, qw] into `out`.
template <class CoreRobot>
std::expected<void, Error> all_link_poses(Calculation<CoreRobot>& c, const Pose& base,
                                          std::span<const double> q, double* out) {
  auto result = forward_kinematics_all(c.model(), base, q, c.workspace.frames, c.link_poses);
  if (!result) return result;
  for (std::size_t i = 0; i < c.link_poses.size(); ++i) write_pose_row(c.link_poses[i], out + 7 * i);
  return {};
}

}  // namespace velkor::py
