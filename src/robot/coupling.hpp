// Moving between a coupled model's free coordinates and its full ones
// (Model::coupling): q_full = G q + b, q̇_full = G q̇, τ = Gᵀ τ_full.
//
// Every vector here may carry `base` leading coordinates that the coupling
// leaves alone (a free base's 6 generalized or 7 configuration values); the
// joint part follows. Matrices are column-major, as the methods return them.
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "error.hpp"
#include "robot/model.hpp"

namespace velkor {

struct Workspace;

// The coordinates a caller sees: the free ones of a coupled model, else every DOF.
inline std::size_t coordinate_count(const Model& model) {
  return model.coupling ? model.coupling->free_count() : model.dof_count();
}

// The joint of coordinate i as callers count coordinates (coordinate_count).
inline const Joint& coordinate_joint(const Model& model, std::size_t i) {
  return model.joints[model.dof_list[model.coupling ? model.coupling->free_dof[i] : i]];
}

// Full positions: base values copied, then q_full[d] = multiplier[d]·q[group[d]] + offset[d].
void expand_positions(const Coupling& coupling, std::size_t base, std::span<const double> free,
                      std::span<double> full);
// Full rates (velocities, accelerations): the same without the offset.
void expand_rates(const Coupling& coupling, std::size_t base, std::span<const double> free,
                  std::span<double> full);
// Full generalized forces that contract to `free`: each free coordinate's force
// on its free joint, none on the mimic joints.
void spread_forces(const Coupling& coupling, std::size_t base, std::span<const double> free,
                   std::span<double> full);
// Generalized forces Gᵀ τ_full.
void contract_forces(const Coupling& coupling, std::size_t base, std::span<const double> full,
                     std::span<double> free);
// Columns X G of a matrix of `rows` rows over the full coordinates (a Jacobian).
void contract_columns(const Coupling& coupling, std::size_t base, std::size_t rows,
                      std::span<const double> full, std::span<double> free);
// Gᵀ X G of a square matrix over the full coordinates (a mass matrix, a
// derivative of generalized forces by positions or rates). `columns`: scratch
// of full-rows × free-columns values.
void contract_square(const Coupling& coupling, std::size_t base, std::span<const double> full,
                     std::span<double> columns, std::span<double> free);

// Sizes the workspace's per-DOF coupled scratch for the model, O(n) (allocates;
// nothing when it fits already; nothing for an uncoupled model). Every core
// entry point that uses the scratch calls it (most through full_coordinates),
// so a workspace holds it only once a coupled call came. What only the forward
// dynamics and its derivatives need is made by their first call.
void reserve_coupled_scratch(const Model& model, Workspace& workspace);

// A coupled model's full positions and rates, as the kernels read them.
struct FullCoordinates {
  std::span<const double> q, qd;
};
// The caller's q and q̇ (a coupled model's free coordinates, base excluded)
// in the full coordinates q_full = G q + b, q̇_full = G q̇, written to the
// workspace's coupled scratch (reserved here). Checks the lengths only, q's
// first (WrongSliceLength naming "q" or "qd"); O(n).
std::expected<FullCoordinates, Error> full_coordinates(const Model& model, Workspace& workspace,
                                                       std::span<const double> q,
                                                       std::span<const double> qd);

}  // namespace velkor
