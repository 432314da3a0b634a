#include "robot/dynamics/constrained_dynamics.hpp"

#include <Eigen/Geometry>
#include <algorithm>
#include <cmath>
#include <optional>

#include "linalg/cholesky.hpp"
#include "linalg/products.hpp"
#include "robot/checks.hpp"
#include "robot/coupling.hpp"
#include "robot/dynamics/constraint_rows.hpp"
#include "robot/dynamics/coupled_dynamics.hpp"
#include "robot/dynamics/derivatives.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"
#include "robot/dynamics/placement.hpp"
#include "robot/dynamics/tree_factor.hpp"
#include "spatial_algebra.hpp"

namespace velkor {
namespace {

// The caller's interrupt, polled by the amount of work done: once per about
// 2²⁰ multiply-adds (a millisecond or so), so that a small solve never reads
// the clock and a large one (the O(m³) factor of thousands of rows) answers
// within milliseconds.
class WorkPoll {
 public:
  explicit WorkPoll(Interrupt& interrupt) : interrupt_(interrupt) {}
  // After `work` more multiply-adds: true when the computation must stop.
  bool stop(std::size_t work) {
    work_ += work;
    if (work_ < block) return false;
    work_ = 0;
    return interrupt_.due();
  }

 private:
  static constexpr std::size_t block = std::size_t{1} << 20;
  Interrupt& interrupt_;
  std::size_t work_ = 0;
};

// The scratch of one call, carved from the workspace's constraint scratch.
struct Scratch {
  std::size_t m = 0, N = 0;
  WorkPoll* poll = nullptr;  // the call's interrupt; none for the kinematic rows
  double* J;         // m rows of N (row-major: row r at J + r·N), world axes
  double* Y;         // m rows of N: L⁻ᵀ J_rᵀ
  double* W;         // m rows of N: D⁻¹ L⁻ᵀ J_rᵀ, then (the derivatives) M⁻¹ J_rᵀ
  double* columns;   // m x N, column-major: the derivatives' J
  double* product;   // m x N, column-major: the derivatives' scratch
  double* M;         // N x N: the mass matrix, then its factor
  double* A;         // m x m: J M⁻¹ Jᵀ
  double* A_factor;  // m x m: Cholesky factor of A + μE (lower triangle, column-major)
  double* qdd_free;  // N
  double* velocity;  // N: the generalized velocity, world axes (q̈ where no velocity is needed)
  double* rhs;       // m
  double* f;         // m
  double* previous;  // m
  double* column;    // max(m, N)
  // A coupled model's (see Model::coupling): N counts its free coordinates,
  // every row depends on all of them, and the kernels' full coordinates
  // (N_full) have their own arrays, in front of the contractions.
  bool dense = false;
  std::size_t N_full = 0;
  double* full_J;        // m rows of N_full
  double* full_M;        // N_full x N_full, then ∂τ/∂q (the derivatives)
  double* full_dqd;      // N_full x N_full: ∂τ/∂q̇ (the derivatives)
  double* full_columns;  // N_full x N: contract_square's scratch
  double* full_H;        // 2 · m x N_full: the derivatives' H_q, H_q̇
  double* full_vector;   // N_full: b, then q̈_full (joints, after the base's)
  double* zeros;         // N_full

