#pragma once

#include <string>

#include "spatial.hpp"

namespace velkor {

struct Link {
  std::string name;
  MassProperties mass_properties;  // in the link frame
};

}  // namespace velkor
