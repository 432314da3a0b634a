// The steps the articulated-body recursions share (forward dynamics, plain and
// with coupled DOFs): entry checks, the outward velocity pass, the singularity
// test of an articulated inertia and the root's acceleration. Inline, so that
// each recursion's passes compile as one loop nest.
#pragma once

#include <algorithm>
#include <cmath>
#include <expected>
#include <limits>
#include <optional>
#include <span>

#include "robot/base.hpp"
#include "robot/checks.hpp"
#include "robot/dynamics/base_inertia.hpp"
#include "robot/dynamics/placement.hpp"
#include "robot/loads.hpp"
#include "robot/workspace.hpp"
#include "spatial_algebra.hpp"

namespace velkor::articulated {

// The passes work in root-link coordinates about the root-link origin, so a
// body's articulated inertia moves into its parent's by a plain sum; only each
// body's own inertia and load are moved there, once.

// D = Sᵀ I^A S is summed from terms as large as B = Σ|S_i||I^A_ij||S_j| ≤ (Σ|S_i|√I^A_ii)²
// (I^A is positive semidefinite), so it carries rounding of order ε·B. A D within
// that of zero is zero: a joint whose subtree cannot resist its motion (a point
// mass on a hinge's axis, a massless tip) is singular however far from the root.
inline double axis_reach(const Mat6& IA, const Vec6& S) {  // Σ|S_i|√I^A_ii
  double reach = 0.0;
  for (int i = 0; i < 6; ++i) reach += std::abs(S[i]) * std::sqrt(std::max(IA(i, i), 0.0));
  return reach;
}
inline double singular_below(const Mat6& IA, const Vec6& S) {
  const double reach = axis_reach(IA, S);
  return 32.0 * std::numeric_limits<double>::epsilon() * reach * reach;
}

// Whether D is that small, deciding by singular_below only when a bound without
// square roots does not: (Σ|S_i|√a_i)² ≤ (Σ|S_i|)(Σ|S_i| a_i) (Cauchy–Schwarz), so a
// D above 32ε times the right side is above singular_below too.
inline bool singular(double D, const Mat6& IA, const Vec6& S) {
  double sum = 0.0, weighted = 0.0;
  for (int i = 0; i < 6; ++i) {
    const double s = std::abs(S[i]);
    sum += s;
    weighted += s * std::max(IA(i, i), 0.0);
  }
  // the factor 2 covers the rounding of the bound itself
  if (D > 64.0 * std::numeric_limits<double>::epsilon() * sum * weighted) return false;
  return D <= singular_below(IA, S);
}

// The classical inward step at joint k, DOF `dof`, of
// generalized force τ: U = I^A S, D = Sᵀ U, u = τ − Sᵀ p^A, kept in row k
// (fd_D holds 1/D, so that no division of the outward pass waits on the one
// before). With a parent row, I^a = I^A − U Uᵀ/D and p^a = p^A + I^a c + U u/D
// go into it; I^a c = I^A c − U (Uᵀ c)/D, so I^a itself is never stored. A
// singular D is named as coordinate `named`.
inline std::expected<void, Error> articulated_step(std::size_t k, std::size_t dof, double tau,
                                                   Mat6* parent_IA, Vec6* parent_pA, Workspace& w,
                                                   std::size_t named) {
  const Mat6& IA = w.fd_inertia[k];
  const Vec6& pA = w.fd_bias_force[k];
  const Eigen::Map<Vec6> S = w.motion_axis(dof);
  const Vec6 U = IA * S;
  const double D = S.dot(U);
  if (!std::isfinite(D)) return std::unexpected(errors::NumericalFailure{"joint articulated inertia"});
  if (singular(D, IA, S)) return std::unexpected(errors::ForwardDynamicsSingularJointInertia{named});
  const double u = tau - S.dot(pA);
  const double inverse_D = 1.0 / D;
  w.fd_U[k] = U;
  w.fd_D[k] = inverse_D;
  w.fd_u[k] = u;
  if (parent_IA == nullptr) return {};
  const Vec6 U_D = U * inverse_D;
  const Vec6& c = w.fd_bias_acceleration[k];
  *parent_pA += pA + IA * c + U_D * (u - U.dot(c));
  for (int j = 0; j < 6; ++j)
    for (int i = 0; i < 6; ++i) (*parent_IA)(i, j) += IA(i, j) - U_D[i] * U[j];
  return {};
}

// The classical outward step at joint k, DOF `dof`, below a parent moving with
// a_p: a' = a_p + c, q̈ = (u − Uᵀ a')/D, a_k = a' + S q̈ (into fd_acceleration).
// Returns q̈; none when it is not finite.
inline std::optional<double> joint_acceleration(std::size_t k, std::size_t dof, const Vec6& a_p,
                                                Workspace& w) {
  const Vec6 a = a_p + w.fd_bias_acceleration[k];
  const double qdd = (w.fd_u[k] - w.fd_U[k].dot(a)) * w.fd_D[k];
  if (!std::isfinite(qdd)) return std::nullopt;
  w.fd_acceleration[k] = a + w.motion_axis(dof) * qdd;
  return qdd;
}

// The entry checks of forward dynamics, in their order: q and qd (a DOF each),
// then `coordinates` generalized forces, out of their length, finite forces;
// then the loads, prepared into the workspace (their sum on the root returned).
inline std::expected<Vec6, Error> entry_checks(const Model& model, std::span<const double> q,
                                               std::span<const double> qd,
                                               std::span<const double> forces, std::size_t coordinates,
                                               std::span<const IndexedLoad> loads, std::span<double> out,
                                               Workspace& w) {
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_dof_vector(model, qd, "qd"));
  if (forces.size() != coordinates)
    return std::unexpected(
        wrong_length("forward dynamics generalized forces", coordinates, forces.size()));
  if (out.size() != forces.size())
    return std::unexpected(wrong_length("forward dynamics output", forces.size(), out.size()));
  if (!std::all_of(forces.begin(), forces.end(), [](double v) { return std::isfinite(v); }))
    return std::unexpected(errors::NonFiniteInput{"generalized forces"});
  return prepare_indexed_loads(model, loads, w.loads);
}

