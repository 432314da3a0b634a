#include "robot/dynamics/derivatives.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>

#include "fault.hpp"
#include "robot/checks.hpp"
#include "robot/coupling.hpp"
#include "robot/dynamics/coupled_dynamics.hpp"
#include "robot/dynamics/forward_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"
#include "robot/dynamics/placement.hpp"
#include "robot/dynamics/tree_factor.hpp"
#include "spatial_algebra.hpp"

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
// I^c, B^c (see Rate):
//   ∂τ_d/∂q_j  = P_d·A_j + Q_d·Ψ_j        j above d or d itself (P = I^c S, Q = B^cᵀ S)
//   ∂τ_j/∂q_d  = S_j·G_d                  j above d (G = S ×* F + I^c A + B^c Ψ)
//   ∂τ_d/∂q̇_j = P_d·2Ψ_j + Q_d·S_j       j above d or d itself
//   ∂τ_j/∂q̇_d = S_j·H_d                  j above d (H = I^c 2Ψ + B^c S)
// and every other entry is zero. M(d, j) = S_j·P_d comes along.

// B of a body moving with v = (ω, u) and momentum I v = (n, l). Only its
// angular columns are non-zero: B x = (B_ω x_ω, −2 l × x_ω) with
// B_ω = [ω×] I_o − I_o [ω×] − (h uᵀ + u hᵀ) + 2 (u·h) E − [n×].
struct Rate {
  Mat3 B;
  Vec3 l;
};

Rate rate(const Rigid& I, const Vec6& v, const Vec6& momentum) {
  const Vec3 w = v.head<3>(), u = v.tail<3>();
  const Mat3 WI = skew(w) * I.I;  // [ω×] I_o; its transpose is −I_o [ω×]
  Mat3 B = WI + WI.transpose() - I.h * u.transpose() - u * I.h.transpose() - skew(momentum.head<3>());
  B.diagonal().array() += 2.0 * u.dot(I.h);
  return {B, momentum.tail<3>()};
}

// B x for a subtree's summed (B_ω, l), and Bᵀ x, which has only angular entries.
Vec6 rate_times(const Mat3& B, const Vec3& l, const Vec6& x) {
  const Vec3 w = x.head<3>();
  return wrench_vector(B * w, -2.0 * l.cross(w));
}
Vec3 rate_transpose_times(const Mat3& B, const Vec3& l, const Vec6& x) {
  return B.transpose() * x.head<3>() + 2.0 * l.cross(Vec3(x.tail<3>()));
}

// The matrices a recursion writes, the joints after `o` base coordinates.
struct Outputs {
  Matrix q, qd, mass;
  std::size_t o;
};

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
      S[i] = motion_vector(e, Vec3::Zero());
      S[i + 3] = motion_vector(Vec3::Zero(), e);
      Psi[i] = motion_cross(v0, S[i]);
      A[i] = motion_cross(a0, S[i]) + motion_cross(v0, Psi[i]);
      U[i] = motion_vector(Vec3::Zero(), -e.cross(v)) + Psi[i];  // ∂(−ω × v)/∂ω_i
      U[i + 3] = motion_vector(Vec3::Zero(), -omega.cross(e)) +
                 motion_cross(v0, S[i + 3]);  // ∂(−ω × v)/∂v_i
    }
  }
};

// The root's motion in root coordinates: v_0; a_0 = (Bα, B a + g_0 − ω_0 × v_0)
// with g_0 the upward gravity and B = Rᵀ.
struct RootMotion {
  Quat R, B;
  Vec6 v0, a0;

  explicit RootMotion(const Base& base)
      : R(base.state.frame.rotation), B(R.conjugate()), v0(root_velocity(base)) {
    const Vec3 g0 = B * Vec3(-base.gravity);
    a0 = motion_vector(B * base.state.acceleration.angular,
                       B * base.state.acceleration.linear + g0 - v0.head<3>().cross(Vec3(v0.tail<3>())));
  }
};

