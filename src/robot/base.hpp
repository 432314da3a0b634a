// The base argument (see Base) of each robot kind.
#pragma once

#include <cstddef>

#include "base_state.hpp"
#include "robot/robot.hpp"

namespace velkor {

inline const Base& fixed_base(const Robot& robot) { return robot.base(); }

inline Base free_base(const FloatingRobot& robot, const BaseState& state) {
  return Base{true, state, robot.gravity()};
}

}  // namespace velkor