  static std::size_t size(std::size_t m, std::size_t N) {
    return 5 * m * N + N * N + 2 * m * m + 3 * N + 3 * m + std::max(m, N);
  }
  static std::size_t full_size(std::size_t m, std::size_t N, std::size_t N_full) {
    return 3 * m * N_full + 2 * N_full * N_full + N_full * N + 2 * N_full;
  }
  // An m x m or N x N array of the scratch as the linear-algebra room's view.
  static std::span<double> square(double* x, std::size_t n) { return {x, n * n}; }
};

// The scratch of a call in N coordinates; a coupled model's (N_full > 0: its
// full coordinates') with the full arrays behind.
Scratch carve(Workspace& w, std::size_t m, std::size_t N, std::size_t N_full = 0) {
  const std::size_t full = N_full == 0 ? 0 : Scratch::full_size(m, N, N_full);
  const std::size_t need = Scratch::size(m, N) + full;
  if (w.constraint_scratch.size() < need) w.constraint_scratch.resize(need);
  double* p = w.constraint_scratch.data();
  const auto take = [&p](std::size_t count) {
    double* start = p;
    p += count;
    return start;
  };
  Scratch s{};
  s.m = m;
  s.N = N;
  s.J = take(m * N);
  s.Y = take(m * N);
  s.W = take(m * N);
  s.columns = take(m * N);
  s.product = take(m * N);
  s.M = take(N * N);
  s.A = take(m * m);
  s.A_factor = take(m * m);
  s.qdd_free = take(N);
  s.velocity = take(N);
  s.rhs = take(m);
  s.f = take(m);
  s.previous = take(m);
  s.column = take(std::max(m, N));
  if (N_full > 0) {
    s.dense = true;
    s.N_full = N_full;
    s.full_J = take(m * N_full);
    s.full_M = take(N_full * N_full);
    s.full_dqd = take(N_full * N_full);
    s.full_columns = take(N_full * N);
    s.full_H = take(2 * m * N_full);
    s.full_vector = take(N_full);
    s.zeros = take(N_full);
    std::fill(s.zeros, s.zeros + N_full, 0.0);
  }
  return s;
}

// The scratch of a call on `model`: in a coupled model's free coordinates,
// with its full ones behind; `poll` answers for the call's interrupt.
Scratch carve_for(const Model& model, const Base& base, Workspace& w, std::size_t m, WorkPoll& poll) {
  const std::size_t o = base.coordinates();
  if (model.coupling) reserve_coupled_scratch(model, w);
  Scratch s = model.coupling ? carve(w, m, o + coordinate_count(model), o + model.dof_count())
                             : carve(w, m, o + model.dof_count());
  s.poll = &poll;
  return s;
}

// Whether the call must stop after `work` more multiply-adds (see WorkPoll).
bool stopped(const Scratch& s, std::size_t work) { return s.poll != nullptr && s.poll->stop(work); }

// The positions and rates the kernels read: q and q̇, or for a coupled model,
// whose q and q̇ are its free coordinates (checked here: lengths, then finite
// values), q_full = G q + b and q̇_full = G q̇ in w.coupled.
using KernelCoordinates = FullCoordinates;
std::expected<KernelCoordinates, Error> kernel_coordinates(const Model& model, Workspace& w,
                                                           std::span<const double> q,
                                                           std::span<const double> qd) {
  if (!model.coupling) return KernelCoordinates{q, qd};
  const auto full = full_coordinates(model, w, q, qd);
  if (!full) return std::unexpected(full.error());
  VELKOR_TRY(check_finite(q, "q"));
  VELKOR_TRY(check_finite(qd, "qd"));
  return KernelCoordinates{full->q, full->qd};
}

// Rows of N_full (row-major) contracted to rows of N: J G.
void contract_rows(const Coupling& coupling, std::size_t o, const double* full, std::size_t m,
                   std::size_t N_full, double* rows, std::size_t N) {
  for (std::size_t r = 0; r < m; ++r)
    contract_forces(coupling, o, {full + r * N_full, N_full}, {rows + r * N, N});
}

// The generalized velocity in world axes: a free base's twist, then q̇.
void generalized_velocity(const Base& base, std::span<const double> qd, double* out) {
  std::size_t i = 0;
  if (base.floating) {
    for (int k = 0; k < 3; ++k) out[i++] = base.state.velocity.angular[k];
    for (int k = 0; k < 3; ++k) out[i++] = base.state.velocity.linear[k];
  }
  std::copy(qd.begin(), qd.end(), out + i);
}

double dot(const double* a, const double* b, std::size_t n) {
  double s = 0.0;
  for (std::size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

// With the factor LD of M in s.M: Y_r = L⁻ᵀ J_rᵀ, W_r = D⁻¹ Y_r and
// A = J M⁻¹ Jᵀ = Y D⁻¹ Yᵀ, each row's sums over the coordinates it depends on.
// Interrupted when the call's interrupt asks, between items.
std::expected<void, Error> constraint_system(const Model& bodies, const ConstraintSet& set,
                                             std::size_t o, std::span<const std::ptrdiff_t> up,
                                             const Scratch& s, Workspace& w) {
  const std::size_t m = s.m, N = s.N;
  const Matrix LD(std::span(s.M, N * N), N);
  double* inverse_D = w.generalized_a.data();
  for (std::size_t k = 0; k < N; ++k) inverse_D[k] = 1.0 / s.M[k * N + k];
  std::copy(s.J, s.J + m * N, s.Y);
  std::fill(s.W, s.W + m * N, 0.0);
  for (const ResolvedConstraint& item : set.resolved()) {
    // Lᵀ y = J_rᵀ from the lowest coordinate up: J_r, and so y, vanish off the support.
    const std::size_t count = item_support(bodies, item, o, N, s.dense, w);
    const std::span<const std::size_t> support(w.support.data(), count);
    for (std::size_t r = item.row; r < item.row + item.rows(); ++r) {
      double* y = s.Y + r * N;
      double* z = s.W + r * N;
      for (const std::size_t k : support) {
        const double y_k = y[k];
        z[k] = y_k * inverse_D[k];
        if (y_k == 0.0) continue;
        for (std::ptrdiff_t i = up[k]; i >= 0; i = up[i])
          y[i] -= LD.at(static_cast<std::ptrdiff_t>(k), i) * y_k;
      }
    }
    for (std::size_t r = item.row; r < item.row + item.rows(); ++r) {
      const double* y = s.Y + r * N;
      for (std::size_t c = 0; c <= r; ++c) {
        const double* z = s.W + c * N;
        double sum = 0.0;
        for (const std::size_t k : support) sum += y[k] * z[k];
        s.A[c * m + r] = s.A[r * m + c] = sum;
      }
    }
    if (stopped(s, item.rows() * count * (count + item.row + item.rows())))
      return std::unexpected(errors::Interrupted{});
  }
  return {};
}

// x ← x + M⁻¹ Jᵀ f = x + L⁻¹ Σ_r W_r f_r (W_r before its L⁻¹).
void add_constraint_motion(std::span<const std::ptrdiff_t> up, const Scratch& s, const double* f,
                           double* x) {
  double* g = s.column;
  std::fill(g, g + s.N, 0.0);
  for (std::size_t r = 0; r < s.m; ++r)
    for (std::size_t k = 0; k < s.N; ++k) g[k] += s.W[r * s.N + k] * f[r];
  solve_unit(up, Matrix(std::span(s.M, s.N * s.N), s.N), g);
  for (std::size_t k = 0; k < s.N; ++k) x[k] += g[k];
}

// The mass matrix and its factor (which place the bodies), then the outward
// pass at q̇ and J; returns the coordinate tree of the factor.
// A coupled model's (q, qd: the full coordinates) are M = Gᵀ M_full G, whose
// factor is dense (a chain of coordinates), and J = J_full G.
std::expected<std::span<const std::ptrdiff_t>, Error> factor_and_place(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, const ConstraintSet& set, const RootFrame& root, const Scratch& s) {
  const Model& bodies = model.moving();
  const std::size_t o = base.coordinates();
  if (!s.dense) {
    VELKOR_TRY(mass_matrix(model, base, w, q, std::span(s.M, s.N * s.N)));
    const auto up = coordinate_tree(bodies, o, s.N, w);
    VELKOR_TRY(factor(up, Matrix(std::span(s.M, s.N * s.N), s.N)));
    placed_motion_pass(bodies, w.joint_axes, qd, root, w);
    jacobian_rows(bodies, set, root, o, w, s.J, s.N);
    return up;
  }
  const Coupling& coupling = *model.coupling;
  const std::size_t N = s.N, N_full = s.N_full;
  VELKOR_TRY(mass_matrix(model, base, w, q, std::span(s.full_M, N_full * N_full), Coordinates::Full));
  contract_square(coupling, o, {s.full_M, N_full * N_full}, {s.full_columns, N_full * N}, {s.M, N * N});
  const std::span<const std::ptrdiff_t> up(w.coupled.chain.data(), N);
  VELKOR_TRY(factor(up, Matrix(std::span(s.M, N * N), N)));
  placed_motion_pass(bodies, w.joint_axes, qd, root, w);
  jacobian_rows(bodies, set, root, o, w, s.full_J, N_full);  // J_full, then its contraction
  contract_rows(coupling, o, s.full_J, s.m, N_full, s.J, N);
  return up;
}

// Cholesky factor of A + μE into s.A_factor; with μ = 0 a pivot below 1e-10 of
// its row's diagonal is a row that depends on the rows before it. Interrupted
// when the call's interrupt asks, between columns.
std::expected<void, Error> factor_forces(const Scratch& s, double mu) {
  const auto stop = [&s](std::size_t work) { return stopped(s, work); };
  const auto r = linalg::cholesky(s.m, Scratch::square(s.A, s.m), mu, mu == 0.0 ? 1e-10 : 0.0,
                                  linalg::DependentRows::refuse, Scratch::square(s.A_factor, s.m), stop);
  switch (r.outcome) {
    case linalg::Factored::done: return {};
    case linalg::Factored::stopped: return std::unexpected(errors::Interrupted{});
    case linalg::Factored::not_finite:
      return std::unexpected(errors::NumericalFailure{"constraint force solve"});
    case linalg::Factored::dependent: break;
  }
  return std::unexpected(errors::RedundantConstraints{r.column, s.A[r.column * s.m + r.column] == 0.0});
}

// x ← (L Lᵀ)⁻¹ x with the factor of factor_forces.
void cholesky_solve(const Scratch& s, double* x) {
  linalg::cholesky_solve(s.m, Scratch::square(s.A_factor, s.m), {x, s.m});
}

// Why the proximal iterations on b (x: their last iterate, scratch here) did
// not converge. Either A x = b has no solution (the rows conflict) or they
// converge too slowly at this μ: each shrinks the error along an eigenvector
// of A with eigenvalue λ by μ/(λ + μ) only. The Cholesky factor of A without
// the rows that depend on earlier ones (a pivot below 1e-10 of its diagonal,
// as factor_forces finds them with μ = 0) solves the independent rows exactly
// with x = 0 on the others; b has a solution when that x meets every row, to
// 1e-8 of the size of the terms. Overwrites s.A_factor.
Error unconverged(const Scratch& s, const double* b, double* x, double residual) {
  const std::size_t m = s.m;
  const auto stop = [&s](std::size_t work) { return stopped(s, work); };
  if (linalg::cholesky(m, Scratch::square(s.A, m), 0.0, 1e-10, linalg::DependentRows::skip,
                       Scratch::square(s.A_factor, m), stop)
          .outcome == linalg::Factored::stopped)
    return errors::Interrupted{};
  // L Lᵀ x = b on the independent rows, x = 0 on the dependent ones (L_ii = 0).
  std::copy(b, b + m, x);
  cholesky_solve(s, x);
  // The miss of each row against |A| |x| + |b|, the size of its terms.
  double miss = 0.0, size = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    double terms = std::abs(b[i]);
    for (std::size_t k = 0; k < m; ++k) terms += std::abs(s.A[i * m + k] * x[k]);
    miss = std::max(miss, std::abs(dot(s.A + i * m, x, m) - b[i]));
    size = std::max(size, terms);
  }
  if (!(miss <= 1e-8 * (1.0 + size)))
    return errors::ProximalNotConverged{proximal_max_iterations, residual};
  return errors::ProximalStalled{proximal_max_iterations, residual};
}

// x ← A⁻¹ x; with μ > 0, the limit of (A + μE) x_{k+1} = b + μ x_k from x_0 = 0,
// the minimum-norm solution when A x = b has one. Interrupted when the call's
// interrupt asks, between iterations.
std::expected<void, Error> solve_forces(const Scratch& s, double mu, double* x) {
  if (mu == 0.0) {
    cholesky_solve(s, x);
    return {};
  }
  const std::size_t m = s.m;
  double* b = s.previous;
  double* r = s.column;
  std::copy(x, x + m, b);
  double scale = 0.0;
  for (std::size_t i = 0; i < m; ++i) scale = std::max(scale, std::abs(b[i]));
  std::fill(x, x + m, 0.0);
  double residual = scale;
  for (std::size_t iteration = 1; iteration <= proximal_max_iterations; ++iteration) {
    if (stopped(s, 2 * m * m)) return std::unexpected(errors::Interrupted{});
    for (std::size_t i = 0; i < m; ++i) r[i] = b[i] + mu * x[i];
    cholesky_solve(s, r);
    std::copy(r, r + m, x);
    residual = 0.0;
    for (std::size_t i = 0; i < m; ++i)
      residual = std::max(residual, std::abs(dot(s.A + i * m, x, m) - b[i]));
    if (!std::isfinite(residual))
      return std::unexpected(errors::NumericalFailure{"constraint force solve"});
    if (residual <= proximal_tolerance * (1.0 + scale)) return {};
  }
  return std::unexpected(unconverged(s, b, x, residual));
}

std::expected<void, Error> check_option(double value, Label name, double upper) {
  if (!std::isfinite(value) || value < 0.0 || value > upper)
    return std::unexpected(errors::InvalidConstraint{name});
  return {};
}

// The constrained solve shared by dynamics and derivatives: q̈ into `qdd`, f
// into s.f, and into `at`, when given, the positions and rates the kernels ran
// at (q and q̇; a coupled model's q_full and q̇_full); s.M (the factor), s.Y,
// s.W, s.A and s.A_factor stay.
std::expected<std::span<const std::ptrdiff_t>, Error> solve_dynamics(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double mu, const Scratch& s, std::span<double> qdd,
    KernelCoordinates* at) {
  const std::size_t o = base.coordinates(), n = model.dof_count(), N = s.N;
  if (tau.size() != N)
    return std::unexpected(wrong_length("forward dynamics generalized forces", N, tau.size()));
  if (!std::all_of(tau.begin(), tau.end(), [](double v) { return std::isfinite(v); }))
    return std::unexpected(errors::NonFiniteInput{"generalized forces"});
  const auto kernel = kernel_coordinates(model, w, q, qd);
  if (!kernel) return std::unexpected(kernel.error());
  if (at != nullptr) *at = *kernel;
  // b = ID(q, q̇, 0) with gravity and loads (a free base at zero classical
  // acceleration); it checks q, qd and the loads. A coupled model's: Gᵀ b_full.
  Base still = base;
  still.state.acceleration = Twist{};
  if (s.dense) {
    VELKOR_TRY(inverse_dynamics(model, still, w, kernel->q, kernel->qd,
                                std::span<const double>(s.zeros, n), loads,
                                std::span(s.full_vector, s.N_full), Coordinates::Full));
    contract_forces(*model.coupling, o, {s.full_vector, s.N_full}, {s.qdd_free, N});
  } else {
    std::fill(s.column, s.column + n, 0.0);
    VELKOR_TRY(inverse_dynamics(model, still, w, q, qd, std::span<const double>(s.column, n), loads,
                                std::span(s.qdd_free, N)));
  }
  const RootFrame root = root_frame(base, Twist{});
  const auto up = factor_and_place(model, base, w, kernel->q, kernel->qd, set, root, s);
  if (!up) return std::unexpected(up.error());
  // q̈_free = M⁻¹ (τ − b).
  for (std::size_t i = 0; i < N; ++i) s.qdd_free[i] = tau[i] - s.qdd_free[i];
  solve(*up, Matrix(std::span(s.M, N * N), N), s.qdd_free);
  // f solves A f = γ − J q̈_free with γ = −J̇q̇ − kd J q̇ − kp e.
  acceleration_rows(set, root, w, s.rhs);
  const Baumgarte& gains = set.gains();
  if (gains.kd != 0.0 || gains.kp != 0.0) {
    generalized_velocity(base, qd, s.velocity);
    position_errors(set, root, w, s.column);
    for (std::size_t r = 0; r < s.m; ++r)
      s.rhs[r] += gains.kd * dot(s.J + r * N, s.velocity, N) + gains.kp * s.column[r];
  }
  for (std::size_t r = 0; r < s.m; ++r) s.f[r] = -s.rhs[r] - dot(s.J + r * N, s.qdd_free, N);
  VELKOR_TRY(constraint_system(model.moving(), set, o, *up, s, w));
  VELKOR_TRY(factor_forces(s, mu));
  VELKOR_TRY(solve_forces(s, mu, s.f));
  // q̈ = q̈_free + M⁻¹Jᵀ f.
  std::copy(s.qdd_free, s.qdd_free + N, qdd.begin());
  add_constraint_motion(*up, s, s.f, qdd.data());
  for (std::size_t i = 0; i < N; ++i)
    if (!std::isfinite(qdd[i]))
      return std::unexpected(errors::NonFiniteResult{"constrained forward dynamics"});
  return *up;
}

}  // namespace

void reserve_constraint_scratch(Workspace& w, std::size_t m, std::size_t N) {
  const std::size_t need = Scratch::size(m, N);
  if (w.constraint_scratch.size() < need) w.constraint_scratch.resize(need);
}

std::expected<void, Error> constraint_jacobian(const Model& model, const Base& base, Workspace& w,
                                               std::span<const double> q, const ConstraintSet& set,
                                               std::span<double> out, Coordinates coordinates) {
  // a coupled model's: J G
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::constraint_jacobian(model, base, w, q, set, out);
  const std::size_t o = base.coordinates(), N = model.dof_count() + o, m = set.count();
  VELKOR_TRY(check_set(model, set));
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_output(out, m * N, "constraint Jacobian output"));
  const Scratch s = carve(w, m, N);
  const RootFrame root = root_frame(base, Twist{});
  motion_pass(model.moving(), q, {}, {}, root, w);
  jacobian_rows(model.moving(), set, root, o, w, s.J, s.N);
  for (std::size_t r = 0; r < m; ++r)
    for (std::size_t c = 0; c < N; ++c) out[c * m + r] = s.J[r * N + c];
  return {};
}

std::expected<void, Error> constraint_acceleration_bias(const Model& model, const Base& base,
                                                        Workspace& w, std::span<const double> q,
                                                        std::span<const double> qd,
                                                        const ConstraintSet& set, std::span<double> out,
                                                        Coordinates coordinates) {
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::constraint_acceleration_bias(model, base, w, q, qd, set, out);
  VELKOR_TRY(check_set(model, set));
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_dof_vector(model, qd, "qd"));
  VELKOR_TRY(check_output(out, set.count(), "constraint acceleration output"));
  const RootFrame root = root_frame(base, Twist{});
  motion_pass(model.moving(), q, qd, {}, root, w);
  acceleration_rows(set, root, w, out.data());
  return {};
}

