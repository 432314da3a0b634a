// The dynamics entry points' calls in a coupled model's free coordinates: each
// runs its entry point in Coordinates::Full through in_free_coordinates. They
// live in a file of their own, so that the kernels' files compile as they would
// without a coupling (GCC inlines less into a kernel once these instances share
// its file).
#include <array>

#include "robot/coupling.hpp"
#include "robot/dynamics/constrained_dynamics.hpp"
#include "robot/dynamics/constraint_rows.hpp"
#include "robot/dynamics/derivatives.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"
#include "robot/dynamics/whole_body.hpp"

namespace velkor::coupled_entry {

std::expected<void, Error> inverse_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> qdd,
                                            std::span<const IndexedLoad> loads, std::span<double> out) {
  // τ = Gᵀ τ_full
  return in_free_coordinates<3, 1>(model, base.coordinates(), w, {q, qd, qdd},
                                   {{{out, Contraction::Forces, 0, "inverse dynamics output"}}},
                                   [&](const auto& v, const auto& o) {
                                     return velkor::inverse_dynamics(model, base, w, v[0], v[1], v[2],
                                                                     loads, o[0], Coordinates::Full);
                                   });
}

std::expected<void, Error> gravity(const Model& model, const Base& base, Workspace& w,
                                   std::span<const double> q, std::span<const IndexedLoad> loads,
                                   std::span<double> out) {
  // g = Gᵀ g_full
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q}, {{{out, Contraction::Forces, 0, "gravity output"}}},
      [&](const auto& v, const auto& o) {
        return velkor::gravity(model, base, w, v[0], loads, o[0], Coordinates::Full);
      });
}

std::expected<void, Error> velocity_product_forces(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<const double> qd,
                                                   std::span<double> out) {
  // c = Gᵀ c_full
  return in_free_coordinates<2, 1>(
      model, base.coordinates(), w, {q, qd},
      {{{out, Contraction::Forces, 0, "velocity product output"}}}, [&](const auto& v, const auto& o) {
        return velkor::velocity_product_forces(model, base, w, v[0], v[1], o[0], Coordinates::Full);
      });
}

std::expected<void, Error> mass_matrix(const Model& model, const Base& base, Workspace& w,
                                       std::span<const double> q, std::span<double> out) {
  // M = Gᵀ M_full G
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q}, {{{out, Contraction::Square, 0, "mass matrix output"}}},
      [&](const auto& v, const auto& o) {
        return velkor::mass_matrix(model, base, w, v[0], o[0], Coordinates::Full);
      });
}

std::expected<void, Error> inverse_dynamics_derivatives(const Model& model, const Base& base,
                                                        Workspace& w, std::span<const double> q,
                                                        std::span<const double> qd,
                                                        std::span<const double> qdd,
                                                        std::span<const IndexedLoad> loads,
                                                        std::span<double> d_q, std::span<double> d_qd) {
  // Gᵀ (∂τ_full/∂q_full) G, the same for q̇
  return in_free_coordinates<3, 2>(model, base.coordinates(), w, {q, qd, qdd},
                                   {{{d_q, Contraction::Square, 0, "position derivative output"},
                                     {d_qd, Contraction::Square, 0, "velocity derivative output"}}},
                                   [&](const auto& v, const auto& o) {
                                     return velkor::inverse_dynamics_derivatives(
                                         model, base, w, v[0], v[1], v[2], loads, o[0], o[1],
                                         Coordinates::Full);
                                   });
}

std::expected<void, Error> gravity_derivatives(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<double> d_q) {
  // Gᵀ (∂g_full/∂q_full) G
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q}, {{{d_q, Contraction::Square, 0, "gravity derivative output"}}},
      [&](const auto& v, const auto& o) {
        return velkor::gravity_derivatives(model, base, w, v[0], o[0], Coordinates::Full);
      });
}

std::expected<void, Error> constraint_jacobian(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, const ConstraintSet& set,
                                               std::span<double> out) {
  // J = J_full G
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q},
      {{{out, Contraction::Columns, set.count(), "constraint Jacobian output"}}},
      [&](const auto& v, const auto& o) {
        return velkor::constraint_jacobian(model, base, w, v[0], set, o[0], Coordinates::Full);
      });
}

