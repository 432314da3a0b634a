#include "robot/coupling.hpp"

#include <algorithm>

#include "fault.hpp"
#include "robot/workspace.hpp"

namespace velkor {

void expand_positions(const Coupling& coupling, std::size_t base, std::span<const double> free,
                      std::span<double> full) {
  std::copy_n(free.begin(), base, full.begin());
  for (std::size_t d = 0, n = coupling.group.size(); d < n; ++d)
    full[base + d] = coupling.multiplier[d] * free[base + coupling.group[d]] + coupling.offset[d];
}

void expand_rates(const Coupling& coupling, std::size_t base, std::span<const double> free,
                  std::span<double> full) {
  std::copy_n(free.begin(), base, full.begin());
  for (std::size_t d = 0, n = coupling.group.size(); d < n; ++d)
    full[base + d] = coupling.multiplier[d] * free[base + coupling.group[d]];
}

void spread_forces(const Coupling& coupling, std::size_t base, std::span<const double> free,
                   std::span<double> full) {
  std::copy_n(free.begin(), base, full.begin());
  std::fill(full.begin() + static_cast<std::ptrdiff_t>(base), full.end(), 0.0);
  for (std::size_t g = 0, f = coupling.free_count(); g < f; ++g)
    full[base + coupling.free_dof[g]] = free[base + g];
}

void contract_forces(const Coupling& coupling, std::size_t base, std::span<const double> full,
                     std::span<double> free) {
  std::copy_n(full.begin(), base, free.begin());
  std::fill(free.begin() + static_cast<std::ptrdiff_t>(base), free.end(), 0.0);
  // τ_g = Σ_{d in g} multiplier_d · τ_full,d
  for (std::size_t d = 0, n = coupling.group.size(); d < n; ++d)
    free[base + coupling.group[d]] += coupling.multiplier[d] * full[base + d];
}

void contract_columns(const Coupling& coupling, std::size_t base, std::size_t rows,
                      std::span<const double> full, std::span<double> free) {
  std::copy_n(full.begin(), base * rows, free.begin());
  std::fill(free.begin() + static_cast<std::ptrdiff_t>(base * rows), free.end(), 0.0);
  // column g of X G = Σ_{d in g} multiplier_d · column d of X
  for (std::size_t d = 0, n = coupling.group.size(); d < n; ++d) {
    const double* from = full.data() + (base + d) * rows;
    double* to = free.data() + (base + coupling.group[d]) * rows;
    const double m = coupling.multiplier[d];
    for (std::size_t r = 0; r < rows; ++r) to[r] += m * from[r];
  }
}

void contract_square(const Coupling& coupling, std::size_t base, std::span<const double> full,
                     std::span<double> columns, std::span<double> free) {
  const std::size_t n_full = base + coupling.group.size(), n_free = base + coupling.free_count();
  contract_columns(coupling, base, n_full, full, columns);  // X G, n_full × n_free
  // rows: Gᵀ (X G); row g = Σ_{d in g} multiplier_d · row d, a base's rows as they are
  std::fill_n(free.begin(), n_free * n_free, 0.0);  // once, not per column
  for (std::size_t c = 0; c < n_free; ++c) {
    const double* from = columns.data() + c * n_full;
    double* to = free.data() + c * n_free;
    std::copy_n(from, base, to);
    for (std::size_t d = 0, n = coupling.group.size(); d < n; ++d)
      to[base + coupling.group[d]] += coupling.multiplier[d] * from[base + d];
  }
}

void grow_coupled_scratch(const Model& model, Workspace& w, std::size_t results) {
  VELKOR_INVARIANT(model.coupling != nullptr, "a coupled model");
  const Coupling* coupling = model.coupling.get();
  CoupledScratch& s = w.coupled;
  if (s.results.size() < results) s.results.resize(results);
  const std::size_t n = model.dof_count(), groups = coupling->free_count() + 1;
  const std::size_t N_free = coupling->free_count() + 6;  // a free base's 6 coordinates at most
  if (s.chain.size() == N_free && s.positions.size() == n) return;  // `chain` is sized last
  s.chain.clear();
  s.open_count.assign(n + 1, 0);
  s.open_block.assign(n + 1, CoupledScratch::no_block);
  s.record_joint.assign(groups, 0);
  s.record_group.assign(groups, 0);
  s.record_V.assign(groups, Vec6::Zero());
  s.record_u.assign(groups, 0.0);
  s.record_D.assign(groups, 0.0);
  s.record_rows.assign(groups, 0);
  s.group_qdd.assign(groups, 0.0);
  s.classical.assign(n, 0);
  s.positions.assign(n, 0.0);
  s.rates.assign(n, 0.0);
  s.accelerations.assign(n, 0.0);
  s.jacobian.assign(6 * coupling->free_count(), 0.0);
  s.chain.resize(N_free);
  for (std::size_t i = 0; i < N_free; ++i) s.chain[i] = static_cast<std::ptrdiff_t>(i) - 1;
}

std::expected<FullCoordinates, Error> full_coordinates(const Model& model, Workspace& w,
                                                       std::span<const double> q,
                                                       std::span<const double> qd) {
  VELKOR_INVARIANT(model.coupling != nullptr, "a coupled model");
  const Coupling& coupling = *model.coupling;
  const std::size_t n = coupling.free_count();
  if (q.size() != n) return std::unexpected(wrong_length("q", n, q.size()));
  if (qd.size() != n) return std::unexpected(wrong_length("qd", n, qd.size()));
  reserve_coupled_scratch(model, w);
  expand_positions(coupling, 0, q, w.coupled.positions);
  expand_rates(coupling, 0, qd, w.coupled.rates);
  return FullCoordinates{w.coupled.positions, w.coupled.rates};
}

Error wrong_free_length(const char* name, std::size_t expected, std::size_t actual) {
  return wrong_length(name, expected, actual);
}

}  // namespace velkor