std::expected<void, Error> constrained_forward_dynamics(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double regularization, std::span<double> qdd,
    std::span<double> forces) {
  Interrupt never;
  return constrained_forward_dynamics(model, base, w, q, qd, tau, set, loads, regularization, qdd,
                                      forces, never);
}

std::expected<void, Error> constrained_forward_dynamics(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double regularization, std::span<double> qdd,
    std::span<double> forces, Interrupt& interrupt) {
  const std::size_t N = coordinate_count(model) + base.coordinates(), m = set.count();
  VELKOR_TRY(check_set(model, set));
  VELKOR_TRY(check_option(regularization, "regularization must be finite and not negative", HUGE_VAL));
  VELKOR_TRY(check_output(qdd, N, "constrained forward dynamics output"));
  VELKOR_TRY(check_output(forces, m, "constraint force output"));
  WorkPoll poll(interrupt);
  const Scratch s = carve_for(model, base, w, m, poll);
  // Into the scratch first: nothing is written to the outputs on failure.
  const auto done = solve_dynamics(model, base, w, q, qd, tau, set, loads, regularization, s,
                                   std::span(s.velocity, N), nullptr);
  if (!done) return std::unexpected(done.error());
  std::copy(s.velocity, s.velocity + N, qdd.begin());
  std::copy(s.f, s.f + m, forces.begin());
  return {};
}

