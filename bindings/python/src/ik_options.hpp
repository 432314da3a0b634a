// The IkOptions value class.
#pragma once

#include <optional>

#include "python.hpp"
#include "robot/ik/inverse_kinematics.hpp"

namespace velkor::py {

bool create_ik_options_type();

// None gives the defaults; anything but an IkOptions is a TypeError naming `name`.
std::optional<IkOptions> ik_options_argument(PyObject* value, const char* name);

}  // namespace velkor::py
