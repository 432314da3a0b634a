// State of a floating base (the root link of a FloatingRobot), in world axes.
#pragma once

#include <expected>

#include "error.hpp"
#include "spatial.hpp"

namespace velkor {

struct BaseState {
  Pose frame;          // world pose of the root link
  Twist velocity;      // angular, then linear velocity of the root-link origin
  Twist acceleration;  // angular, then classical linear acceleration of the origin

  // Checks that every number is finite, frame first; the frame must already be
  // an accepted (normalised) pose.
  static std::expected<BaseState, Error> create(const Pose& frame, const Twist& velocity,
                                                const Twist& acceleration);
};

}  // namespace velkor
