// Moving between a coupled model's free coordinates and its full ones
// (Model::coupling): q_full = G q + b, q̇_full = G q̇, τ = Gᵀ τ_full.
//
// Every vector here may carry `base` leading coordinates that the coupling
// leaves alone (a free base's 6 generalized or 7 configuration values); the
// joint part follows. Matrices are column-major, as the methods return them.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <span>

#include "error.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

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

// Sizes the workspace's per-DOF coupled scratch for the model, O(n), and its
// full results to at least `results` values (allocates; nothing when it fits
// already; nothing for an uncoupled model). Every core entry point that uses
// the scratch calls it (most through full_coordinates or in_free_coordinates),
// so a workspace holds it only once a coupled call came, and the results only
// as many as the largest call's. What only the forward dynamics and its
// derivatives need is made by their first call. The check that it fits is
// inline; grow_coupled_scratch does the sizing.
void grow_coupled_scratch(const Model& model, Workspace& workspace, std::size_t results);
inline void reserve_coupled_scratch(const Model& model, Workspace& workspace, std::size_t results = 0) {
  const Coupling* coupling = model.coupling.get();
  if (coupling == nullptr) return;
  const CoupledScratch& s = workspace.coupled;
  // `chain` is sized last: a free base's 6 coordinates at most beside the free ones
  if (s.results.size() >= results && s.chain.size() == coupling->free_count() + 6 &&
      s.positions.size() == model.dof_count())
    return;
  grow_coupled_scratch(model, workspace, results);
}

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

// ---- an entry point's call in a coupled model's free coordinates ----

// The coordinates an entry point's joint vectors and results are in: the
// caller's (a coupled model's free ones, else every DOF), or every DOF of the
// model for callers that expand a coupled model's coordinates themselves
// (Full; the same as Caller for an uncoupled model).
enum class Coordinates { Caller, Full };

// How a result over the full coordinates becomes the caller's: as it is
// (points, poses, twists, constraint rows), generalized forces Gᵀ τ, columns
// X G of `rows` rows (a Jacobian), or a square Gᵀ X G (a mass matrix, a
// derivative of forces by positions or rates).
enum class Contraction { None, Forces, Columns, Square };

// One result of an entry point: the caller's `out` (free coordinates), how it
// contracts, the rows of a Columns one; `name` names it when its length is wrong.
struct FreeResult {
  std::span<double> out;
  Contraction contraction = Contraction::None;
  std::size_t rows = 0;
  const char* name = "out";
};

// Values of a result over `columns` coordinates (0: not contracted).
inline std::size_t result_size(const FreeResult& r, std::size_t columns) {
  switch (r.contraction) {
    case Contraction::Forces: return columns;
    case Contraction::Columns: return r.rows * columns;
    case Contraction::Square: return columns * columns;
    case Contraction::None: return 0;
  }
  return 0;
}

// WrongSliceLength for a joint vector or result of a coupled call (wrong_length,
// kept out of line so that the entry points' coupled branches stay small).
[[gnu::cold]] Error wrong_free_length(const char* name, std::size_t expected, std::size_t actual);

// A coupled model's entry point, called from its branch: `compute(full vectors,
// full outs)` runs the entry point in Coordinates::Full on the caller's joint
// vectors (positions q, then rates q̇, q̈) expanded into the workspace's
// coupled scratch, q_full = G q + b, rates G q̇, writing outs over the full
// coordinates, which are then contracted into the caller's by kind (Gᵀ τ, X G, Gᵀ X G).
// Each vector has the free count or is WrongSliceLength naming "q", "qd",
// "qdd" (checked in that order, then the results' outs). Returns what compute
// returns (a pose or twist is the same in both coordinates). Nothing is written
// to a contracted out when a check fails. O(n) besides compute and a square's
// contraction. Instantiated only in the rooms' coupled_entry_points.cpp (the
// entry points' coupled branches, namespace coupled_entry), so that the kernels'
// files compile as they would without it.
template <std::size_t V, std::size_t K, class Compute>
auto in_free_coordinates(const Model& model, std::size_t base, Workspace& w,
                         const std::array<std::span<const double>, V>& vectors,
                         const std::array<FreeResult, K>& results, Compute&& compute)
    -> decltype(compute(std::array<std::span<const double>, V>{}, std::array<std::span<double>, K>{})) {
  static_assert(V >= 1 && V <= 3, "q, then q̇ and q̈");
  using Result =
      decltype(compute(std::array<std::span<const double>, V>{}, std::array<std::span<double>, K>{}));
  static constexpr std::array<const char*, 3> names{"q", "qd", "qdd"};
  const Coupling& coupling = *model.coupling;
  const std::size_t n = coupling.free_count();
  for (std::size_t i = 0; i < V; ++i)
    if (vectors[i].size() != n)
      return Result(std::unexpected(wrong_free_length(names[i], n, vectors[i].size())));
  // each contracted out of its free length (`base` leading coordinates of a free
  // base); the full results, then contract_square's scratch, in the coupled results
  const std::size_t N = base + model.dof_count(), N_free = base + n;
  std::size_t room = 0, columns = 0;
  for (const FreeResult& r : results) {
    const std::size_t free = result_size(r, N_free);
    if (r.contraction != Contraction::None && r.out.size() != free)
      return Result(std::unexpected(wrong_free_length(r.name, free, r.out.size())));
    room += result_size(r, N);
    if (r.contraction == Contraction::Square) columns = N * N_free;
  }
  reserve_coupled_scratch(model, w, room + columns);
  CoupledScratch& s = w.coupled;
  // in one pass (expand_positions, expand_rates): q_full[d] = multiplier[d]·q[group[d]] + offset[d],
  // q̇_full[d] = multiplier[d]·q̇[group[d]], q̈_full likewise
  for (std::size_t d = 0, n_full = coupling.group.size(); d < n_full; ++d) {
    const std::size_t g = coupling.group[d];
    const double m = coupling.multiplier[d];
    s.positions[d] = m * vectors[0][g] + coupling.offset[d];
    if constexpr (V > 1) s.rates[d] = m * vectors[1][g];
    if constexpr (V > 2) s.accelerations[d] = m * vectors[2][g];
  }
  std::array<std::span<const double>, V> full;
  full[0] = s.positions;
  if constexpr (V > 1) full[1] = s.rates;
  if constexpr (V > 2) full[2] = s.accelerations;
  std::array<std::span<double>, K> outs;
  for (std::size_t i = 0, next = 0; i < K; ++i) {
    if (results[i].contraction == Contraction::None) {
      outs[i] = results[i].out;  // the same in both coordinates: written in place
      continue;
    }
    outs[i] = std::span(s.results).subspan(next, result_size(results[i], N));
    next += outs[i].size();
  }
  auto result = compute(full, outs);
  if (!result) return result;
  for (std::size_t i = 0; i < K; ++i) {
    const FreeResult& r = results[i];
    switch (r.contraction) {
      case Contraction::Forces: contract_forces(coupling, base, outs[i], r.out); break;
      case Contraction::Columns: contract_columns(coupling, base, r.rows, outs[i], r.out); break;
      case Contraction::Square:
        contract_square(coupling, base, outs[i], std::span(s.results).subspan(room, columns), r.out);
        break;
      case Contraction::None: break;
    }
  }
  return result;
}

}  // namespace velkor
