#include "robot/dynamics/forward_dynamics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fault.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/placement.hpp"
#include "spatial_algebra.hpp"

namespace velkor {
namespace {

double max_column_sum(const Mat6& M) { return M.cwiseAbs().colwise().sum().maxCoeff(); }

Error base_solve_failure() { return errors::NumericalFailure{"floating-base inertia solve"}; }

// S = L·diag(D)·Lᵀ with L unit lower triangular, without square roots:
// D_j = S_jj − Σ_{k<j} L_jk² D_k, L_ij = (S_ij − Σ_{k<j} L_ik L_jk D_k) / D_j.
// False when a pivot is not positive (S not positive definite in floating point).
bool factor_ldlt(const Mat6& S, Mat6& L, Vec6& D) {
  L.setIdentity();
  for (int j = 0; j < 6; ++j) {
    double d = S(j, j);
    for (int k = 0; k < j; ++k) d -= L(j, k) * L(j, k) * D[k];
    if (!(d > 0.0)) return false;
    D[j] = d;
    const double inverse = 1.0 / d;
    for (int i = j + 1; i < 6; ++i) {
      double sum = S(i, j);
      for (int k = 0; k < j; ++k) sum -= L(i, k) * L(j, k) * D[k];
      L(i, j) = sum * inverse;
    }
  }
  return true;
}

// X = L⁻¹ of a unit lower-triangular L: X_jj = 1, X_ij = −Σ_{j≤k<i} L_ik X_kj.
Mat6 unit_lower_inverse(const Mat6& L) {
  Mat6 X = Mat6::Identity();
  for (int j = 0; j < 6; ++j)
    for (int i = j + 1; i < 6; ++i) {
      double sum = 0.0;
      for (int k = j; k < i; ++k) sum += L(i, k) * X(k, j);
      X(i, j) = -sum;
    }
  return X;
}

}  // namespace

std::expected<Vec6, Error> solve_base_inertia(const Mat6& A, const Vec6& b) {
  if (!A.allFinite() || !b.allFinite()) return std::unexpected(base_solve_failure());
  for (int i = 0; i < 6; ++i)
    if (!(A(i, i) > 0.0)) return std::unexpected(errors::ForwardDynamicsSingularBaseInertia{});
  // S = E A E with E = diag(1/√A_ii): unit diagonal, so the test below is unit-free.
  const Vec6 e = A.diagonal().cwiseSqrt().cwiseInverse();
  Mat6 S;
  for (int j = 0; j < 6; ++j)
    for (int i = 0; i < 6; ++i) S(i, j) = A(i, j) * e[i] * e[j];
  const Vec6 b_scaled = b.cwiseProduct(e);
  if (!S.allFinite()) return std::unexpected(base_solve_failure());

  Mat6 L;
  Vec6 D;
  if (!factor_ldlt(S, L, D)) return std::unexpected(errors::ForwardDynamicsSingularBaseInertia{});
  const Vec6 inverse_D = D.cwiseInverse();
  // Condition: 1 / (‖S⁻¹‖₁ ‖S‖₁) must exceed the threshold. With S⁻¹ = Xᵀ D⁻¹ X,
  // X = L⁻¹: ‖S⁻¹‖₁ ≤ √6 ‖S⁻¹‖₂ ≤ √6 ‖D^(−1/2) X‖_F², so a bound well above the
  // threshold settles it; otherwise the full inverse decides.
  const double norm = max_column_sum(S);
  const Mat6 X = unit_lower_inverse(L);
  double frobenius = 0.0;
  for (int i = 0; i < 6; ++i) frobenius += inverse_D[i] * X.row(i).squaredNorm();
  const double bound = 1.0 / norm / (std::sqrt(6.0) * frobenius);
  if (!(std::isfinite(frobenius) && bound > 4.0 * base_condition_threshold)) {
    const Mat6 inverse = X.transpose() * inverse_D.asDiagonal() * X;
    if (!inverse.allFinite()) return std::unexpected(errors::ForwardDynamicsIllConditionedBaseInertia{});
    if (1.0 / norm / max_column_sum(inverse) <= base_condition_threshold)
      return std::unexpected(errors::ForwardDynamicsIllConditionedBaseInertia{});
  }

  // y = S⁻¹ b: z = X b, then y = Xᵀ (D⁻¹ z)
  const Vec6 y = X.transpose() * (X * b_scaled).cwiseProduct(inverse_D);
  const Vec6 x = y.cwiseProduct(e);
  if (!y.allFinite() || !x.allFinite()) return std::unexpected(base_solve_failure());
  const double s = std::max(y.cwiseAbs().maxCoeff(), b_scaled.cwiseAbs().maxCoeff());
  if (s > 0.0) {
    const double scale = 1.0 / s;
    const Vec6 y_hat = y * scale, b_hat = b_scaled * scale;
    const Vec6 r = S * y_hat - b_hat;
    if (!r.allFinite() ||
        r.cwiseAbs().maxCoeff() >
            base_residual_tolerance * (norm * y_hat.cwiseAbs().maxCoeff() + b_hat.cwiseAbs().maxCoeff()))
      return std::unexpected(base_solve_failure());
  }
  return x;
}

namespace {

// The passes work in root-link coordinates about the root-link origin, so a
// body's articulated inertia moves into its parent's by a plain sum; only each
// body's own inertia and load are moved there, once.

// D = Sᵀ I^A S is summed from terms as large as B = Σ|S_i||I^A_ij||S_j| ≤ (Σ|S_i|√I^A_ii)²
// (I^A is positive semidefinite), so it carries rounding of order ε·B. A D within
// that of zero is zero: a joint whose subtree cannot resist its motion (a point
// mass on a hinge's axis, a massless tip) is singular however far from the root.
double singular_below(const Mat6& IA, const Vec6& S) {
  double root_bound = 0.0;
  for (int i = 0; i < 6; ++i) root_bound += std::abs(S[i]) * std::sqrt(std::max(IA(i, i), 0.0));
  return 32.0 * std::numeric_limits<double>::epsilon() * root_bound * root_bound;
}

// Whether D is that small, deciding by singular_below only when a bound without
// square roots does not: (Σ|S_i|√a_i)² ≤ (Σ|S_i|)(Σ|S_i| a_i) (Cauchy–Schwarz), so a
// D above 32ε times the right side is above singular_below too.
bool singular(double D, const Mat6& IA, const Vec6& S) {
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

// The entry checks of forward dynamics, in their order: q and qd (a DOF each),
// then `coordinates` generalized forces, out of their length, finite forces;
// then the loads, prepared into the workspace (their sum on the root returned).
std::expected<Vec6, Error> entry_checks(const Model& model, std::span<const double> q,
                                        std::span<const double> qd, std::span<const double> forces,
                                        std::size_t coordinates, std::span<const IndexedLoad> loads,
                                        std::span<double> out, Workspace& w) {
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
void velocity_pass(const Model& model, std::span<const double> q, std::span<const double> qd,
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

// The root's spatial acceleration a_0 in root axes, gravity as an upward
// acceleration g_0: a fixed base's is (0, g_0); a free base's solves
// I^A_0 a_0 = f_base − p^A_0, and its classical acceleration in world axes,
// R (a_0 − g_0 + ω_0 × v_0), goes to the front of out.
std::expected<Vec6, Error> base_acceleration(const Base& base, std::span<const double> forces,
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

// ---- coupled DOFs ----

namespace velkor {
namespace {

// One body's open groups in the coupled scratch: slot i of body b.
class OpenGroups {
 public:
  OpenGroups(CoupledScratch& s, std::size_t body) : s_(s), b_(body), cap_(s.capacity) {}

  std::size_t count() const { return s_.open_count[b_]; }
  std::size_t& group(std::size_t i) { return s_.open_group[b_ * cap_ + i]; }
  std::size_t& seen(std::size_t i) { return s_.open_seen[b_ * cap_ + i]; }
  Vec6& V(std::size_t i) { return s_.open_V[b_ * cap_ + i]; }
  double& u(std::size_t i) { return s_.open_u[b_ * cap_ + i]; }
  double& bound(std::size_t i) { return s_.open_bound[b_ * cap_ + i]; }
  double& D(std::size_t i, std::size_t j) { return s_.open_D[b_ * cap_ * cap_ + i * cap_ + j]; }

  // The slot of `group`, opened (V = 0, u = τ, no DOF seen, no coupling) when absent.
  std::size_t slot(std::size_t group_id, double tau) {
    for (std::size_t i = 0; i < count(); ++i)
      if (group(i) == group_id) return i;
    const std::size_t i = s_.open_count[b_]++;
    VELKOR_INVARIANT(i < cap_, "the coupled scratch holds every open group");
    group(i) = group_id;
    seen(i) = 0;
    V(i).setZero();
    u(i) = tau;
    bound(i) = 0.0;
    for (std::size_t j = 0; j <= i; ++j) D(i, j) = D(j, i) = 0.0;
    return i;
  }

  // Removes slot i (the last slot moves into it).
  void remove(std::size_t i) {
    const std::size_t last = count() - 1;
    if (i != last) {
      group(i) = group(last);
      seen(i) = seen(last);
      V(i) = V(last);
      u(i) = u(last);
      bound(i) = bound(last);
      for (std::size_t j = 0; j < last; ++j) D(i, j) = D(last, j), D(j, i) = D(j, last);
      D(i, i) = D(last, last);
    }
    --s_.open_count[b_];
  }

 private:
  CoupledScratch& s_;
  std::size_t b_, cap_;
};

// Eliminates the open groups of `open` whose DOFs are all below, against the
// acceleration of what they hang from: I^A −= V Vᵀ/D, p^A += V u/D, and the
// other open groups by the same Schur complement; each elimination is recorded
// for the outward pass with `joint`.
std::expected<void, Error> eliminate_complete(const Coupling& coupling, OpenGroups& open,
                                              std::size_t joint, Mat6& IA, Vec6& pA, CoupledScratch& s,
                                              std::size_t& records) {
  for (std::size_t i = 0; i < open.count();) {
    if (open.seen(i) != coupling.members[open.group(i)]) {
      ++i;
      continue;
    }
    const double Dxx = open.D(i, i);
    if (!std::isfinite(Dxx))
      return std::unexpected(errors::NumericalFailure{"joint articulated inertia"});
    if (Dxx <= 32.0 * std::numeric_limits<double>::epsilon() * open.bound(i))
      return std::unexpected(errors::ForwardDynamicsSingularJointInertia{open.group(i)});
    const Vec6 V = open.V(i);
    const double u = open.u(i), inverse = 1.0 / Dxx;
    const std::size_t r = records++;
    s.record_joint[r] = joint;
    s.record_group[r] = open.group(i);
    s.record_V[r] = V;
    s.record_u[r] = u;
    s.record_D[r] = Dxx;
    std::size_t rows = 0;
    for (std::size_t j = 0; j < open.count(); ++j) {
      if (j == i) continue;
      s.record_row_group[r * s.capacity + rows] = open.group(j);
      s.record_row_value[r * s.capacity + rows++] = open.D(i, j);
    }
    s.record_rows[r] = rows;
    // the Schur complement of D_xx
    const Vec6 V_D = V * inverse;
    IA.noalias() -= V_D * V.transpose();
    pA += V_D * u;
    for (std::size_t j = 0; j < open.count(); ++j) {
      if (j == i) continue;
      const double Dji = open.D(j, i);
      open.V(j) -= V_D * Dji;
      open.u(j) -= Dji * u * inverse;
      for (std::size_t l = 0; l < open.count(); ++l)
        if (l != i) open.D(j, l) -= Dji * open.D(i, l) * inverse;
    }
    open.remove(i);
  }
  return {};
}

// Adds body b's open groups into its parent's (τ counted once per group).
void merge_open(const std::span<const double> tau, OpenGroups& child, OpenGroups& parent) {
  std::size_t map[64];
  VELKOR_INVARIANT(child.count() <= 64, "open groups fit the merge map");
  for (std::size_t i = 0; i < child.count(); ++i) {
    const std::size_t j = parent.slot(child.group(i), tau[child.group(i)]);
    map[i] = j;
    parent.seen(j) += child.seen(i);
    parent.V(j) += child.V(i);
    parent.u(j) += child.u(i) - tau[child.group(i)];
    parent.bound(j) += child.bound(i);
  }
  for (std::size_t i = 0; i < child.count(); ++i)
    for (std::size_t l = 0; l < child.count(); ++l) parent.D(map[i], map[l]) += child.D(i, l);
}

}  // namespace

void reserve_coupled_scratch(const Model& model, Workspace& w) {
  const Coupling* coupling = model.coupling.get();
  if (coupling == nullptr) return;
  CoupledScratch& s = w.coupled;
  const std::size_t n = model.dof_count(), bodies = n + 1,
                    cap = std::max<std::size_t>(1, coupling->most_open);
  const std::size_t groups = coupling->free_count() + 1;
  if (s.capacity == cap && s.open_count.size() == bodies && s.record_joint.size() >= groups &&
      s.classical.size() == n)
    return;
  s.capacity = cap;
  s.open_count.assign(bodies, 0);
  s.open_group.assign(bodies * cap, 0);
  s.open_seen.assign(bodies * cap, 0);
  s.open_V.assign(bodies * cap, Vec6::Zero());
  s.open_u.assign(bodies * cap, 0.0);
  s.open_bound.assign(bodies * cap, 0.0);
  s.open_D.assign(bodies * cap * cap, 0.0);
  s.record_joint.assign(groups, 0);
  s.record_group.assign(groups, 0);
  s.record_V.assign(groups, Vec6::Zero());
  s.record_u.assign(groups, 0.0);
  s.record_D.assign(groups, 0.0);
  s.record_rows.assign(groups, 0);
  s.record_row_group.assign(groups * cap, 0);
  s.record_row_value.assign(groups * cap, 0.0);
  s.group_qdd.assign(groups, 0.0);
  s.classical.assign(n, 0);
}

std::expected<void, Error> coupled_forward_dynamics(const Model& model, const Base& base, Workspace& w,
                                                    std::span<const double> q_full,
                                                    std::span<const double> qd_full,
                                                    std::span<const double> forces,
                                                    std::span<const IndexedLoad> loads,
                                                    std::span<double> out) {
  VELKOR_INVARIANT(model.coupling != nullptr, "a coupled model");
  const Coupling& coupling = *model.coupling;
  const std::size_t n = model.dof_count(), o = base.coordinates(), G = coupling.free_count();
  const auto root_load = entry_checks(model, q_full, qd_full, forces, G + o, loads, out, w);
  if (!root_load) return std::unexpected(root_load.error());
  reserve_coupled_scratch(model, w);
  CoupledScratch& s = w.coupled;
  std::fill(s.open_count.begin(), s.open_count.end(), 0);
  std::size_t records = 0;
  const std::span<const double> tau = forces.subspan(o);  // per free coordinate

  const Vec6 v0 = root_velocity(base);
  const Model& bodies = model.moving();
  const Mat6 I0 = spatial_inertia(bodies.link_mass_properties[0]);
  Mat6 IA0 = I0;
  Vec6 pA0 = *root_load + force_cross(v0, I0 * v0);
  velocity_pass(bodies, q_full, qd_full, v0, !loads.empty(), w);

  // Inward: DOF k (body k + 1) substitutes a = a_p + c_k + s q̈_x, s = g_k S_k.
  for (std::size_t k = n; k-- > 0;) {
    const std::size_t x = coupling.group[k], p = bodies.parent[k];
    Mat6& IA = w.fd_inertia[k];
    Vec6& pA = w.fd_bias_force[k];
    const Vec6& c = w.fd_bias_acceleration[k];
    OpenGroups open(s, k + 1);
    s.classical[k] = coupling.members[x] == 1 && open.count() == 0;
    if (s.classical[k]) {  // a free DOF with nothing open below: the classical step
      const Eigen::Map<Vec6> S = w.motion_axis(k);
      const Vec6 U = IA * S;
      const double D = S.dot(U);
      if (!std::isfinite(D))
        return std::unexpected(errors::NumericalFailure{"joint articulated inertia"});
      if (singular(D, IA, S)) return std::unexpected(errors::ForwardDynamicsSingularJointInertia{x});
      const double u = tau[x] - S.dot(pA), inverse_D = 1.0 / D;
      w.fd_U[k] = U;
      w.fd_D[k] = inverse_D;
      w.fd_u[k] = u;
      if (p == 0 && !base.floating) continue;
      const Vec6 U_D = U * inverse_D;
      parent_row(p, pA0, w.fd_bias_force) += pA + IA * c + U_D * (u - U.dot(c));
      Mat6& parent = parent_row(p, IA0, w.fd_inertia);
      for (int j = 0; j < 6; ++j)
        for (int i = 0; i < 6; ++i) parent(i, j) += IA(i, j) - U_D[i] * U[j];
      continue;
    }
    const Vec6 S = Vec6(w.motion_axis(k)) * coupling.multiplier[k];
    const std::size_t ix = open.slot(x, tau[x]);
    double sV_x = 0.0;
    for (std::size_t i = 0; i < open.count(); ++i) {
      const double sV = open.V(i).dot(S);
      if (i == ix) sV_x = sV;
      open.u(i) -= open.V(i).dot(c);
      open.D(i, ix) += sV;
      open.D(ix, i) += sV;
    }
    const Vec6 U = IA * S;
    double root_bound = 0.0;
    for (int i = 0; i < 6; ++i) root_bound += std::abs(S[i]) * std::sqrt(std::max(IA(i, i), 0.0));
    open.bound(ix) += root_bound * root_bound + 2.0 * std::abs(sV_x);
    open.V(ix) += U;
    open.D(ix, ix) += S.dot(U);
    open.u(ix) -= S.dot(pA) + U.dot(c);
    ++open.seen(ix);
    pA += IA * c;
    VELKOR_TRY(eliminate_complete(coupling, open, k, IA, pA, s, records));
    if (p != 0 || base.floating) {
      parent_row(p, IA0, w.fd_inertia) += IA;
      parent_row(p, pA0, w.fd_bias_force) += pA;
    }
    OpenGroups parent(s, p);
    merge_open(tau, open, parent);
  }
  OpenGroups at_root(s, 0);
  VELKOR_TRY(eliminate_complete(coupling, at_root, n, IA0, pA0, s, records));
  VELKOR_INVARIANT(at_root.count() == 0, "every group closes by the root");

  std::fill(out.begin(), out.end(), 0.0);
  const auto a0 = base_acceleration(base, forces, v0, IA0, pA0, out);
  if (!a0) return std::unexpected(a0.error());
  // Outward: the groups eliminated at DOF k see a_p, in the reverse order of
  // their elimination; then a_k. The records run from the deepest DOF to the
  // root, so walking them backwards visits the root's first, then DOF 0, 1, ...
  const auto solve = [&](std::size_t at, const Vec6& a_p) -> bool {
    double numerator = s.record_u[at] - s.record_V[at].dot(a_p);
    for (std::size_t e = 0; e < s.record_rows[at]; ++e)
      numerator -= s.record_row_value[at * s.capacity + e] *
                   s.group_qdd[s.record_row_group[at * s.capacity + e]];
    const double qdd = numerator / s.record_D[at];
    s.group_qdd[s.record_group[at]] = qdd;
    return std::isfinite(qdd);
  };
  std::size_t at = records;
  for (; at > 0 && s.record_joint[at - 1] == n; --at)
    if (!solve(at - 1, *a0)) return std::unexpected(errors::NumericalFailure{"joint acceleration"});
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t p = bodies.parent[k];
    const Vec6& a_p = p == 0 ? *a0 : w.fd_acceleration[p - 1];
    if (s.classical[k]) {
      const Vec6 a = a_p + w.fd_bias_acceleration[k];
      const double qdd = (w.fd_u[k] - w.fd_U[k].dot(a)) * w.fd_D[k];
      if (!std::isfinite(qdd)) return std::unexpected(errors::NumericalFailure{"joint acceleration"});
      s.group_qdd[coupling.group[k]] = qdd;
      w.fd_acceleration[k] = a + w.motion_axis(k) * qdd;
      continue;
    }
    for (; at > 0 && s.record_joint[at - 1] == k; --at)
      if (!solve(at - 1, a_p)) return std::unexpected(errors::NumericalFailure{"joint acceleration"});
    w.fd_acceleration[k] = a_p + w.fd_bias_acceleration[k] +
                           Vec6(w.motion_axis(k)) *
                               (coupling.multiplier[k] * s.group_qdd[coupling.group[k]]);
  }
  VELKOR_INVARIANT(at == 0, "every elimination solved");
  for (std::size_t x = 0; x < G; ++x) out[o + x] = s.group_qdd[x];
  return {};
}

}  // namespace velkor
