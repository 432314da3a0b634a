#include "robot/dynamics/forward_dynamics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fault.hpp"
#include "robot/dynamics/articulated.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/placement.hpp"
#include "spatial_algebra.hpp"

namespace velkor {

using namespace articulated;

namespace {

// Inward pass: U = I^A S, D = Sᵀ U, u = τ − Sᵀ p^A; then I^a = I^A − U Uᵀ / D
// and p^a = p^A + I^a c + U u / D add into the parent's (into the root's IA0,
// pA0 only when the base is free). `o`: the base coordinates before the joints.
std::expected<void, Error> articulated_pass(const Model& model, std::span<const double> forces,
                                            std::size_t o, bool floating, Mat6& IA0, Vec6& pA0,
                                            Workspace& w) {
  for (std::size_t k = model.joint_count(); k-- > 0;) {
    const std::size_t p = model.parent[k];
    const bool propagate = p != 0 || floating;
    Mat6& IA = w.fd_inertia[k];
    const Vec6& pA = w.fd_bias_force[k];
    Vec6 pa;
    if (const auto dof = model.joint_dof[k]) {
      const Eigen::Map<Vec6> S = w.motion_axis(*dof);
      const Vec6 U = IA * S;
      const double D = S.dot(U);
      if (!std::isfinite(D))
        return std::unexpected(errors::NumericalFailure{"joint articulated inertia"});
      if (singular(D, IA, S)) return std::unexpected(errors::ForwardDynamicsSingularJointInertia{*dof});
      const double u = forces[*dof + o] - S.dot(pA);
      const double inverse_D = 1.0 / D;
      w.fd_U[k] = U;
      w.fd_D[k] = inverse_D;  // its inverse: the outward pass then multiplies
      w.fd_u[k] = u;
      if (!propagate) continue;
      const Vec6 U_D = U * inverse_D;
      const Vec6& c = w.fd_bias_acceleration[k];
      // I^a c = I^A c − U (Uᵀ c) / D, so I^a itself is never stored: it goes
      // straight into the parent's sum
      parent_row(p, pA0, w.fd_bias_force) += pA + IA * c + U_D * (u - U.dot(c));
      Mat6& parent = parent_row(p, IA0, w.fd_inertia);
      for (int j = 0; j < 6; ++j)
        for (int i = 0; i < 6; ++i) parent(i, j) += IA(i, j) - U_D[i] * U[j];
      continue;
    } else {
      if (!propagate) continue;
      pa = pA + IA * w.fd_bias_acceleration[k];
    }
    parent_row(p, IA0, w.fd_inertia) += IA;
    parent_row(p, pA0, w.fd_bias_force) += pa;
  }
  return {};
}

// Outward pass: a' = a_parent + c; q̈ = (u − Uᵀ a') / D; a = a' + S q̈ (fd_D
// holds 1/D, so no division waits on the one before).
std::expected<void, Error> acceleration_pass(const Model& model, const Vec6& a0, std::size_t o,
                                             Workspace& w, std::span<double> out) {
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    Vec6 a = parent_row(model.parent[k], a0, w.fd_acceleration) + w.fd_bias_acceleration[k];
    if (const auto dof = model.joint_dof[k]) {
      const double qdd = (w.fd_u[k] - w.fd_U[k].dot(a)) * w.fd_D[k];
      if (!std::isfinite(qdd)) return std::unexpected(errors::NumericalFailure{"joint acceleration"});
      out[*dof + o] = qdd;
      a += w.motion_axis(*dof) * qdd;
    }
    w.fd_acceleration[k] = a;
  }
  return {};
}

}  // namespace

std::expected<Vec6, Error> forward_dynamics_root_load(const Model& model, const Base& base, Workspace& w,
                                                      std::span<const double> q,
                                                      std::span<const double> qd,
                                                      std::span<const double> forces,
                                                      std::span<const IndexedLoad> loads,
                                                      std::span<double> out) {
  const std::size_t o = base.coordinates();
  const auto root_load = entry_checks(model, q, qd, forces, model.dof_count() + o, loads, out, w);
  if (!root_load) return std::unexpected(root_load.error());

  // The root in root-link axes: v_0, I^A_0 = I_0, p^A_0 = load + v_0 ×* I_0 v_0.
  const Vec6 v0 = root_velocity(base);
  const Model& bodies = model.moving();
  const Mat6 I0 = spatial_inertia(bodies.link_mass_properties[0]);
  Mat6 IA0 = I0;
  Vec6 pA0 = *root_load + force_cross(v0, I0 * v0);

  velocity_pass(bodies, q, qd, v0, !loads.empty(), w);
  VELKOR_TRY(articulated_pass(bodies, forces, o, base.floating, IA0, pA0, w));
  std::fill(out.begin(), out.end(), 0.0);
  const auto a0 = base_acceleration(base, forces, v0, IA0, pA0, out);
  if (!a0) return std::unexpected(a0.error());
  VELKOR_TRY(acceleration_pass(bodies, *a0, o, w, out));
  return *root_load;
}

std::expected<void, Error> forward_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            std::span<const double> forces,
                                            std::span<const IndexedLoad> loads, std::span<double> out) {
  const auto done = forward_dynamics_root_load(model, base, w, q, qd, forces, loads, out);
  if (!done) return std::unexpected(done.error());
  return {};
}

}  // namespace velkor
