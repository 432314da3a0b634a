// Joint-space inertia matrix by the composite-rigid-body scheme: composite
// inertias (m, h, I_o symmetric: ten numbers) accumulated inward, each about
// its own joint's origin, with each DOF's composite motion wrench F, then F,
// moved to the root origin, projected on the axes of the joints up to the
// root (walked through the parent array). Everything is expressed in root-link
// axes, so each projection is a single 6-vector dot product.
// Row-major N x N, exactly symmetric in every entry that involves a joint DOF.
#pragma once

#include <expected>
#include <span>

#include "base_state.hpp"
#include "error.hpp"
#include "robot/base.hpp"
#include "robot/coupling.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// N = base.coordinates() + n; a floating base's block (angular, linear, world
// axes) comes first.
std::expected<void, Error> mass_matrix(const Model& model, const Base& base, Workspace& workspace,
                                       std::span<const double> q, std::span<double> out,
                                       Coordinates coordinates = Coordinates::Caller);

namespace coupled_entry {
// mass_matrix in a coupled model's free coordinates (the entry point's branch
// for them, coupled_entry_points.cpp): Gᵀ M_full G.
std::expected<void, Error> mass_matrix(const Model& model, const Base& base, Workspace& w,
                                       std::span<const double> q, std::span<double> out);
}  // namespace coupled_entry

}  // namespace velkor
