#pragma once

#include <string>

#include "spatial.hpp"

namespace velkor {

struct Link {
  std::string name;
  MassProperties mass_properties;  // in the link frame
};

// A link inertia that import accepted within the inertia tolerance: the file's
// matrix is not positive semidefinite, and the model holds `held` instead.
// Both are about the centre of mass, in the axes of the file's <inertial> origin.
struct InertiaRepair {
  std::string link;
  double defect = 0.0;           // kg·m²: minus the most negative eigenvalue of `written`
  double relative_defect = 0.0;  // defect over the inertia scale of the file's links
  Mat3 written = Mat3::Zero();   // as the file writes it
  Mat3 held = Mat3::Zero();      // `written` with its negative eigenvalues set to zero
};

}  // namespace velkor
