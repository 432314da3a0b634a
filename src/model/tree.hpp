// Conversion of URDF links into model links: checks and derived mass properties.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "error.hpp"
#include "model/link.hpp"
#include "urdf/reader.hpp"

namespace velkor {

// How link inertias are judged. With a tolerance of 0 the rule is exact: an
// inertia with any negative eigenvalue is refused. Otherwise one whose most
// negative eigenvalue is no lower than −tolerance × scale is accepted, and its
// negative eigenvalues are set to zero.
struct InertiaAllowance {
  double tolerance = 0.0;
  double scale = 0.0;  // kg·m², see inertia_scale
};

// The largest principal moment among the links' inertias (those with finite
// entries; 0 when none has a positive one): what a defect is measured against.
// Capped at the largest double.
double inertia_scale(std::span<const urdf::Link> links);

// A repaired inertia is appended to `repairs`.
std::expected<Link, Error> robot_link(const urdf::Link& link, const InertiaAllowance& allowance,
                                      std::vector<InertiaRepair>& repairs);

// True when the symmetric matrix has no negative eigenvalue, with no tolerance.
bool is_positive_semidefinite(const Mat3& inertia);

}  // namespace velkor
