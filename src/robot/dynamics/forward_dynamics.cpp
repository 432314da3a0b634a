#include "robot/dynamics/forward_dynamics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fault.hpp"
#include "robot/coupling.hpp"
#include "robot/dynamics/articulated.hpp"
#include "robot/dynamics/coupled_dynamics.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/placement.hpp"
#include "spatial_algebra.hpp"

namespace velkor {

using namespace articulated;

namespace {

// Inward pass: articulated_step at each DOF, into the parent's rows (into the
// root's IA0, pA0 only when the base is free); a fixed joint's body (c = 0)
// moves in whole. `o`: the base coordinates before the joints.
std::expected<void, Error> articulated_pass(const Model& model, std::span<const double> forces,
                                            std::size_t o, bool floating, Mat6& IA0, Vec6& pA0,
                                            Workspace& w) {
  for (std::size_t k = model.joint_count(); k-- > 0;) {
    const std::size_t p = model.parent[k];
    const bool propagate = p != 0 || floating;
    Mat6* parent_IA = propagate ? &parent_row(p, IA0, w.fd_inertia) : nullptr;
    Vec6* parent_pA = propagate ? &parent_row(p, pA0, w.fd_bias_force) : nullptr;
    if (const auto dof = model.joint_dof[k]) {
      VELKOR_TRY(articulated_step(k, *dof, model.joint_kinematics[k].kind, forces[*dof + o], parent_IA,
                                  parent_pA, w, *dof));
    } else if (propagate) {
      add_to_parent(w.fd_offset[k], w.fd_inertia[k], *parent_IA);
      *parent_pA += force_to_parent(w.fd_offset[k], w.fd_bias_force[k]);
    }
  }
  return {};
}

// Outward pass: joint_acceleration at each DOF; a fixed joint's body moves
// with its parent, a = a_parent at p_k.
std::expected<void, Error> acceleration_pass(const Model& model, const Vec6& a0, std::size_t o,
                                             Workspace& w, std::span<double> out) {
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    const Vec6& a_p = parent_row(model.parent[k], a0, w.fd_acceleration);
    if (const auto dof = model.joint_dof[k]) {
      const auto qdd = joint_acceleration(k, *dof, model.joint_kinematics[k].kind, a_p, w);
      if (!qdd) return std::unexpected(errors::NumericalFailure{"joint acceleration"});
      out[*dof + o] = *qdd;
    } else {
      w.fd_acceleration[k] = motion_to_child(w.fd_offset[k], a_p);
    }
  }
  return {};
}

// The three passes; returns the root link's load. `composite`: see velocity_pass.
template <bool composite>
std::expected<Vec6, Error> articulated_body(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> forces,
                                            std::span<const IndexedLoad> loads, std::span<double> out) {
  const std::size_t o = base.coordinates();
  const auto root_load = entry_checks(model, q, qd, forces, model.dof_count() + o, loads, out, w);
  if (!root_load) return std::unexpected(root_load.error());

  // The root in root-link axes about its origin: v_0, I^A_0 = I_0,
  // p^A_0 = load + v_0 ×* I_0 v_0.
  const Vec6 v0 = root_velocity(base);
  const Model& bodies = model.moving();
  const Mat6 I0 = spatial_inertia(bodies.link_mass_properties[0]);
  Mat6 IA0 = I0;
  Vec6 pA0 = *root_load + force_cross(v0, I0 * v0);

  velocity_pass<composite>(bodies, q, qd, v0, !loads.empty(), w);
  VELKOR_TRY(articulated_pass(bodies, forces, o, base.floating, IA0, pA0, w));
  std::fill(out.begin(), out.end(), 0.0);
  const auto a0 = base_acceleration(base, forces, v0, IA0, pA0, out);
  if (!a0) return std::unexpected(a0.error());
  VELKOR_TRY(acceleration_pass(bodies, *a0, o, w, out));
  return *root_load;
}

}  // namespace

std::expected<Vec6, Error> forward_dynamics_root_load(const Model& model, const Base& base, Workspace& w,
                                                      std::span<const double> q,
                                                      std::span<const double> qd,
                                                      std::span<const double> forces,
                                                      std::span<const IndexedLoad> loads,
                                                      std::span<double> out) {
  const auto root_load = articulated_body<true>(model, base, w, q, qd, forces, loads, out);
  if (root_load) motion_about_root(model.moving(), w);
  return root_load;
}

std::expected<void, Error> forward_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> forces,
                                            std::span<const IndexedLoad> loads, std::span<double> out) {
  if (model.coupling) {  // q and q̇ free: the kernel reads q_full = G q + b, q̇_full = G q̇
    const auto full = full_coordinates(model, w, q, qd);
    if (!full) return std::unexpected(full.error());
    return coupled_articulated_body(model, base, w, full->q, full->qd, forces, loads, out);
  }
  const auto done = articulated_body<false>(model, base, w, q, qd, forces, loads, out);
  if (!done) return std::unexpected(done.error());
  return {};
}

}  // namespace velkor
