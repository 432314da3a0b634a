#include "robot/dynamics/derivatives.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "robot/checks.hpp"
#include "robot/dynamics/forward_dynamics.hpp"
#include "robot/dynamics/placement.hpp"
#include "robot/dynamics/spatial_operators.hpp"

namespace velkor {
namespace {

// The recursions work in root-link coordinates about the root-link origin, as
// forward dynamics does; base rows turn to world axes when they are written.
//
// With the bodies placed, body k's force is f_k = I_k a_k + v_k ×* I_k v_k + L_k
// (a_k with gravity as an upward acceleration of the root, L_k its load), and
// τ_d = S_dᵀ F_d with F_d = Σ f_k over the subtree of DOF d. Moving q_j carries
// the subtree of j rigidly along S_j; only the motion of j's parent body p
// (v_p, a_p) stays behind. Hence, with Ψ_j = v_p × S_j, A_j = a_p × S_j + v_p × Ψ_j,
// and B_k u = v_k ×* I_k u + I_k (u × v_k) + u ×* I_k v_k summed over subtrees as
// I^c, B^c:
//   ∂τ_d/∂q_j  = P_d·A_j + Q_d·Ψ_j        j above d or d itself (P = I^c S, Q = B^cᵀ S)
//   ∂τ_j/∂q_d  = S_j·G_d                  j above d (G = S ×* F + I^c A + B^c Ψ)
//   ∂τ_d/∂q̇_j = P_d·2Ψ_j + Q_d·S_j       j above d or d itself
//   ∂τ_j/∂q̇_d = S_j·H_d                  j above d (H = I^c 2Ψ + B^c S)
// and every other entry is zero. M(d, j) = S_j·P_d comes along.

// [v×]: [v×] u = v ×m u.
Mat6 motion_cross_matrix(const Vec6& v) {
  const Mat3 w = skew(v.head<3>()), l = skew(v.tail<3>());
  Mat6 X;
  X << w, Mat3::Zero(), l, w;
  return X;
}

// B = [v×*] I − I [v×] + [I v]^: the inertia's rate in fixed axes, plus
// u ↦ u ×* (I v), with [v×*] = −[v×]ᵀ.
Mat6 inertia_rate(const Mat6& I, const Vec6& v) {
  const Mat6 X = motion_cross_matrix(v);
  const Vec6 h = I * v;
  Mat6 B;
  B.noalias() = -X.transpose() * I;
  B.noalias() -= I * X;
  const Mat3 hn = skew(h.head<3>()), hf = skew(h.tail<3>());
  B.topLeftCorner<3, 3>() -= hn;  // u ×* h = (−[h_n]× u_ω − [h_f]× u_v, −[h_f]× u_ω)
  B.topRightCorner<3, 3>() -= hf;
  B.bottomLeftCorner<3, 3>() -= hf;
  return B;
}

// Per-DOF rows of the recursion: S_d (the motion axis), Ψ_d and A_d.
Eigen::Map<Vec6> axis(Workspace& w, std::size_t d) { return w.motion_axis(d); }
Eigen::Map<Vec6> psi(Workspace& w, std::size_t d) { return Eigen::Map<Vec6>(w.jacobian_derivative.data() + 6 * d); }
Vec6& position_column(Workspace& w, std::size_t d) { return w.fd_U[d]; }

// The matrices a recursion writes (an empty span is skipped), N x N column-major,
// the joints after `o` base coordinates.
struct Outputs {
  std::span<double> q, qd, mass;
  std::size_t N, o;
};

void put(std::span<double> m, std::size_t N, std::size_t r, std::size_t c, double value) {
  m[c * N + r] = value;
}

// A root-coordinate six-vector as base rows 0..5 of column c, world axes.
void put_base_rows(std::span<double> m, std::size_t N, std::size_t c, const Quat& R, const Vec6& x) {
  Eigen::Map<Vec3>(m.data() + c * N) = R * x.head<3>();
  Eigen::Map<Vec3>(m.data() + c * N + 3) = R * x.tail<3>();
}

// A free base's columns in root coordinates: S_i, the world axes about the root
// origin (rotations, then translations); Ψ_i and A_i for the rotations of the
// pose (its translations change nothing); U_i for the twist, the counterpart of
// 2Ψ_j: ∂a_0/∂ν_i + v_0 × S_i, a_0 = a_classical − ω × v shifting with ν.
struct BaseColumns {
  std::array<Vec6, 6> S, U;
  std::array<Vec6, 3> Psi, A;

