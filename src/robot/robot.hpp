// The two robot kinds over a shared model: a fixed-base Robot placed in the
// world by its base frame, and a FloatingRobot whose base state comes with
// every call.
#pragma once

#include "robot/model.hpp"
#include "spatial.hpp"

namespace velkor {

class Robot {
 public:
  explicit Robot(RobotModel model) : model_(std::move(model)) {}

  const RobotModel& robot_model() const { return model_; }
  const Model& model() const { return model_.model(); }
  const Pose& base_frame() const { return base_frame_; }
  // The frame must be an accepted (normalised, finite) pose.
  void set_base_frame(const Pose& frame) { base_frame_ = frame; }

 private:
  RobotModel model_;
  Pose base_frame_ = Pose::identity();
};

class FloatingRobot {
 public:
  // The root link must have positive mass, or the base could not be accelerated.
  static std::expected<FloatingRobot, Error> create(RobotModel model);

  const RobotModel& robot_model() const { return model_; }
  const Model& model() const { return model_.model(); }

 private:
  explicit FloatingRobot(RobotModel model) : model_(std::move(model)) {}
  RobotModel model_;
};

}  // namespace velkor
