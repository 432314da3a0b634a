// The steps the articulated-body recursions share (forward dynamics, plain and
// with coupled DOFs): entry checks, the outward velocity pass, moving a body's
// rows into its parent's, the singularity test of an articulated inertia and
// the root's acceleration. Inline, so that each recursion's passes compile as
// one loop nest.
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

// The passes work in root-link axes, each body's rows about its own origin p_k:
// a subtree's articulated inertia and bias force keep the size they have about
// its joint, so that D and u are not left over from moments about a distant
// root, of light links far out, that cancel. A body's rows move into its
// parent's by the offset r_k = p_k − p_parent (fd_offset), a translation:
// motion m = (ω, v) from the parent's origin to p_k is (ω, v + ω × r), force
// f = (n, f) from p_k to the parent's origin is (n + r × f, f).
inline Vec6 motion_to_child(const Vec3& r, const Vec6& m) {
  const Vec3 w = m.head<3>();
  return motion_vector(w, Vec3(m.tail<3>()) + w.cross(r));
}
inline Vec6 force_to_parent(const Vec3& r, const Vec6& f) {
  const Vec3 force = f.tail<3>();
  return wrench_vector(Vec3(f.head<3>()) + r.cross(force), force);
}

// Adds I − V Wᵀ (I symmetric, about p_k; the rank-one V Wᵀ left out by the
// overload without V and W) to J about the parent's origin: I' = Xᵀ I X with
// X = [[E, 0], [−[r], E]] the motion transform to p_k ([r] the cross-product
// matrix of r). M X changes only M's first three columns, M_j − Σ_l [r]_lj M_3+l,
// and I' is symmetric, so with T = I X, I' = Tᵀ X: two passes over columns.
template <bool rank_one>
inline void add_moved(const Vec3& r, const Mat6& I, const Vec6& V, const Vec6& W, Mat6& J) {
  const auto column = [&](int j) -> Vec6 {
    if constexpr (rank_one) return I.col(j) - V * W[j];
    return I.col(j);
  };
  const double x = r.x(), y = r.y(), z = r.z();
  if (x == 0.0 && y == 0.0 && z == 0.0) {  // the same origin
    for (int j = 0; j < 6; ++j) J.col(j) += column(j);
    return;
  }
  Mat6 Ia;
  for (int j = 0; j < 6; ++j) Ia.col(j) = column(j);
  Mat6 T;  // Ia X
  T.col(0) = Ia.col(0) - z * Ia.col(4) + y * Ia.col(5);
  T.col(1) = Ia.col(1) + z * Ia.col(3) - x * Ia.col(5);
  T.col(2) = Ia.col(2) - y * Ia.col(3) + x * Ia.col(4);
  T.rightCols<3>() = Ia.rightCols<3>();
  Mat6 moved = T.transpose();  // Tᵀ X
  moved.col(0) += -z * moved.col(4) + y * moved.col(5);
  moved.col(1) += z * moved.col(3) - x * moved.col(5);
  moved.col(2) += -y * moved.col(3) + x * moved.col(4);
  J += moved;
}
inline void add_to_parent(const Vec3& r, const Mat6& I, const Vec6& V, const Vec6& W, Mat6& J) {
  add_moved<true>(r, I, V, W, J);
}
inline void add_to_parent(const Vec3& r, const Mat6& I, Mat6& J) {
  const Vec6 none = Vec6::Zero();
  add_moved<false>(r, I, none, none, J);
}

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
// D above 32ε times the right side is above singular_below too. S's entries
// outside [first, first + count) are zero.
template <int first = 0, int count = 6>
inline bool singular(double D, const Mat6& IA, const Vec6& S) {
  double sum = 0.0, weighted = 0.0;
  for (int i = first; i < first + count; ++i) {
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
// move into it by the offset r_k (I^a c = I^A c − U (Uᵀ c)/D). A singular D is
// named as coordinate `named`. S = (a, 0) (`half` 0, a revolute joint) or
// (0, a) (`half` 3, prismatic), so U comes from three columns of I^A.
template <int half>
inline std::expected<void, Error> articulated_step(std::size_t k, std::size_t dof, double tau,
                                                   Mat6* parent_IA, Vec6* parent_pA, Workspace& w,
                                                   std::size_t named) {
  const Mat6& IA = w.fd_inertia[k];
  const Vec6& pA = w.fd_bias_force[k];
  const Vec6& S = w.motion_axes[dof];
  const Vec3 a = S.segment<3>(half);
  const Vec6 U = IA.middleCols<3>(half) * a;
  const double D = a.dot(U.segment<3>(half));
  if (!std::isfinite(D)) return std::unexpected(errors::NumericalFailure{"joint articulated inertia"});
  if (singular<half, 3>(D, IA, S))
    return std::unexpected(errors::ForwardDynamicsSingularJointInertia{named});
  const double u = tau - a.dot(pA.segment<3>(half));
  const double inverse_D = 1.0 / D;
  w.fd_U[k] = U;
  w.fd_D[k] = inverse_D;
  w.fd_u[k] = u;
  if (parent_IA == nullptr) return {};
  const Vec6 U_D = U * inverse_D;
  const Vec6& c = w.fd_bias_acceleration[k];
  const Vec3& r = w.fd_offset[k];
  const Vec6 pa = pA + IA * c + U_D * (u - U.dot(c));  // p^a, moved half by half
  parent_pA->head<3>() += Vec3(pa.head<3>()) + r.cross(Vec3(pa.tail<3>()));
  parent_pA->tail<3>() += pa.tail<3>();
  add_to_parent(r, IA, U_D, U, *parent_IA);
  return {};
}
inline std::expected<void, Error> articulated_step(std::size_t k, std::size_t dof, JointKind kind,
                                                   double tau, Mat6* parent_IA, Vec6* parent_pA,
                                                   Workspace& w, std::size_t named) {
  return kind == JointKind::Revolute ? articulated_step<0>(k, dof, tau, parent_IA, parent_pA, w, named)
                                     : articulated_step<3>(k, dof, tau, parent_IA, parent_pA, w, named);
}

// The classical outward step at joint k, DOF `dof`, below a parent moving with
// a_p (about its origin): a' = a_p at p_k + c, q̈ = (u − Uᵀ a')/D, a_k = a' + S q̈
// (into fd_acceleration). Returns q̈; none when it is not finite.
inline std::optional<double> joint_acceleration(std::size_t k, std::size_t dof, JointKind kind,
                                                const Vec6& a_p, Workspace& w) {
  const Vec6& c = w.fd_bias_acceleration[k];
  const Vec6& U = w.fd_U[k];
  const Vec3 alpha = a_p.head<3>();
  Vec3 angular = alpha + Vec3(c.head<3>());
  Vec3 linear = Vec3(a_p.tail<3>()) + alpha.cross(w.fd_offset[k]) + Vec3(c.tail<3>());
  const double qdd = (w.fd_u[k] - Vec3(U.head<3>()).dot(angular) - Vec3(U.tail<3>()).dot(linear)) *
                     w.fd_D[k];
  if (!std::isfinite(qdd)) return std::nullopt;
  const Vec6& S = w.motion_axes[dof];
  if (kind == JointKind::Revolute) angular += S.head<3>() * qdd;  // S = (a, 0)
  else linear += S.tail<3>() * qdd;  // S = (0, a)
  Vec6& a = w.fd_acceleration[k];
  a.head<3>() = angular;
  a.tail<3>() = linear;
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

// Outward pass, each body about its origin p_k: r_k (fd_offset); S_k = (a, 0)
// for a revolute, (0, a) for a prismatic joint, a = R_k·axis; v_k = v_parent at
// p_k + S q̇, c_k = v_k ×m S q̇, I^A_k = I_k, p^A_k = load + v_k ×* I_k v_k.
// `loaded`: whether any body carries a load (else the load rows are all zero).
// `composite`: each body's own inertia also goes to the composite row, about
// the root origin (what forward_dynamics_root_load leaves there).
template <bool composite = false>
inline void velocity_pass(const Model& model, std::span<const double> q, std::span<const double> qd,
                          const Vec6& v0, bool loaded, Workspace& w) {
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    place_body_offset(model, k, model.joint_position(k, q.data()), w);
    const Vec3& r = w.fd_offset[k];
    const Mat3& R = w.rotations[k];
    const Vec6& parent_v = parent_row(model.parent[k], v0, w.fd_velocity);
    Vec3 omega = parent_v.head<3>();
    Vec3 linear = Vec3(parent_v.tail<3>()) + omega.cross(r);
    Vec3 c_angular = Vec3::Zero(), c_linear = Vec3::Zero();
    if (const auto dof = model.joint_dof[k]) {
      const JointKinematics& joint = model.joint_kinematics[k];
      const Vec3 a = R * joint.axis;
      const double rate = qd[*dof];
      Vec6& S = w.motion_axes[*dof];
      if (joint.kind == JointKind::Revolute) {
        S.head<3>() = a;
        S.tail<3>().setZero();
        const Vec3 w_J = a * rate;
        omega += w_J;
        c_angular = omega.cross(w_J);  // c = v ×m S q̇
        c_linear = linear.cross(w_J);
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
    const Rigid body = turned(model.link_mass_properties[Model::child_link(k)], R);
    w.fd_inertia[k] = body.matrix();
    if constexpr (composite) w.composite[k] = moved_to(body, w.frames[k].translation);
    // p^A = v ×* I v, I v = (I_o ω + h × v, m v − h × ω)
    const Vec3 n = body.I * omega + body.h.cross(linear);
    const Vec3 f = body.m * linear - body.h.cross(omega);
    Vec6& pA = w.fd_bias_force[k];
    pA.head<3>() = omega.cross(n) + linear.cross(f);
    pA.tail<3>() = omega.cross(f);
    if (loaded) {  // the load, root axes about p_k: (R_k n, R_k f)
      const Vec6& load = w.loads[k];
      pA.head<3>() += R * load.head<3>();
      pA.tail<3>() += R * load.tail<3>();
    }
  }
}

// The motion rows forward dynamics leaves for later readers, moved from each
// body's origin p_k to the root origin: v_k and a_k (m ↦ (ω, v − ω × p_k)) and
// S_d (a revolute's (a, 0) ↦ (a, a × (0 − p_k)), root_motion_axis).
inline void motion_about_root(const Model& model, Workspace& w) {
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    const Vec3 minus_p = -w.frames[k].translation;
    w.fd_velocity[k] = motion_to_child(minus_p, w.fd_velocity[k]);
    w.fd_acceleration[k] = motion_to_child(minus_p, w.fd_acceleration[k]);
    const auto dof = model.joint_dof[k];
    if (dof && model.joint_kinematics[k].kind == JointKind::Revolute) {
      Vec6& S = w.motion_axes[*dof];
      S.tail<3>() = Vec3(S.head<3>()).cross(minus_p);
    }
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
