// Conversion of URDF links into model links: checks and derived mass properties.
#pragma once

#include <expected>

#include "error.hpp"
#include "model/link.hpp"
#include "urdf/reader.hpp"

namespace velkor {

std::expected<Link, Error> robot_link(const urdf::Link& link);

// True when the symmetric matrix has no negative eigenvalue, with no tolerance.
bool is_positive_semidefinite(const Mat3& inertia);

}  // namespace velkor
