// The kinematics entry points' calls in a coupled model's free coordinates:
// each runs its entry point on the full coordinates through in_free_coordinates
// (forward kinematics: poses and twists are the same in both), in a file of
// its own so that the kernels' files compile as they would without a coupling.
#include <array>

#include "robot/coupling.hpp"
#include "robot/kinematics/forward_kinematics.hpp"
#include "robot/kinematics/jacobian.hpp"

namespace velkor::coupled_entry {

std::expected<Pose, Error> forward_kinematics(const Model& model, const Pose& base, Workspace& w,
                                              std::span<const double> q, LinkId target) {
  return in_free_coordinates<1, 0>(model, 0, w, {q}, {}, [&](const auto& v, const auto&) {
    return velkor::forward_kinematics(model, base, v[0], target, w.path);
  });
}

std::expected<void, Error> forward_kinematics_rows(const Model& model, const Pose& base, Workspace& w,
                                                   std::span<const double> q, std::span<double> rows) {
  return in_free_coordinates<1, 0>(model, 0, w, {q}, {}, [&](const auto& v, const auto&) {
    return velkor::forward_kinematics_rows(model, base, v[0], w.frames, rows);
  });
}

std::expected<Twist, Error> forward_velocity_kinematics(const Model& model, const BaseState& base,
                                                        Workspace& w, std::span<const double> q,
                                                        std::span<const double> qd, LinkId target,
                                                        const Pose& tool) {
  return in_free_coordinates<2, 0>(model, 0, w, {q, qd}, {}, [&](const auto& v, const auto&) {
    return velkor::forward_velocity_kinematics(model, base, v[0], v[1], target, tool, w.path);
  });
}

std::expected<Twist, Error> forward_acceleration_kinematics(const Model& model, const BaseState& base,
                                                            Workspace& w, std::span<const double> q,
                                                            std::span<const double> qd,
                                                            std::span<const double> qdd, LinkId target) {
  return in_free_coordinates<3, 0>(model, 0, w, {q, qd, qdd}, {}, [&](const auto& v, const auto&) {
    return velkor::forward_acceleration_kinematics(model, base, v[0], v[1], v[2], target, w.path);
  });
}

std::expected<void, Error> jacobian(const Model& model, const Base& base, Workspace& w,
                                    std::span<const double> q, LinkId target, std::span<double> out) {
  // J = J_full G
  return in_free_coordinates<1, 1>(
      model, base.coordinates(), w, {q}, {{{out, Contraction::Columns, 6, "Jacobian output"}}},
      [&](const auto& v, const auto& o) {
        return velkor::jacobian(model, base, w, v[0], target, o[0], Coordinates::Full);
      });
}

std::expected<void, Error> jacobian_derivative(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<const double> qd,
                                               LinkId target, std::span<double> out) {
  // J̇ = J̇_full G
  return in_free_coordinates<2, 1>(model, base.coordinates(), w, {q, qd},
                                   {{{out, Contraction::Columns, 6, "Jacobian derivative output"}}},
                                   [&](const auto& v, const auto& o) {
                                     return velkor::jacobian_derivative(model, base, w, v[0], v[1],
                                                                        target, o[0], Coordinates::Full);
                                   });
}

}  // namespace velkor::coupled_entry