// Outward pass: S_k (root_motion_axis); v_k = v_parent + S q̇,
// c_k = v_k ×m S q̇, I^A_k = I_k, p^A_k = load + v_k ×* I_k v_k. I_k also stays
// in the composite row as (m, h, I_o).
// `loaded`: whether any body carries a load (else the load rows are all zero).
inline void velocity_pass(const Model& model, std::span<const double> q, std::span<const double> qd,
                          const Vec6& v0, bool loaded, Workspace& w) {
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    place_body(model, k, model.joint_position(k, q.data()), w);
    const Mat3& R = w.rotations[k];
    const Vec3& origin = w.frames[k].translation;
    const Vec6& parent_v = parent_row(model.parent[k], v0, w.fd_velocity);
    Vec3 omega = parent_v.head<3>(), linear = parent_v.tail<3>();
    Vec3 c_angular = Vec3::Zero(), c_linear = Vec3::Zero();
    if (const auto dof = model.joint_dof[k]) {
      // S = (a, p × a) for a revolute, (0, a) for a prismatic joint, a = R·axis
      const JointKinematics& joint = model.joint_kinematics[k];
      const Vec3 a = R * joint.axis;
      const double rate = qd[*dof];
      Eigen::Map<Vec6> S = w.motion_axis(*dof);
      if (joint.kind == JointKind::Revolute) {
        const Vec3 moment = origin.cross(a);
        S.head<3>() = a;
        S.tail<3>() = moment;
        const Vec3 w_J = a * rate, v_J = moment * rate;
        omega += w_J;
        linear += v_J;
        c_angular = omega.cross(w_J);  // c = v ×m S q̇
        c_linear = omega.cross(v_J) + linear.cross(w_J);
      } else {
        S.head<3>().setZero();
        S.tail<3>() = a;
        const Vec3 v_J = a * rate;
        linear += v_J;
        c_linear = omega.cross(v_J);
      }
    }
    Vec6& v = w.fd_velocity[k];
    v.head<3>() = omega;
    v.tail<3>() = linear;
    Vec6& c = w.fd_bias_acceleration[k];
    c.head<3>() = c_angular;
    c.tail<3>() = c_linear;
    const Rigid& body = w.composite[k] =
        placed(model.link_mass_properties[Model::child_link(k)], R, origin);
    w.fd_inertia[k] = body.matrix();  // the composite row keeps it for the derivatives
    // p^A = v ×* I v, I v = (I_o ω + h × v, m v − h × ω)
    const Vec3 n = body.I * omega + body.h.cross(linear);
    const Vec3 f = body.m * linear - body.h.cross(omega);
    Vec6& pA = w.fd_bias_force[k];
    pA.head<3>() = omega.cross(n) + linear.cross(f);
    pA.tail<3>() = omega.cross(f);
    if (loaded) pA += load_in_root(w, k);
  }
}

// The root's spatial acceleration a_0 in root axes, gravity as an upward
// acceleration g_0: a fixed base's is (0, g_0); a free base's solves
// I^A_0 a_0 = f_base − p^A_0, and its classical acceleration in world axes,
// R (a_0 − g_0 + ω_0 × v_0), goes to the front of out.
inline std::expected<Vec6, Error> base_acceleration(const Base& base, std::span<const double> forces,
                                                    const Vec6& v0, const Mat6& IA0, const Vec6& pA0,
                                                    std::span<double> out) {
  const Quat& R = base.state.frame.rotation;
  const Quat B = R.conjugate();
  const Vec3 g0 = B * Vec3(-base.gravity);
  if (!base.floating) return wrench_vector(Vec3::Zero(), g0);
  const Vec6 b = wrench_vector(B * Vec3(forces[0], forces[1], forces[2]),
                               B * Vec3(forces[3], forces[4], forces[5])) -
                 pA0;
  const Mat6 A = 0.5 * IA0 + 0.5 * IA0.transpose();  // symmetrised
  const auto a0 = solve_base_inertia(A, b);
  if (!a0) return std::unexpected(a0.error());
  const Vec3 angular = R * a0->head<3>();
  const Vec3 linear = R * (a0->tail<3>() - g0 + v0.head<3>().cross(Vec3(v0.tail<3>())));
  if (!angular.allFinite() || !linear.allFinite())
    return std::unexpected(errors::NumericalFailure{"floating-base acceleration"});
  Eigen::Map<Vec3>(out.data()) = angular;
  Eigen::Map<Vec3>(out.data() + 3) = linear;
  return *a0;
}

}  // namespace velkor::articulated