// The root body's own terms, into which the inward pass sums the whole robot's
// when the base is free: I_0, F_0 = I_0 a_0 + v_0 ×* I_0 v_0 + L_0, and B_0.
struct RootSums {
  Rigid I;
  Vec6 F;
  Rate B;

  RootSums(const Model& model, const RootMotion& root, const Vec6& root_load)
      : I(rigid(model.link_mass_properties[0])) {
    const Vec6 momentum = I * root.v0;
    F = I * root.a0 + force_cross(root.v0, momentum) + root_load;
    B = rate(I, root.v0, momentum);
  }
};

// Outward pass at (q, q̇, q̈): S, Ψ = v_p × S, A = a_p × S + v_p × Ψ;
// v = v_p + S q̇, a = a_p + S q̈ + v × S q̇; I_k; f_k = I a + v ×* I v + L; B_k.
// `Placed`: forward dynamics has just placed the bodies at (q, q̇) and left
// each body's inertia, v and a (at its q̈) and each DOF's S in the workspace,
// so the pass reads them and not q, qd and qdd.
template <bool Placed>
void outward_pass(const Model& model, const RootMotion& root, std::span<const double> q,
                  std::span<const double> qd, std::span<const double> qdd, Workspace& w) {
  for (std::size_t k = 0; k < model.joint_count(); ++k) {
    const std::size_t p = model.parent[k];
    if constexpr (!Placed) place_body(model, k, model.joint_position(k, q.data()), w);
    Vec6 a = parent_row(p, root.a0, w.fd_acceleration);
    Vec6 v = parent_row(p, root.v0, w.fd_velocity);
    if (const auto dof = model.joint_dof[k]) {
      if constexpr (!Placed) w.motion_axes[*dof] = root_motion_axis(model, k, w);
      const Vec6 S = w.motion_axes[*dof];
      const Vec6 Psi = motion_cross(v, S);
      w.axis_rates[*dof] = Psi;
      w.axis_accelerations[*dof] = motion_cross(a, S) + motion_cross(v, Psi);
      if constexpr (!Placed) {
        const Vec6 vJ = S * qd[*dof];
        v += vJ;
        a += S * qdd[*dof] + motion_cross(v, vJ);
      }
    }
    if constexpr (Placed) {
      v = w.fd_velocity[k];
      a = w.fd_acceleration[k];
    } else {
      w.composite[k] = placed(model.link_mass_properties[Model::child_link(k)], w.rotations[k],
                              w.frames[k].translation);
    }
    const Rigid& I = w.composite[k];
    const Vec6 momentum = I * v;
    const Rate body_rate = rate(I, v, momentum);
    w.inertia_rate[k] = body_rate.B;
    w.linear_momentum[k] = body_rate.l;
    w.fd_velocity[k] = v;
    w.fd_acceleration[k] = a;
    w.fd_bias_force[k] = I * a + force_cross(v, momentum) + load_in_root(w, k);
  }
}