  BaseColumns(const Quat& B, const Vec6& v0, const Vec6& a0) {
    const Vec3 omega = v0.head<3>(), v = v0.tail<3>();
    for (int i = 0; i < 3; ++i) {
      const Vec3 e = B * Vec3::Unit(i);
      S[i] = wrench_vector(e, Vec3::Zero());
      S[i + 3] = wrench_vector(Vec3::Zero(), e);
      Psi[i] = motion_cross(v0, S[i]);
      A[i] = motion_cross(a0, S[i]) + motion_cross(v0, Psi[i]);
      U[i] = wrench_vector(Vec3::Zero(), -e.cross(v)) + Psi[i];                          // ∂(−ω × v)/∂ω_i
      U[i + 3] = wrench_vector(Vec3::Zero(), -omega.cross(e)) + motion_cross(v0, S[i + 3]);  // ∂(−ω × v)/∂v_i
    }
  }
};

// One outward and one inward pass over the moving bodies at (q, q̇, q̈), the
// base's motion and gravity from `base`. `Moving` false: at rest, no loads
// (gravity alone), only ∂τ/∂q.
template <bool Moving>
void recursion(const Model& model, const Base& base, std::span<const double> q, std::span<const double> qd,
               std::span<const double> qdd, const Vec6& root_load, Workspace& w, const Outputs& out) {
  const std::size_t J = model.joint_count(), N = out.N, o = out.o;
  const Quat& R = base.state.frame.rotation;
  const Quat B = R.conjugate();
  // The root's motion: v_0; a_0 = (Bα, B a + g_0 − ω_0 × v_0) with g_0 the upward gravity.
  const Vec6 v0 = Moving ? root_velocity(base) : Vec6::Zero();
  const Vec3 g0 = B * Vec3(-base.gravity);
  const Vec6 a0 = Moving ? wrench_vector(B * base.state.acceleration.angular,
                                         B * base.state.acceleration.linear + g0 -
                                             v0.head<3>().cross(Vec3(v0.tail<3>())))
                         : wrench_vector(Vec3::Zero(), g0);

  // Outward pass: S, Ψ = v_p × S, A = a_p × S + v_p × Ψ; v = v_p + S q̇,
  // a = a_p + S q̈ + v × S q̇; I_k; f_k = I a + v ×* I v + L; B_k.
  for (std::size_t k = 0; k < J; ++k) {
    const std::size_t p = model.parent[k];
    place_body(model, k, model.joint_position(k, q.data()), w);
    const Mat3& Rk = w.rotations[k];
    const Vec3& origin = w.frames[k].translation;
    Vec6 v = parent_row(p, v0, w.fd_velocity);
    Vec6 a = parent_row(p, a0, w.fd_acceleration);
    if (const auto dof = model.joint_dof[k]) {
      const Vec6 S = root_motion_axis(model, k, w);
      axis(w, *dof) = S;
      if constexpr (Moving) {
        const Vec6 Psi = motion_cross(v, S);
        psi(w, *dof) = Psi;
        position_column(w, *dof) = motion_cross(a, S) + motion_cross(v, Psi);
        const Vec6 vJ = S * qd[*dof];
        v += vJ;
        a += S * qdd[*dof] + motion_cross(v, vJ);
      } else {
        position_column(w, *dof) = motion_cross(a, S);
      }
    }
    const Mat6 I = inertia_in_root(model.link_mass_properties[Model::child_link(k)], Rk, origin);
    Vec6 f = I * a;
    if constexpr (Moving) {
      const Vec6& load = w.loads[k];  // its axes, about its origin: f' = R f, n' = R n + p × f'
      const Vec3 lf = Rk * load.tail<3>();
      f += force_cross(v, I * v) + wrench_vector(Rk * load.head<3>() + origin.cross(lf), lf);
      w.inertia_rate[k] = inertia_rate(I, v);
      w.fd_velocity[k] = v;
    }
    w.fd_inertia[k] = I;
    w.fd_acceleration[k] = a;
    w.fd_bias_force[k] = f;
  }

  const bool floating = base.floating;
  const Mat6 I0 = spatial_inertia(model.link_mass_properties[0]);
  Mat6 Ic0 = I0;
  Mat6 Bc0 = Moving ? inertia_rate(I0, v0) : Mat6::Zero();
  Vec6 F0 = I0 * a0;
  if constexpr (Moving) F0 += force_cross(v0, I0 * v0) + root_load;
  const BaseColumns base_columns(B, v0, a0);

  // Inward pass: at DOF d its subtree is complete; write its entries with
  // every DOF above it, then add I^c, B^c and F into the parent.
  for (std::size_t k = J; k-- > 0;) {
    const std::size_t p = model.parent[k];
    const Mat6& Ic = w.fd_inertia[k];
    const Mat6& Bc = w.inertia_rate[k];
    const Vec6& F = w.fd_bias_force[k];
    if (const auto dof = model.joint_dof[k]) {
      const std::size_t d = *dof, row = o + d;
      const Vec6 S = axis(w, d);
      const Vec6 P = Ic * S;
      Vec6 G = force_cross(S, F) + Ic * position_column(w, d);
      Vec6 Q = Vec6::Zero(), H = Vec6::Zero();
      if constexpr (Moving) {
        G.noalias() += Bc * psi(w, d);
        Q.noalias() = Bc.transpose() * S;
        H.noalias() = Ic * (2.0 * psi(w, d));
        H.noalias() += Bc * S;
      }
      for (std::optional<std::size_t> e = d; e; e = model.dof_parent[*e]) {
        const std::size_t col = o + *e;
        const Vec6 S_e = axis(w, *e);
        double value = P.dot(position_column(w, *e));
        if constexpr (Moving) value += Q.dot(psi(w, *e));
        put(out.q, N, row, col, value);
        if (*e != d) put(out.q, N, col, row, S_e.dot(G));
        if constexpr (Moving) {
          put(out.qd, N, row, col, 2.0 * P.dot(psi(w, *e)) + Q.dot(S_e));
          if (*e != d) put(out.qd, N, col, row, S_e.dot(H));
          if (!out.mass.empty()) {
            const double m = S_e.dot(P);
            put(out.mass, N, row, col, m);
            put(out.mass, N, col, row, m);
          }
        }
      }
      if (floating) {  // the base is above every DOF
        for (std::size_t i = 0; i < 3; ++i)
          put(out.q, N, row, i, P.dot(base_columns.A[i]) + Q.dot(base_columns.Psi[i]));
        put_base_rows(out.q, N, row, R, G);
        if constexpr (Moving) {
          for (std::size_t i = 0; i < 6; ++i)
            put(out.qd, N, row, i, P.dot(base_columns.U[i]) + Q.dot(base_columns.S[i]));
          put_base_rows(out.qd, N, row, R, H);
          if (!out.mass.empty()) {
            put_base_rows(out.mass, N, row, R, P);
            for (std::size_t i = 0; i < 6; ++i) put(out.mass, N, row, i, out.mass[row * N + i]);
          }
        }
      }
    }
    if (p == 0 && !floating) continue;
    parent_row(p, Ic0, w.fd_inertia) += Ic;
    if constexpr (Moving) parent_row(p, Bc0, w.inertia_rate) += Bc;
    parent_row(p, F0, w.fd_bias_force) += F;
  }
  if (!floating) return;

  // The base block: rows of F_0 = the whole robot's force, the base not moving along.
  for (std::size_t i = 0; i < 3; ++i) {
    Vec6 G = force_cross(base_columns.S[i], F0) + Ic0 * base_columns.A[i];
    if constexpr (Moving) G += Bc0 * base_columns.Psi[i];
    put_base_rows(out.q, N, i, R, G);
  }
  if constexpr (Moving) {
    for (std::size_t i = 0; i < 6; ++i) {
      put_base_rows(out.qd, N, i, R, Ic0 * base_columns.U[i] + Bc0 * base_columns.S[i]);
      if (!out.mass.empty()) put_base_rows(out.mass, N, i, R, Ic0 * base_columns.S[i]);
    }
  }
}

// The nearest generalized coordinate above coordinate i, −1 at the top: a free
// base's six form a chain in front of the joints.
std::ptrdiff_t above(const Model& model, std::size_t o, std::size_t i) {
  if (i < o) return static_cast<std::ptrdiff_t>(i) - 1;
  const auto& p = model.dof_parent[i - o];
  return p ? static_cast<std::ptrdiff_t>(o + *p) : static_cast<std::ptrdiff_t>(o) - 1;
}

// M = Lᵀ D L in place, L unit lower triangular with L(k, i) ≠ 0 only for i above
// k, so the factor keeps M's sparsity: for k from the last coordinate up,
// a = M(k, i) / M(k, k) and M(i, j) −= a M(k, j) for every i, j above k.
std::expected<void, Error> factor(const Model& model, std::size_t o, std::size_t N, std::span<double> M) {
  auto at = [&](std::size_t r, std::ptrdiff_t c) -> double& { return M[static_cast<std::size_t>(c) * N + r]; };
  for (std::size_t k = N; k-- > 0;) {
    const double D = at(k, static_cast<std::ptrdiff_t>(k));
    if (!(D > 0.0) || !std::isfinite(D)) return std::unexpected(errors::NumericalFailure{"mass matrix factorization"});
    for (std::ptrdiff_t i = above(model, o, k); i >= 0; i = above(model, o, static_cast<std::size_t>(i))) {
      const double a = at(k, i) / D;
      for (std::ptrdiff_t j = i; j >= 0; j = above(model, o, static_cast<std::size_t>(j)))
        at(static_cast<std::size_t>(i), j) -= a * at(k, j);
      at(k, i) = a;
    }
  }
  return {};
}

// x ← −M⁻¹ x with the factor: Lᵀ y = x, y / D, L x = y.
void negative_solve(const Model& model, std::size_t o, std::size_t N, std::span<const double> LD, double* x) {
  auto L = [&](std::size_t r, std::ptrdiff_t c) { return LD[static_cast<std::size_t>(c) * N + r]; };
  for (std::size_t i = N; i-- > 0;)
    for (std::ptrdiff_t j = above(model, o, i); j >= 0; j = above(model, o, static_cast<std::size_t>(j)))
      x[j] -= L(i, j) * x[i];
  for (std::size_t i = 0; i < N; ++i) x[i] /= -L(i, static_cast<std::ptrdiff_t>(i));
  for (std::size_t i = 0; i < N; ++i)
    for (std::ptrdiff_t j = above(model, o, i); j >= 0; j = above(model, o, static_cast<std::size_t>(j)))
      x[i] -= L(i, j) * x[j];
}

// M⁻¹ = Y D⁻¹ Yᵀ in place of the factor, Y = L⁻¹ (L's sparsity, kept in the
// upper triangle meanwhile): Y(i, j) = −(L(i, j) + Σ L(i, k) Y(k, j)) over k
// between j and i; then M⁻¹(a, b) = Σ Y(a, k) Y(b, k) / D_k over k above both.
void invert(const Model& model, std::size_t o, std::size_t N, std::span<double> M, Workspace& w) {
  auto at = [&](std::ptrdiff_t r, std::ptrdiff_t c) -> double& {
    return M[static_cast<std::size_t>(c) * N + static_cast<std::size_t>(r)];
  };
  auto up = [&](std::ptrdiff_t i) { return above(model, o, static_cast<std::size_t>(i)); };
  std::span<double> inverse_D = std::span(w.generalized_a).first(N), t = std::span(w.generalized_b).first(N);
  for (std::size_t i = 0; i < N; ++i) inverse_D[i] = 1.0 / M[i * N + i];
  const auto n = static_cast<std::ptrdiff_t>(N);
  for (std::ptrdiff_t i = 0; i < n; ++i)
    for (std::ptrdiff_t j = up(i); j >= 0; j = up(j)) {
      double s = at(i, j);
      for (std::ptrdiff_t k = up(i); k != j; k = up(k)) s += at(i, k) * at(j, k);
      at(j, i) = -s;
    }
  std::fill(t.begin(), t.end(), 0.0);
  for (std::ptrdiff_t a = 0; a < n; ++a) {
    // t_k = Y(a, k) / D_k along a's path
    t[static_cast<std::size_t>(a)] = inverse_D[static_cast<std::size_t>(a)];
    for (std::ptrdiff_t k = up(a); k >= 0; k = up(k))
      t[static_cast<std::size_t>(k)] = at(k, a) * inverse_D[static_cast<std::size_t>(k)];
    for (std::ptrdiff_t b = 0; b <= a; ++b) {
      double s = t[static_cast<std::size_t>(b)];
      for (std::ptrdiff_t k = up(b); k >= 0; k = up(k)) s += t[static_cast<std::size_t>(k)] * at(k, b);
      at(a, b) = s;
    }
    for (std::ptrdiff_t k = a; k >= 0; k = up(k)) t[static_cast<std::size_t>(k)] = 0.0;
  }
  for (std::ptrdiff_t c = 0; c < n; ++c)
    for (std::ptrdiff_t r = 0; r < c; ++r) at(r, c) = at(c, r);
}

std::expected<void, Error> check_square(std::span<double> out, std::size_t N, Label name) {
  return check_output(out, N * N, name);
}

}  // namespace

std::expected<void, Error> inverse_dynamics_derivatives(const Model& model, const Base& base, Workspace& w,
                                                        std::span<const double> q, std::span<const double> qd,
                                                        std::span<const double> qdd,
                                                        std::span<const IndexedLoad> loads,
                                                        std::span<double> d_q, std::span<double> d_qd) {
  const std::size_t o = base.coordinates(), N = model.dof_count() + o;
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_dof_vector(model, qd, "qd"));
  VELKOR_TRY(check_dof_vector(model, qdd, "qdd"));
  VELKOR_TRY(check_square(d_q, N, "position derivative output"));
  VELKOR_TRY(check_square(d_qd, N, "velocity derivative output"));
  const auto root_load = prepare_indexed_loads(model, loads, w.loads);
  if (!root_load) return std::unexpected(root_load.error());
  std::fill(d_q.begin(), d_q.end(), 0.0);
  std::fill(d_qd.begin(), d_qd.end(), 0.0);
  recursion<true>(model.moving(), base, q, qd, qdd, *root_load, w, Outputs{d_q, d_qd, {}, N, o});
  return {};
}

