// The one base argument of every algorithm, for both robot kinds. A Robot's
// base is at rest where its base frame puts it; a FloatingRobot's moves as the
// call's BaseState says and adds six generalized coordinates (angular, then
// linear, world axes) in front of the joints. The robot's gravity rides along.
#pragma once

#include <cstddef>

#include "base_state.hpp"
#include "robot/robot.hpp"

namespace velkor {

struct Base {
  bool floating = false;
  BaseState state;                 // world pose, twist and classical acceleration of the root link
  Vec3 gravity = default_gravity;  // world axes, m/s²

  // Generalized coordinates the base adds in front of the joints: 6 or 0.
  std::size_t coordinates() const { return floating ? 6 : 0; }
};

inline Base fixed_base(const Robot& robot) {
  return Base{false, BaseState{robot.base_frame(), {}, {}}, robot.gravity()};
}

inline Base free_base(const FloatingRobot& robot, const BaseState& state) {
  return Base{true, state, robot.gravity()};
}

}  // namespace velkor