// Inward pass: at DOF d its subtree is complete (I^c, B^c, F); write its
// entries with every DOF above it, and with a free base's columns, then add
// I^c, B^c and F into the parent (into `sums` at the root when the base is free).
void inward_pass(const Model& model, const RootMotion& root, const BaseColumns* base_columns,
                 RootSums& sums, Workspace& w, const Outputs& out) {
  const std::size_t o = out.o;
  for (std::size_t k = model.joint_count(); k-- > 0;) {
    const std::size_t p = model.parent[k];
    const Rigid& Ic = w.composite[k];
    const Mat3& Bc = w.inertia_rate[k];
    const Vec3& lc = w.linear_momentum[k];
    const Vec6& F = w.fd_bias_force[k];
    if (const auto dof = model.joint_dof[k]) {
      const std::size_t d = *dof, row = o + d;
      const Vec6 S = w.motion_axes[d];
      const Vec6 P = Ic * S;
      const Vec6 G = force_cross(S, F) + Ic * w.axis_accelerations[d] +
                     rate_times(Bc, lc, w.axis_rates[d]);
      const Vec3 Q = rate_transpose_times(Bc, lc, S);  // Bᵀ S, angular entries only
      const Vec6 H = Ic * Vec6(2.0 * w.axis_rates[d]) + rate_times(Bc, lc, S);
      for (std::optional<std::size_t> e = d; e; e = model.dof_parent[*e]) {
        const std::size_t col = o + *e;
        const Vec6 S_e = w.motion_axes[*e];
        out.q.set(row, col, P.dot(w.axis_accelerations[*e]) + Q.dot(w.axis_rates[*e].head<3>()));
        out.qd.set(row, col, 2.0 * P.dot(w.axis_rates[*e]) + Q.dot(S_e.head<3>()));
        if (*e != d) {
          out.q.set(col, row, S_e.dot(G));
          out.qd.set(col, row, S_e.dot(H));
        }
        if (!out.mass.empty()) {
          const double m = S_e.dot(P);
          out.mass.set(row, col, m);
          out.mass.set(col, row, m);
        }
      }
      if (base_columns != nullptr) {  // the base is above every DOF
        for (std::size_t i = 0; i < 3; ++i)
          out.q.set(row, i, P.dot(base_columns->A[i]) + Q.dot(base_columns->Psi[i].head<3>()));
        out.q.set_base_rows(row, root.R, G);
        for (std::size_t i = 0; i < 6; ++i)
          out.qd.set(row, i, P.dot(base_columns->U[i]) + Q.dot(base_columns->S[i].head<3>()));
        out.qd.set_base_rows(row, root.R, H);
        if (!out.mass.empty()) {
          out.mass.set_base_rows(row, root.R, P);
          for (std::size_t i = 0; i < 6; ++i) out.mass.set(row, i, out.mass.data[row * out.mass.N + i]);
        }
      }
    }
    if (p == 0 && base_columns == nullptr) continue;
    parent_row(p, sums.I, w.composite) += Ic;
    parent_row(p, sums.B.B, w.inertia_rate) += Bc;
    parent_row(p, sums.B.l, w.linear_momentum) += lc;
    parent_row(p, sums.F, w.fd_bias_force) += F;
  }
}

// A free base's block: rows of F_0, the whole robot's force, the base's columns
// moving the whole robot along.
void base_pass(const RootMotion& root, const BaseColumns& columns, const RootSums& sums,
               const Outputs& out) {
  for (std::size_t i = 0; i < 3; ++i) {
    out.q.set_base_rows(i, root.R,
                        force_cross(columns.S[i], sums.F) + sums.I * columns.A[i] +
                            rate_times(sums.B.B, sums.B.l, columns.Psi[i]));
  }
  for (std::size_t i = 0; i < 6; ++i) {
    out.qd.set_base_rows(i, root.R,
                         sums.I * columns.U[i] + rate_times(sums.B.B, sums.B.l, columns.S[i]));
    if (!out.mass.empty()) out.mass.set_base_rows(i, root.R, sums.I * columns.S[i]);
  }
}

// The three passes over the moving bodies at (q, q̇, q̈), the base's motion and
// gravity from `base`.
template <bool Placed>
void recursion(const Model& model, const Base& base, std::span<const double> q,
               std::span<const double> qd, std::span<const double> qdd, const Vec6& root_load,
               Workspace& w, const Outputs& out) {
  const RootMotion root(base);
  outward_pass<Placed>(model, root, q, qd, qdd, w);
  RootSums sums(model, root, root_load);
  std::optional<BaseColumns> base_columns;  // a free base's
  if (base.floating) base_columns.emplace(root.B, root.v0, root.a0);
  inward_pass(model, root, base_columns ? &*base_columns : nullptr, sums, w, out);
  if (base_columns) base_pass(root, *base_columns, sums, out);
}