std::expected<void, Error> impulse_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            const ConstraintSet& set, double restitution,
                                            double regularization, std::span<double> qd_after,
                                            std::span<double> impulses) {
  Interrupt never;
  return impulse_dynamics(model, base, w, q, qd, set, restitution, regularization, qd_after, impulses,
                          never);
}

std::expected<void, Error> impulse_dynamics(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, std::span<const double> qd,
                                            const ConstraintSet& set, double restitution,
                                            double regularization, std::span<double> qd_after,
                                            std::span<double> impulses, Interrupt& interrupt) {
  const std::size_t o = base.coordinates(), N = coordinate_count(model) + o, m = set.count();
  VELKOR_TRY(check_set(model, set));
  VELKOR_TRY(check_option(restitution, "restitution must be between 0 and 1", 1.0));
  VELKOR_TRY(check_option(regularization, "regularization must be finite and not negative", HUGE_VAL));
  if (!model.coupling) {
    VELKOR_TRY(check_dof_vector(model, q, "q"));
    VELKOR_TRY(check_dof_vector(model, qd, "qd"));
  }
  const auto kernel = kernel_coordinates(model, w, q, qd);  // a coupled model's checks
  if (!kernel) return std::unexpected(kernel.error());
  VELKOR_TRY(check_output(qd_after, N, "impulse dynamics output"));
  VELKOR_TRY(check_output(impulses, m, "constraint impulse output"));
  WorkPoll poll(interrupt);
  const Scratch s = carve_for(model, base, w, m, poll);
  const RootFrame root = root_frame(base, Twist{});
  const auto up = factor_and_place(model, base, w, kernel->q, kernel->qd, set, root, s);
  if (!up) return std::unexpected(up.error());
  VELKOR_TRY(constraint_system(model.moving(), set, o, *up, s, w));
  VELKOR_TRY(factor_forces(s, regularization));
  // A Λ = −(1 + e) J q̇⁻; q̇⁺ = q̇⁻ + M⁻¹Jᵀ Λ.
  generalized_velocity(base, qd, s.velocity);
  for (std::size_t r = 0; r < m; ++r) s.f[r] = -(1.0 + restitution) * dot(s.J + r * N, s.velocity, N);
  VELKOR_TRY(solve_forces(s, regularization, s.f));
  add_constraint_motion(*up, s, s.f, s.velocity);
  for (std::size_t i = 0; i < N; ++i)
    if (!std::isfinite(s.velocity[i]))
      return std::unexpected(errors::NonFiniteResult{"impulse dynamics"});
  std::copy(s.velocity, s.velocity + N, qd_after.begin());
  std::copy(s.f, s.f + m, impulses.begin());
  return {};
}

