// The two robot kinds over a shared model: a fixed-base Robot placed in the
// world by its base frame, and a FloatingRobot whose base state comes with
// every call.
#pragma once

#include "base_state.hpp"
#include "robot/model.hpp"
#include "spatial.hpp"

namespace velkor {

class Robot {
 public:
  explicit Robot(RobotModel model) : model_(std::move(model)) {}

  const RobotModel& robot_model() const { return model_; }
  const Model& model() const { return model_.model(); }
  const Pose& base_frame() const { return base_.state.frame; }
  // The frame must be an accepted (normalised, finite) pose.
  void set_base_frame(const Pose& frame) { base_.state.frame = frame; }
  // Gravitational acceleration in world axes, m/s²; finite.
  const Vec3& gravity() const { return base_.gravity; }
  void set_gravity(const Vec3& gravity) { base_.gravity = gravity; }
  // The base every call computes with: at rest at the base frame, with the gravity.
  const Base& base() const { return base_; }

 private:
  RobotModel model_;
  Base base_;  // at rest: only the frame and the gravity change
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