// The same at rest under gravity alone: every body accelerates with a_0 = (0, g_0),
// so A_j = a_0 × S_j = (0, g_0 × ω_j) is a pure force direction and, with F_d =
// I^c_d a_0 = (h × g_0, m g_0), only each subtree's mass m and first moment h enter:
//   ∂g_d/∂q_j = P_d·A_j, P_d's linear part m v_d − h × ω_d;  ∂g_j/∂q_d = S_j·G_d,
//   G_d = S_d ×* F_d + (h × A_d, m A_d).
void gravity_recursion(const Model& model, const Base& base, std::span<const double> q, Workspace& w,
                       const Matrix& out, std::size_t o) {
  const std::size_t J = model.joint_count();
  const Quat& R = base.state.frame.rotation;
  const Vec3 g0 = R.conjugate() * Vec3(-base.gravity);
  for (std::size_t k = 0; k < J; ++k) {
    place_body(model, k, model.joint_position(k, q.data()), w);
    if (const auto dof = model.joint_dof[k]) {
      const Vec6 S = root_motion_axis(model, k, w);
      w.motion_axes[*dof] = S;
      w.axis_accelerations[*dof] = wrench_vector(Vec3::Zero(), g0.cross(Vec3(S.head<3>())));
    }
    const MassProperties& body = model.link_mass_properties[Model::child_link(k)];
    Rigid& c = w.composite[k];  // only m and h
    c.m = body.mass;
    c.h = body.mass * (w.rotations[k] * body.center_of_mass + w.frames[k].translation);
  }
  Rigid whole = rigid(model.link_mass_properties[0]);  // only m and h are summed
  const auto force = [&](double m, const Vec3& h, const Vec3& linear) {
    return wrench_vector(h.cross(linear), m * linear);  // (m, h) applied to (0, linear)
  };
  for (std::size_t k = J; k-- > 0;) {
    const std::size_t p = model.parent[k];
    const double m = w.composite[k].m;
    const Vec3& h = w.composite[k].h;
    if (const auto dof = model.joint_dof[k]) {
      const std::size_t d = *dof, row = o + d;
      const Vec6 S = w.motion_axes[d];
      const Vec3 P = m * S.tail<3>() - h.cross(Vec3(S.head<3>()));
      const Vec6 G = force_cross(S, force(m, h, g0)) + force(m, h, w.axis_accelerations[d].tail<3>());
      for (std::optional<std::size_t> e = d; e; e = model.dof_parent[*e]) {
        const std::size_t col = o + *e;
        out.set(row, col, P.dot(w.axis_accelerations[*e].tail<3>()));
        if (*e != d) out.set(col, row, w.motion_axes[*e].dot(G));
      }
      if (base.floating) {
        for (std::size_t i = 0; i < 3; ++i)  // A_i = (0, g_0 × Rᵀ e_i) for the base's rotations
          out.set(row, i, P.dot(g0.cross(R.conjugate() * Vec3::Unit(static_cast<int>(i)))));
        out.set_base_rows(row, R, G);
      }
    }
    if (p == 0 && !base.floating) continue;
    Rigid& parent = parent_row(p, whole, w.composite);
    parent.m += m;
    parent.h += h;
  }
  if (!base.floating) return;
  for (std::size_t i = 0; i < 3; ++i) {
    const Vec6 S = motion_vector(R.conjugate() * Vec3::Unit(static_cast<int>(i)), Vec3::Zero());
    out.set_base_rows(i, R,
                      force_cross(S, force(whole.m, whole.h, g0)) +
                          force(whole.m, whole.h, g0.cross(Vec3(S.head<3>()))));
  }
}

std::expected<void, Error> check_square(std::span<double> out, std::size_t N, Label name) {
  return check_output(out, N * N, name);
}

}  // namespace

