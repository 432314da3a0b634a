// The two robot kinds over a shared model: a fixed-base Robot placed in the
// world by its base frame, and a FloatingRobot whose base state comes with
// every call.
#pragma once

#include "robot/model.hpp"
#include "spatial.hpp"

namespace velkor {

// Standard gravity, m/s², and the default gravity vector in world axes.
inline constexpr double standard_gravity = 9.80665;
inline const Vec3 default_gravity{0.0, 0.0, -standard_gravity};

class Robot {
 public:
  explicit Robot(RobotModel model) : model_(std::move(model)) {}

  const RobotModel& robot_model() const { return model_; }
  const Model& model() const { return model_.model(); }
  const Pose& base_frame() const { return base_frame_; }
  // The frame must be an accepted (normalised, finite) pose.
  void set_base_frame(const Pose& frame) { base_frame_ = frame; }
  // Gravitational acceleration in world axes, m/s²; finite.
  const Vec3& gravity() const { return gravity_; }
  void set_gravity(const Vec3& gravity) { gravity_ = gravity; }

 private:
  RobotModel model_;
  Pose base_frame_ = Pose::identity();
  Vec3 gravity_ = default_gravity;
};

// Whether a floating robot's root link may be massless: never, or when the
// links joined to it by fixed joints (directly or in chains) carry mass, as in
// the common massless base_link --fixed--> trunk pattern.
enum class MasslessRoot { Reject, Allow };

class FloatingRobot {
 public:
  // The root link must have positive mass, or the base could not be accelerated;
  // with MasslessRoot::Allow, the rigid group of the root (the root and the links
  // fixed to it) must.
  static std::expected<FloatingRobot, Error> create(RobotModel model,
                                                    MasslessRoot massless_root = MasslessRoot::Reject);

  const RobotModel& robot_model() const { return model_; }
  const Model& model() const { return model_.model(); }
  // Gravitational acceleration in world axes, m/s²; finite.
  const Vec3& gravity() const { return gravity_; }
  void set_gravity(const Vec3& gravity) { gravity_ = gravity; }

 private:
  explicit FloatingRobot(RobotModel model) : model_(std::move(model)) {}
  RobotModel model_;
  Vec3 gravity_ = default_gravity;
};

}  // namespace velkor
