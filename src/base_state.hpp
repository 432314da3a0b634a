// State of a floating base (the root link of a FloatingRobot), in world axes.
#pragma once

#include <cstddef>
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

// Standard gravity, m/s², and the default gravity vector in world axes.
inline constexpr double standard_gravity = 9.80665;
inline const Vec3 default_gravity{0.0, 0.0, -standard_gravity};

// The one base argument of every algorithm, for both robot kinds. A Robot's
// base is at rest where its base frame puts it; a FloatingRobot's moves as the
// call's BaseState says and adds six generalized coordinates (angular, then
// linear, world axes) in front of the joints. The robot's gravity rides along.
struct Base {
  bool floating = false;
  BaseState state;                 // world pose, twist and classical acceleration of the root link
  Vec3 gravity = default_gravity;  // world axes, m/s²

  // Generalized coordinates the base adds in front of the joints: 6 or 0.
  std::size_t coordinates() const { return floating ? 6 : 0; }
};

}  // namespace velkor