// forward_dynamics_derivatives of a coupled model over its free coordinates
// (N_free x N_free each), at the full positions and rates full_coordinates
// left: −M⁻¹ Gᵀ(∂τ_full/∂q_full)G and −M⁻¹ Gᵀ(∂τ_full/∂q̇_full)G at
// q̈_full = G q̈, with M = Gᵀ M_full G.
// Cost: the coupled forward dynamics, the full inverse-dynamics derivatives
// and mass matrix (O(N·d)), their contraction (O(N²)) and a dense factor and
// inverse of M (O(N_free³)). Its first call on a workspace sizes the three
// full N x N squares it works in and allocates; later calls allocate nothing.
std::expected<void, Error> coupled_derivatives(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q_full,
                                               std::span<const double> qd_full,
                                               std::span<const double> forces,
                                               std::span<const IndexedLoad> loads, std::span<double> d_q,
                                               std::span<double> d_qd, std::span<double> inverse_mass) {
  VELKOR_INVARIANT(model.coupling != nullptr, "a coupled model");
  const Coupling& coupling = *model.coupling;
  const std::size_t o = base.coordinates(), N = o + model.dof_count(),
                    N_free = o + coupling.free_count();
  for (const auto& [out, name] : {std::pair{d_q, "position derivative output"},
                                  {d_qd, "velocity derivative output"},
                                  {inverse_mass, "inverse mass matrix output"}})
    if (out.size() != N_free * N_free)
      return std::unexpected(wrong_length(name, N_free * N_free, out.size()));
  // q̈ (free), in the inverse's first column until it is expanded
  const std::span<double> accelerations = inverse_mass.first(N_free);
  VELKOR_TRY(coupled_articulated_body(model, base, w, q_full, qd_full, forces, loads, accelerations));
  CoupledScratch& s = w.coupled;
  Base moving = base;
  if (base.floating)
    moving.state.acceleration = Twist{Vec3(accelerations[0], accelerations[1], accelerations[2]),
                                      Vec3(accelerations[3], accelerations[4], accelerations[5])};
  expand_rates(coupling, 0, accelerations.subspan(o), s.accelerations);
  // the full-coordinate squares, for a free base's 6 coordinates at most: made
  // by the first call on a workspace (allocates)
  const std::size_t N_max = 6 + model.dof_count(), N_free_max = 6 + coupling.free_count();
  const std::size_t squares_size = 3 * N_max * N_max + N_max * N_free_max;
  if (s.squares.size() != squares_size) s.squares.assign(squares_size, 0.0);
  const std::span<double> squares(s.squares);
  const std::span<double> dq_full = squares.first(N * N), dqd_full = squares.subspan(N * N, N * N),
                          M_full = squares.subspan(2 * N * N, N * N),
                          columns = squares.subspan(3 * N * N, N * N_free);
  // ∂τ/∂q = Gᵀ (∂τ_full/∂q_full) G at q̈_full = G q̈, the same for q̇; M = Gᵀ M_full G
  VELKOR_TRY(inverse_dynamics_derivatives(model, moving, w, q_full, qd_full, s.accelerations, loads,
                                          dq_full, dqd_full, Coordinates::Full));
  VELKOR_TRY(mass_matrix(model, base, w, q_full, M_full, Coordinates::Full));
  contract_square(coupling, o, dq_full, columns, d_q);
  contract_square(coupling, o, dqd_full, columns, d_qd);
  contract_square(coupling, o, M_full, columns, inverse_mass);
  // ∂q̈ = −M⁻¹ ∂τ by the dense factor of M (a chain of coordinates: the
  // coupled mass matrix has no tree sparsity to keep)
  const std::span<const std::ptrdiff_t> chain(s.chain.data(), N_free);
  const Matrix M(inverse_mass, N_free);
  VELKOR_TRY(factor(chain, M));
  transpose_in_place(Matrix(d_q, N_free));
  transpose_in_place(Matrix(d_qd, N_free));
  negative_solve_rows(chain.data(), M.data, d_q.data(), d_qd.data(), M.N);
  transpose_in_place(Matrix(d_q, N_free));
  transpose_in_place(Matrix(d_qd, N_free));
  invert(chain, M, w);
  return {};
}

