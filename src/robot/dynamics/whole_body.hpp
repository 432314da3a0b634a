// Whole-body quantities: the centre of mass, its velocity and Jacobian, the
// centroidal momentum and its matrix, kinetic and potential energy. Results in
// world axes; six-vectors angular first; matrices column-major with the
// generalized coordinates of the base (a FloatingRobot's 6, angular first)
// before the joints, as the Jacobian's.
#pragma once

#include <expected>
#include <span>

#include "error.hpp"
#include "robot/base.hpp"
#include "robot/coupling.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"

namespace velkor {

// out: the centre of mass (3, metres, world).
std::expected<void, Error> center_of_mass(const Model& model, const Base& base, Workspace& w,
                                          std::span<const double> q, std::span<double> out,
                                          Coordinates coordinates = Coordinates::Caller);
// out: its velocity (3, m/s, world).
std::expected<void, Error> center_of_mass_velocity(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<const double> qd,
                                                   std::span<double> out,
                                                   Coordinates coordinates = Coordinates::Caller);
// out: 3 x N, column-major: d c / d v for the generalized velocities v.
std::expected<void, Error> center_of_mass_jacobian(const Model& model, const Base& base, Workspace& w,
                                                   std::span<const double> q, std::span<double> out,
                                                   Coordinates coordinates = Coordinates::Caller);
// out: (k_G, l), 6: angular momentum about the centre of mass, then linear momentum.
std::expected<void, Error> centroidal_momentum(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<const double> qd,
                                               std::span<double> out,
                                               Coordinates coordinates = Coordinates::Caller);
// out: 6 x N, column-major: (k_G, l) = A_G v.
std::expected<void, Error> centroidal_momentum_matrix(const Model& model, const Base& base, Workspace& w,
                                                      std::span<const double> q, std::span<double> out,
                                                      Coordinates coordinates = Coordinates::Caller);
// out[0]: ½ vᵀ M v (J), the base moving with its twist.
std::expected<void, Error> kinetic_energy(const Model& model, const Base& base, Workspace& w,
                                          std::span<const double> q, std::span<const double> qd,
                                          std::span<double> out,
                                          Coordinates coordinates = Coordinates::Caller);
// out[0]: −Σ m gᵀ c (J), world origin as reference, the handle's gravity.
std::expected<void, Error> potential_energy(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<double> out,
                                            Coordinates coordinates = Coordinates::Caller);

namespace coupled_entry {
// The seven above in a coupled model's free coordinates (the entry points'
// branch for them, coupled_entry_points.cpp): the matrices' columns A G, the
// rest as they are.
using PositionQuantity = std::expected<void, Error>(const Model& model, const Base& base, Workspace& w,
                                                    std::span<const double> q, std::span<double> out);
using MotionQuantity = std::expected<void, Error>(const Model& model, const Base& base, Workspace& w,
                                                  std::span<const double> q, std::span<const double> qd,
                                                  std::span<double> out);
PositionQuantity center_of_mass, center_of_mass_jacobian, centroidal_momentum_matrix, potential_energy;
MotionQuantity center_of_mass_velocity, centroidal_momentum, kinetic_energy;
}  // namespace coupled_entry

}  // namespace velkor