std::expected<void, Error> constraint_acceleration_bias(const Model& model, const Base& base,
                                                        Workspace& w, std::span<const double> q,
                                                        std::span<const double> qd,
                                                        const ConstraintSet& set,
                                                        std::span<double> out) {
  // J̇ q̇ = J̇_full q̇_full: rows, the same in both coordinates
  return in_free_coordinates<2, 1>(model, base.coordinates(), w, {q, qd}, {{{out}}},
                                   [&](const auto& v, const auto& o) {
                                     return velkor::constraint_acceleration_bias(
                                         model, base, w, v[0], v[1], set, o[0], Coordinates::Full);
                                   });
}

std::expected<void, Error> constraint_poses(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, const ConstraintSet& set,
                                            std::span<double> out) {
  // the sides' world poses: the same in both coordinates
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q}, {{{out}}}, [&](const auto& v, const auto& o) {
        return velkor::constraint_poses(model, base, w, v[0], set, o[0], Coordinates::Full);
      });
}

// The whole-body quantities: points, twists, momenta and energies are the same
// in both coordinates; the two matrices are columns A G.

std::expected<void, Error> center_of_mass(const Model& model, const Base& base, Workspace& w,
                                          std::span<const double> q, std::span<double> out) {
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q}, {{{out}}}, [&](const auto& v, const auto& o) {
        return velkor::center_of_mass(model, base, w, v[0], o[0], Coordinates::Full);
      });
}

std::expected<void, Error> center_of_mass_velocity(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<const double> qd,
                                                   std::span<double> out) {
  return in_free_coordinates<2, 1>(
      model, base.coordinates(), w, {q, qd}, {{{out}}}, [&](const auto& v, const auto& o) {
        return velkor::center_of_mass_velocity(model, base, w, v[0], v[1], o[0], Coordinates::Full);
      });
}

std::expected<void, Error> centroidal_momentum(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<const double> qd,
                                               std::span<double> out) {
  return in_free_coordinates<2, 1>(
      model, base.coordinates(), w, {q, qd}, {{{out}}}, [&](const auto& v, const auto& o) {
        return velkor::centroidal_momentum(model, base, w, v[0], v[1], o[0], Coordinates::Full);
      });
}

std::expected<void, Error> kinetic_energy(const Model& model, const Base& base, Workspace& w,
                                          std::span<const double> q, std::span<const double> qd,
                                          std::span<double> out) {
  return in_free_coordinates<2, 1>(
      model, base.coordinates(), w, {q, qd}, {{{out}}}, [&](const auto& v, const auto& o) {
        return velkor::kinetic_energy(model, base, w, v[0], v[1], o[0], Coordinates::Full);
      });
}

std::expected<void, Error> potential_energy(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<double> out) {
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q}, {{{out}}}, [&](const auto& v, const auto& o) {
        return velkor::potential_energy(model, base, w, v[0], o[0], Coordinates::Full);
      });
}

std::expected<void, Error> center_of_mass_jacobian(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<double> out) {
  // J_c G
  return in_free_coordinates<1, 1>(model, base.coordinates(), w, {q},
                                   {{{out, Contraction::Columns, 3, "centre of mass Jacobian output"}}},
                                   [&](const auto& v, const auto& o) {
                                     return velkor::center_of_mass_jacobian(model, base, w, v[0], o[0],
                                                                            Coordinates::Full);
                                   });
}

std::expected<void, Error> centroidal_momentum_matrix(const Model& model, const Base& base, Workspace& w,
                                                      std::span<const double> q, std::span<double> out) {
  // A_G G
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q},
      {{{out, Contraction::Columns, 6, "centroidal momentum matrix output"}}},
      [&](const auto& v, const auto& o) {
        return velkor::centroidal_momentum_matrix(model, base, w, v[0], o[0], Coordinates::Full);
      });
}

}  // namespace velkor::coupled_entry