std::expected<void, Error> inverse_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> qdd, std::span<const IndexedLoad> loads,
    std::span<double> d_q, std::span<double> d_qd, Coordinates coordinates) {
  // a coupled model's: Gᵀ (∂τ_full/∂q_full) G, the same for q̇
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::inverse_dynamics_derivatives(model, base, w, q, qd, qdd, loads, d_q, d_qd);
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
  recursion<false>(model.moving(), base, q, qd, qdd, *root_load, w, Outputs{{d_q, N}, {d_qd, N}, {}, o});
  return {};
}

std::expected<void, Error> forward_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> forces, std::span<const IndexedLoad> loads,
    std::span<double> d_q, std::span<double> d_qd, std::span<double> inverse_mass) {
  if (model.coupling) {  // q and q̇ free, as forward_dynamics takes them
    const auto full = full_coordinates(model, w, q, qd);
    if (!full) return std::unexpected(full.error());
    return coupled_derivatives(model, base, w, full->q, full->qd, forces, loads, d_q, d_qd,
                               inverse_mass);
  }
  const std::size_t o = base.coordinates(), N = model.dof_count() + o;
  VELKOR_TRY(check_square(d_q, N, "position derivative output"));
  VELKOR_TRY(check_square(d_qd, N, "velocity derivative output"));
  VELKOR_TRY(check_square(inverse_mass, N, "inverse mass matrix output"));
  // q̈ from forward dynamics (which checks the inputs), in the inverse's first
  // column until the base's part is read; the joints' stay in the workspace.
  const std::span<double> accelerations = inverse_mass.first(N);
  const auto root_load = forward_dynamics_root_load(model, base, w, q, qd, forces, loads, accelerations);
  if (!root_load) return std::unexpected(root_load.error());
  Base moving = base;
  if (base.floating)
    moving.state.acceleration = Twist{Vec3(accelerations[0], accelerations[1], accelerations[2]),
                                      Vec3(accelerations[3], accelerations[4], accelerations[5])};

  std::fill(d_q.begin(), d_q.end(), 0.0);
  std::fill(d_qd.begin(), d_qd.end(), 0.0);
  std::fill(inverse_mass.begin(), inverse_mass.end(), 0.0);
  const Model& bodies = model.moving();
  // ∂τ/∂q and ∂τ/∂q̇ transposed, so that the solves below work on contiguous rows.
  recursion<true>(bodies, moving, q, qd, {}, *root_load, w,
                  Outputs{{d_q, N, true}, {d_qd, N, true}, {inverse_mass, N}, o});
  const auto up = coordinate_tree(bodies, o, N, w);
  const Matrix M(inverse_mass, N);
  VELKOR_TRY(factor(up, M));
  negative_solve_rows(up.data(), M.data, d_q.data(), d_qd.data(), M.N);  // ∂q̈ = −M⁻¹ ∂τ
  transpose_in_place(Matrix(d_q, N));
  transpose_in_place(Matrix(d_qd, N));
  invert(up, M, w);
  return {};
}

std::expected<void, Error> gravity_derivatives(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, std::span<double> d_q,
                                               Coordinates coordinates) {
  // a coupled model's: Gᵀ (∂g_full/∂q_full) G
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::gravity_derivatives(model, base, w, q, d_q);
  const std::size_t o = base.coordinates(), N = model.dof_count() + o;
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_square(d_q, N, "gravity derivative output"));
  std::fill(d_q.begin(), d_q.end(), 0.0);
  gravity_recursion(model.moving(), base, q, w, Matrix(d_q, N), o);
  return {};
}

}  // namespace velkor
