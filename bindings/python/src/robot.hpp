// The handle types Robot and FloatingRobot.
#pragma once

namespace velkor::py {

// Create the type objects unless they exist; false with an exception set.
bool create_robot_type();
bool create_floating_robot_type();

}  // namespace velkor::py
