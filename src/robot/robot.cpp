#include "robot/robot.hpp"

namespace velkor {

std::expected<FloatingRobot, Error> FloatingRobot::create(RobotModel model) {
  const Link& root = model->links.front();
  if (!(root.mass_properties.mass > 0.0))
    return std::unexpected(errors::InvalidModel{"floating-base root link " + root.name +
                                                " must have positive mass"});
  return FloatingRobot(std::move(model));
}

}  // namespace velkor