std::expected<void, Error> forward_dynamics_derivatives(const Model& model, const Base& base, Workspace& w,
                                                        std::span<const double> q, std::span<const double> qd,
                                                        std::span<const double> forces,
                                                        std::span<const IndexedLoad> loads,
                                                        std::span<double> d_q, std::span<double> d_qd,
                                                        std::span<double> inverse_mass) {
  const std::size_t o = base.coordinates(), n = model.dof_count(), N = n + o;
  VELKOR_TRY(check_square(d_q, N, "position derivative output"));
  VELKOR_TRY(check_square(d_qd, N, "velocity derivative output"));
  VELKOR_TRY(check_square(inverse_mass, N, "inverse mass matrix output"));
  // q̈ from forward dynamics (which checks the inputs), kept in the inverse's
  // first column until the joint part moves to the zero-acceleration row.
  const std::span<double> accelerations = inverse_mass.first(N);
  VELKOR_TRY(forward_dynamics(model, base, w, q, qd, forces, loads, accelerations));
  std::copy(accelerations.begin() + static_cast<std::ptrdiff_t>(o), accelerations.end(), w.ik_step.begin());
  Base moving = base;
  if (base.floating)
    moving.state.acceleration = Twist{Vec3(accelerations[0], accelerations[1], accelerations[2]),
                                      Vec3(accelerations[3], accelerations[4], accelerations[5])};
  const auto root_load = prepare_indexed_loads(model, loads, w.loads);
  if (!root_load) return std::unexpected(root_load.error());

  std::fill(d_q.begin(), d_q.end(), 0.0);
  std::fill(d_qd.begin(), d_qd.end(), 0.0);
  std::fill(inverse_mass.begin(), inverse_mass.end(), 0.0);
  const Model& bodies = model.moving();
  recursion<true>(bodies, moving, q, qd, std::span<const double>(w.ik_step).first(n), *root_load, w,
                  Outputs{d_q, d_qd, inverse_mass, N, o});
  VELKOR_TRY(factor(bodies, o, N, inverse_mass));
  for (std::size_t c = 0; c < N; ++c) {  // ∂q̈ = −M⁻¹ ∂τ
    negative_solve(bodies, o, N, inverse_mass, d_q.data() + c * N);
    negative_solve(bodies, o, N, inverse_mass, d_qd.data() + c * N);
  }
  invert(bodies, o, N, inverse_mass, w);
  return {};
}

std::expected<void, Error> gravity_derivatives(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<double> d_q) {
  const std::size_t o = base.coordinates(), N = model.dof_count() + o;
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_square(d_q, N, "gravity derivative output"));
  std::fill(d_q.begin(), d_q.end(), 0.0);
  const Base at_rest{base.floating, BaseState{base.state.frame, {}, {}}, base.gravity};
  recursion<false>(model.moving(), at_rest, q, {}, {}, Vec6::Zero(), w, Outputs{d_q, {}, {}, N, o});
  return {};
}

}  // namespace velkor