std::expected<void, Error> constrained_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double regularization,
    const std::array<std::span<double>, 6>& out) {
  Interrupt never;
  return constrained_dynamics_derivatives(model, base, w, q, qd, tau, set, loads, regularization, out,
                                          never);
}

std::expected<void, Error> constrained_dynamics_derivatives(
    const Model& model, const Base& base, Workspace& w, std::span<const double> q,
    std::span<const double> qd, std::span<const double> tau, const ConstraintSet& set,
    std::span<const IndexedLoad> loads, double regularization,
    const std::array<std::span<double>, 6>& out, Interrupt& interrupt) {
  const std::size_t o = base.coordinates(), N = coordinate_count(model) + o, m = set.count();
  VELKOR_TRY(check_set(model, set));
  VELKOR_TRY(check_option(regularization, "regularization must be finite and not negative", HUGE_VAL));
  for (std::size_t i = 0; i < 3; ++i) VELKOR_TRY(check_output(out[i], N * N, "derivative output"));
  for (std::size_t i = 3; i < 6; ++i) VELKOR_TRY(check_output(out[i], m * N, "force derivative output"));
  WorkPoll poll(interrupt);
  const Scratch s = carve_for(model, base, w, m, poll);
  const std::span<double> qdd(s.velocity, N);
  KernelCoordinates at;
  const auto up = solve_dynamics(model, base, w, q, qd, tau, set, loads, regularization, s, qdd, &at);
  if (!up) return std::unexpected(up.error());
  const Matrix M(std::span(s.M, N * N), N);
  const std::span<double> dq = out[0], dqd = out[1], dtau = out[2], fq = out[3], fqd = out[4],
                          ftau = out[5];
  // G and H below in the kernels' coordinates (NF of them): a coupled model's
  // full ones, at the q_full, q̇_full solve_dynamics ran at and q̈_full = G q̈,
  // contracted to G_q = Gᵀ G_q,full G and H_q = H_q,full G after.
  const Coupling* coupling = model.coupling.get();
  const std::size_t NF = s.dense ? s.N_full : N;
  const std::span<const double> kq = at.q, kqd = at.qd;
  std::span<const double> kqdd = qdd.subspan(o);
  std::span<double> Gq = dq, Gqd = dqd, Hq = fq, Hqd = fqd;
  if (s.dense) {
    const std::size_t n = model.dof_count();
    expand_rates(*coupling, 0, qdd.subspan(o), {s.full_vector, n});
    kqdd = {s.full_vector, n};
    Gq = {s.full_M, NF * NF};
    Gqd = {s.full_dqd, NF * NF};
    Hq = {s.full_H, m * NF};
    Hqd = {s.full_H + m * NF, m * NF};
  }

  // G = ∂/∂(q, q̇) of ID(q, q̇, q̈) − Jᵀf at q̈ and f: inverse dynamics' first.
  Base moving = base;
  Twist base_acceleration;
  if (base.floating) {
    base_acceleration = Twist{Vec3(qdd[0], qdd[1], qdd[2]), Vec3(qdd[3], qdd[4], qdd[5])};
    moving.state.acceleration = base_acceleration;
  }
  VELKOR_TRY(
      inverse_dynamics_derivatives(model, moving, w, kq, kqd, kqdd, loads, Gq, Gqd, Coordinates::Full));

  // The bodies again, now at q̈.
  const Model& bodies = model.moving();
  const RootFrame root = root_frame(base, base_acceleration);
  motion_pass(bodies, kq, kqd, kqdd, root, w);
  const Baumgarte& gains = set.gains();
  std::fill(Hq.begin(), Hq.end(), 0.0);
  std::fill(Hqd.begin(), Hqd.end(), 0.0);
  for (const ResolvedConstraint& item : set.resolved()) {
    // The force of the item on this side in root coordinates, about the root origin.
    Vec3 n_world = Vec3::Zero(), f_world;
    if (item.kind == ConstraintKind::Frame)
      n_world = Vec3(s.f[item.row], s.f[item.row + 1], s.f[item.row + 2]);
    const std::size_t lin = item.row + (item.kind == ConstraintKind::Frame ? 3 : 0);
    f_world = Vec3(s.f[lin], s.f[lin + 1], s.f[lin + 2]);
    const Vec3 e_angular = [&] {
      Vec3 e = Vec3::Zero();
      if (item.kind != ConstraintKind::Frame || gains.kp == 0.0) return e;
      const Mat3 Ra = root.R0 * side(item.a, root, w).R;
      if (item.b) return rotation_error(Quat(Ra), Quat(root.R0 * side(*item.b, root, w).R));
      if (item.target) return rotation_error(Quat(Ra), item.target->rotation);
      return e;
    }();
    const bool angular_error = item.kind == ConstraintKind::Frame && (item.b || item.target);
    const bool linear_error = item.b || item.target;
    for_each_side(item, root, w, [&](const Side& x, double sign, const ConstraintSide&) {
      const Vec3 f = root.B * (sign * f_world), n = root.B * (sign * n_world);
      const Vec6 F = wrench_vector(n + x.p.cross(f), f);
      const Vec3 omega = x.v.head<3>(), alpha = x.a.head<3>();
      const Mat3 error_map =
          !item.b ? left_jacobian_inverse(e_angular)
                  : (sign > 0 ? left_jacobian_inverse(e_angular) : left_jacobian_inverse(-e_angular));
      // The coordinates above the side's body: their columns (w.support), and S,
      // (∂p × f, 0) and S ×* F for the force term below (w.side_axes).
      std::size_t count = 0;
      Vec6* const axes = w.side_axes.data();
      for_each_axis(bodies, x.body, root, o, w, [&](const Axis& j) {
        const std::size_t c = j.column;
        w.support[count] = c;
        axes[3 * count] = j.S;
        axes[3 * count + 1] = motion_vector(at_point(j.S, x.p).cross(f), Vec3::Zero());
        axes[3 * count + 2] = force_cross(j.S, F);
        ++count;
        // ∂v = S × (v − v̄), ∂a = S × (a − ā) − (S × v̄) × (v − v̄), ∂p = S_ω × p + S_v.
        const Vec6 dv = motion_cross(j.S, x.v - j.v_ref);
        const Vec6 da = motion_cross(j.S, x.a - j.a_ref) -
                        motion_cross(motion_cross(j.S, j.v_ref), x.v - j.v_ref);
        const Vec3 dp = at_point(j.S, x.p);
        const Vec3 dw = dv.head<3>(), dalpha = da.head<3>();
        const Vec3 dp_dot = dv.tail<3>() + dw.cross(x.p) + omega.cross(dp);
        const Vec3 dp_ddot = da.tail<3>() + dalpha.cross(x.p) + alpha.cross(dp) + dw.cross(x.p_dot) +
                             omega.cross(dp_dot);
        // H_q: the rows' accelerations, kd times their velocities, kp times their errors.
        Vec3 angular = dalpha + gains.kd * dw, linear = dp_ddot + gains.kd * dp_dot;
        if (linear_error) linear += gains.kp * dp;
        Vec3 angular_world = root.R0 * angular;
        if (angular_error) angular_world += gains.kp * (error_map * (root.R0 * j.S.head<3>()));
        add_rows_column(Hq, m, item, c, sign, angular_world, root.R0 * linear);
        // H_q̇ for the velocity coordinate j: ∂v = S, ∂a = S × (v − 2v̄) for a joint,
        // ∂a_0/∂ν + S × (v − v_0) for the base.
        Vec6 dav;
        if (j.joint) {
          dav = motion_cross(j.S, x.v - 2.0 * j.v_ref);
        } else {
          const Vec3 e = c < 3 ? j.S.head<3>() : j.S.tail<3>();
          const Vec3 da0 = c < 3 ? Vec3(-e.cross(Vec3(root.v0.tail<3>())))
                                 : Vec3(-Vec3(root.v0.head<3>()).cross(e));
          dav = motion_vector(Vec3::Zero(), da0) + motion_cross(j.S, x.v - root.v0);
        }
        const Vec3 dwv = j.S.head<3>();
        const Vec3 dp_dot_v = j.S.tail<3>() + dwv.cross(x.p);
        const Vec3 dp_ddot_v = dav.tail<3>() + dav.head<3>().cross(x.p) + dwv.cross(x.p_dot) +
                               omega.cross(dp_dot_v);
        add_rows_column(Hqd, m, item, c, sign, root.R0 * (dav.head<3>() + gains.kd * dwv),
                        root.R0 * (dp_ddot_v + gains.kd * dp_dot_v));
      });
      // −∂(Jᵀ f)/∂q into G_q, f fixed in the world: for coordinates i and j above
      // the body, the moved point, S_i·(∂p_j × f, 0), and for a joint i below j
      // its turned axis, (S_j × S_i)·F = −S_i·(S_j ×* F). A free base's
      // translations move nothing.
      for (std::size_t jj = 0; jj < count; ++jj) {
        const std::size_t c = w.support[jj];
        if (c >= 3 && c < o) continue;
        const Vec6& moved = axes[3 * jj + 1];
        const Vec6& turned = axes[3 * jj + 2];
        double* G_c = Gq.data() + c * NF;
        for (std::size_t ii = 0; ii < count; ++ii) {
          const std::size_t i = w.support[ii];
          const Vec6& S_i = axes[3 * ii];
          double d = S_i.dot(moved);
          if (i >= o && i > c) d -= S_i.dot(turned);
          G_c[i] -= d;
        }
      }
    });
  }
  if (s.dense) {
    contract_square(*coupling, o, Gq, {s.full_columns, NF * N}, dq);
    contract_square(*coupling, o, Gqd, {s.full_columns, NF * N}, dqd);
    contract_columns(*coupling, o, m, Hq, fq);
    contract_columns(*coupling, o, m, Hqd, fqd);
  }

  // W_r = M⁻¹ J_rᵀ; with μ = 0, A⁻¹ in place of Y (m ≤ N there).
  for (std::size_t r = 0; r < m; ++r) solve_unit(*up, M, s.W + r * N);
  double* const A_inverse = regularization == 0.0 ? s.Y : nullptr;
  if (A_inverse != nullptr) {
    // A⁻¹ = L⁻ᵀ L⁻¹ from the Cholesky factor of factor_forces, L⁻¹ in s.product.
    const auto stop = [&s](std::size_t work) { return stopped(s, work); };
    if (!linalg::cholesky_inverse(m, Scratch::square(s.A_factor, m), Scratch::square(s.product, m),
                                  Scratch::square(A_inverse, m), stop))
      return std::unexpected(errors::Interrupted{});
  }
  // X ← A⁻¹ X for an m x N column-major X.
  const auto solve_columns = [&](double* X) -> std::expected<void, Error> {
    if (A_inverse == nullptr) {
      for (std::size_t c = 0; c < N; ++c) VELKOR_TRY(solve_forces(s, regularization, X + c * m));
      return {};
    }
    std::fill(s.product, s.product + m * N, 0.0);
    linalg::add_product({s.product, m * N}, {A_inverse, m * m}, {X, m * N}, m, m, N);
    std::copy(s.product, s.product + m * N, X);
    return {};
  };

  // Q = −M⁻¹ G by the factor's row operations on the transposes; then
  // ∂f = A⁻¹ (J P − H) = −A⁻¹ (H + J Q) and ∂q̈ = M⁻¹Jᵀ ∂f − P = Q + Σ_r W_r ∂f_r.
  transpose_in_place(Matrix(dq, N));
  transpose_in_place(Matrix(dqd, N));
  negative_solve_rows(up->data(), s.M, dq.data(), dqd.data(), static_cast<std::ptrdiff_t>(N));
  transpose_in_place(Matrix(dq, N));
  transpose_in_place(Matrix(dqd, N));
  const std::span<const double> J(s.J, m * N), W(s.W, m * N);
  linalg::columns_of(J, m, N, {s.columns, m * N});
  for (const auto& [Q, H] : {std::pair{dq, fq}, std::pair{dqd, fqd}}) {
    linalg::add_product(H, {s.columns, m * N}, Q, m, N, N);
    for (double& h : H) h = -h;
    VELKOR_TRY(solve_columns(H.data()));
    linalg::add_product(Q, W, H, N, m, N);
  }
  // ∂f/∂τ = −A⁻¹ W (W as m x N); ∂q̈/∂τ = M⁻¹ + Wᵀ ∂f/∂τ.
  std::copy(s.M, s.M + N * N, dtau.begin());
  invert(*up, Matrix(dtau, N), w);
  linalg::columns_of(W, m, N, ftau);
  for (double& h : ftau) h = -h;
  VELKOR_TRY(solve_columns(ftau.data()));
  linalg::add_product(dtau, W, ftau, N, m, N);
  return {};
}

}  // namespace velkor
