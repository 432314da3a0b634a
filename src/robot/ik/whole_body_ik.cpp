#include "robot/ik/whole_body_ik.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <numbers>

#include "linalg/dense_qp.hpp"
#include "robot/checks.hpp"
#include "robot/configuration.hpp"
#include "robot/coupling.hpp"
#include "robot/dynamics/constraint_rows.hpp"
#include "robot/dynamics/whole_body.hpp"
#include "spatial_algebra.hpp"

namespace velkor {

namespace {

// No bound: what the QP solver treats as none.
constexpr double no_bound = DenseQp::no_bound;

using MatrixX = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic>;
using VectorX = Eigen::Matrix<double, Eigen::Dynamic, 1>;

bool finite_pose(const Pose& pose) {
  return pose.translation.allFinite() && pose.rotation.coeffs().allFinite();
}

// A configuration's first seven values: p, then the quaternion (x, y, z, w).
void put_base(const Pose& pose, double* c) {
  for (int i = 0; i < 3; ++i) c[i] = pose.translation[i];
  const auto& r = pose.rotation.coeffs();  // x, y, z, w
  for (int i = 0; i < 4; ++i) c[3 + i] = r[i];
}

// Adds one item's Jacobian into its rows of the column-major m x N array J.
void add_item_jacobian(const Model& bodies, const ResolvedConstraint& item, const RootFrame& root,
                       std::size_t o, const Workspace& w, std::span<double> J, std::size_t m) {
  item_columns(bodies, item, root, o, w,
               [&](std::size_t c, double sign, const Vec3& angular, const Vec3& linear) {
                 add_rows_column(J, m, item, c, sign, angular, linear);
               });
}

}  // namespace

// The QP of one iteration, its solver and every buffer a solve uses: made with
// the problem, so that a solve allocates nothing.
class IkSolver {
 public:
  // full: a coupled model's DOF count (its q_full and full Jacobians), else 0;
  // base: the free base's coordinates (6) or 0.
  IkSolver(std::size_t N, std::size_t C, std::size_t m, std::size_t tasks, std::size_t contacts,
           std::size_t full, std::size_t base)
      : H(N, N),
        g(N),
        A(m, N),
        b(m),
        lower(N),
        upper(N),
        step(N),
        J(std::max<std::size_t>(6, m) * N),
        c(C),
        next(C),
        best(C),
        errors(tasks),
        best_errors(tasks),
        e(std::max<std::size_t>(6, m)),
        references(contacts),
        q_full(full),
        J_full(full == 0 ? 0 : std::max<std::size_t>(6, m) * (base + full)) {
    H.setIdentity();
    g.setZero();
    A.setZero();
    b.setZero();
    lower.setConstant(-no_bound);
    upper.setConstant(no_bound);
    qp.reserve(N, m);
  }

  MatrixX H;
  VectorX g;
  MatrixX A;
  VectorX b;
  VectorX lower, upper, step;
  DenseQp qp;
  std::vector<double> J;                    // a task's Jacobian, 6 x N (a set's: m_set x N)
  std::vector<double> c, next, best;        // configurations
  std::vector<double> errors, best_errors;  // per task
  std::vector<double> e;                    // a task's error (a set's: m_set)
  std::vector<Pose> references;             // per contact item: its world pose at the start
  std::vector<double> q_full;               // a coupled model's: G q + b
  std::vector<double> J_full;               // a coupled model's: a task's Jacobian in q_full
};

IkProblem::IkProblem(const IkProblem& other)
    : tasks_(other.tasks_),
      settings_(other.settings_),
      bounds_(other.bounds_),
      pose_items_(other.pose_items_),
      solver_(other.solver_ ? std::make_unique<IkSolver>(other.N_, other.C_, other.m_,
                                                         other.tasks_->size(), other.contact_items_,
                                                         other.full_, other.floating_ ? 6 : 0)
                            : nullptr),
      floating_(other.floating_),
      model_id_(other.model_id_),
      N_(other.N_),
      C_(other.C_),
      m_(other.m_),
      contact_items_(other.contact_items_),
      full_(other.full_) {}
IkProblem& IkProblem::operator=(const IkProblem& other) {
  if (this != &other) *this = IkProblem(other);
  return *this;
}
IkProblem::IkProblem(IkProblem&&) noexcept = default;
IkProblem& IkProblem::operator=(IkProblem&&) noexcept = default;
IkProblem::~IkProblem() = default;

namespace {

// The bounds of each free coordinate: its joint's limits, intersected with
// those of the joints that follow it, mapped back through their couplings
// (q_f = m·q + o ∈ [l, u] holds for q in [(l − o)/m, (u − o)/m], the ends
// swapped when m < 0); its velocity limit, the smallest of v/|m| over the
// joint and its followers that have one (0: none). A follower with m = 0 sits
// at o whatever q is.
std::expected<void, Error> coordinate_bounds(const Model& model, std::vector<double>& lower,
                                             std::vector<double>& upper, std::vector<double>& speed) {
  const std::size_t n = coordinate_count(model);
  lower.resize(n);
  upper.resize(n);
  speed.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Joint& joint = coordinate_joint(model, i);
    lower[i] = joint.lower;
    upper[i] = joint.upper;
    speed[i] = joint.velocity_limit > 0.0 ? joint.velocity_limit : 0.0;
  }
  const Coupling* coupling = model.coupling.get();
  if (coupling == nullptr) return {};
  for (std::size_t d = 0; d < coupling->group.size(); ++d) {
    const std::size_t g = coupling->group[d];
    const double m = coupling->multiplier[d], o = coupling->offset[d];
    if (coupling->free_dof[g] == d || m == 0.0) continue;
    const Joint& follower = model.joints[model.dof_list[d]];
    double lo = (follower.lower - o) / m, hi = (follower.upper - o) / m;
    if (m < 0.0) std::swap(lo, hi);
    lower[g] = std::max(lower[g], lo);
    upper[g] = std::min(upper[g], hi);
    if (follower.velocity_limit > 0.0) {
      const double v = follower.velocity_limit / std::abs(m);
      speed[g] = speed[g] > 0.0 ? std::min(speed[g], v) : v;
    }
    if (!(lower[g] <= upper[g]))
      return std::unexpected(errors::InvalidModel{
          "the limits of joint " + follower.name + ", which follows " + coordinate_joint(model, g).name +
          ", leave " + coordinate_joint(model, g).name + " no position within its own"});
  }
  return {};
}

}  // namespace

std::expected<IkProblem, Error> IkProblem::make(const Model& model, bool floating,
                                                std::vector<IkTask> tasks, IkProblemOptions settings) {
  using errors::InvalidIkTask;
  const auto weight_ok = [](double w) { return std::isfinite(w) && w >= 0.0; };
  // w² (and a pose task's (w·w_p)², (w·w_o)²) scales rows of H: beyond
  // max_weight its square leaves no room for the Jacobians' and errors' own
  // sizes before H or g overflows.
  const auto usable = [](double w) { return w <= max_weight; };
  std::size_t m = 0, items = 0;
  for (std::size_t t = 0; t < tasks.size(); ++t) {
    if (const auto* pose = std::get_if<PoseTask>(&tasks[t])) {
      if (!model.link_index(pose->link)) return std::unexpected(InvalidIkTask{t, "unknown link"});
      if (!finite_pose(pose->target) || !finite_pose(pose->tool))
        return std::unexpected(InvalidIkTask{t, "target and tool must be finite"});
      if (!weight_ok(pose->weight) || !weight_ok(pose->position_weight) ||
          !weight_ok(pose->orientation_weight))
        return std::unexpected(InvalidIkTask{t, "weights must be finite and not negative"});
      if (pose->position_weight == 0.0 && pose->orientation_weight == 0.0)
        return std::unexpected(
            InvalidIkTask{t, "position_weight or orientation_weight must be positive"});
      if (!usable(pose->weight * pose->position_weight) ||
          !usable(pose->weight * pose->orientation_weight))
        return std::unexpected(InvalidIkTask{
            t,
            "weight times position_weight and weight times orientation_weight must be at most 1e100"});
    } else if (const auto* com = std::get_if<CenterOfMassTask>(&tasks[t])) {
      if (!com->target.allFinite()) return std::unexpected(InvalidIkTask{t, "target must be finite"});
      if (!weight_ok(com->weight))
        return std::unexpected(InvalidIkTask{t, "weight must be finite and not negative"});
      if (!usable(com->weight)) return std::unexpected(InvalidIkTask{t, "weight must be at most 1e100"});
    } else {
      const auto& set = std::get<ConstraintTask>(tasks[t]).set;
      if (!set) return std::unexpected(InvalidIkTask{t, "no constraint set"});
      if (set->model_id() != model.id)
        return std::unexpected(InvalidIkTask{t, "the constraint set belongs to another model"});
      m += set->count();
      items += set->items().size();
    }
  }
  if (!weight_ok(settings.damping))
    return std::unexpected(errors::InvalidIkOptions{"damping", "must be finite and not negative"});
  if (settings.damping > max_damping)
    return std::unexpected(errors::InvalidIkOptions{"damping", "must be at most 1e200"});
  if (!weight_ok(settings.posture_weight))
    return std::unexpected(
        errors::InvalidIkOptions{"posture_weight", "must be finite and not negative"});
  if (!usable(settings.posture_weight))
    return std::unexpected(errors::InvalidIkOptions{"posture_weight", "must be at most 1e100"});
  const std::size_t n = coordinate_count(model);
  const std::size_t N = n + (floating ? 6 : 0), C = n + (floating ? 7 : 0);
  if (!settings.posture.empty()) {
    if (settings.posture.size() != C)
      return std::unexpected(wrong_length("posture", C, settings.posture.size()));
    for (const double v : settings.posture)
      if (!std::isfinite(v)) return std::unexpected(errors::NonFiniteIkInput{"posture"});
  }
  auto bounds = std::make_shared<Bounds>();
  VELKOR_TRY(coordinate_bounds(model, bounds->lower, bounds->upper, bounds->speed));
  IkProblem p;
  p.floating_ = floating;
  p.model_id_ = model.id;
  p.N_ = N;
  p.C_ = C;
  p.m_ = m;
  p.contact_items_ = items;
  p.full_ = model.coupling ? model.dof_count() : 0;
  p.solver_ = std::make_unique<IkSolver>(N, C, m, tasks.size(), items, p.full_, floating ? 6 : 0);
  // a pose task's tool frame is a frame row item on the moving bodies, held to its target
  auto pose_items = std::make_shared<std::vector<ResolvedConstraint>>(tasks.size());
  for (std::size_t t = 0; t < tasks.size(); ++t)
    if (const auto* pose = std::get_if<PoseTask>(&tasks[t]))
      (*pose_items)[t] = ResolvedConstraint{ConstraintKind::Frame, 0,
                                            body_side(model, *model.link_index(pose->link), pose->tool),
                                            std::nullopt, pose->target};
  p.pose_items_ = std::move(pose_items);
  p.tasks_ = std::make_shared<const std::vector<IkTask>>(std::move(tasks));
  p.settings_ = std::make_shared<const IkProblemOptions>(std::move(settings));
  p.bounds_ = std::move(bounds);
  return p;
}

namespace {

// The base of configuration `c`: the robot's own (fixed), or at rest at c's
// first seven values (free), the gravity of `robot_base` either way.
Base base_at(const Base& robot_base, bool floating, const double* c) {
  if (!floating) return robot_base;
  Base base = robot_base;
  base.floating = true;
  base.state = BaseState{*configuration_pose(c), {}, {}};
  return base;
}

}  // namespace

std::span<const double> IkProblem::full_positions(const Model& model, std::span<const double> q) {
  if (full_ == 0) return q;
  IkSolver& s = *solver_;
  expand_positions(*model.coupling, 0, q, s.q_full);  // q_full = G q + b
  return s.q_full;
}

void IkProblem::contract(const Model& model, std::size_t rows, double* out) {
  // J G: column g of the free Jacobian sums the columns of the joints that move with g
  const std::size_t b0 = floating_ ? 6 : 0;
  contract_columns(*model.coupling, b0, rows, {solver_->J_full.data(), rows * (b0 + full_)},
                   {out, rows * N_});
}

// Fills the QP at configuration `c` (H, g, A, b, the bounds) and the tasks'
// errors; returns Σ_t w_t² ‖S_t e_t‖², the cost of staying where c is.
std::expected<double, Error> IkProblem::assemble(const Model& model, const Base& robot_base,
                                                 Workspace& w, const double* c,
                                                 std::optional<double> dt) {
  IkSolver& s = *solver_;
  const IkProblemOptions& settings = *settings_;
  const std::size_t N = N_, b0 = floating_ ? 6 : 0, c0 = floating_ ? 7 : 0, n = N - b0;
  const Base base = base_at(robot_base, floating_, c);
  const std::span<const double> q(c + c0, n);
  // the kernels' joint positions (a coupled model's q_full) and where their Jacobians go
  const std::span<const double> qk = full_positions(model, q);
  const std::size_t Nk = b0 + qk.size();
  double* const Jk = full_ == 0 ? s.J.data() : s.J_full.data();
  // One kinematic pass: every body placed and every joint's axis S (root
  // coordinates); each task's rows and errors follow from them.
  const Model& bodies = model.moving();
  const RootFrame root = root_frame(base, Twist{});
  rest_pass(bodies, qk, root, w);
  // H = 2(λ E + w_p² P), g = −2 w_p² P (q_p − q): damping and posture
  s.H.setZero();
  s.H.diagonal().setConstant(2.0 * settings.damping);
  s.g.setZero();
  if (!settings.posture.empty() && settings.posture_weight > 0.0) {
    const double wp2 = settings.posture_weight * settings.posture_weight;
    for (std::size_t i = 0; i < n; ++i) {
      s.H(b0 + i, b0 + i) += 2.0 * wp2;
      s.g[b0 + i] -= 2.0 * wp2 * (settings.posture[c0 + i] - q[i]);
    }
  }
  double cost = 0.0;
  std::size_t row = 0, item = 0;
  const std::span<const IkTask> tasks = *tasks_;
  for (std::size_t t = 0; t < tasks.size(); ++t) {
    if (const auto* pose = std::get_if<PoseTask>(&tasks[t])) {
      // X = X_link ∘ tool; e = [log(R·R_targetᵀ); p − p_target], J = ∂(ω, ṗ)/∂v of the tool frame
      const ResolvedConstraint& frame = (*pose_items_)[t];
      std::fill_n(Jk, 6 * Nk, 0.0);
      add_item_jacobian(bodies, frame, root, b0, w, {Jk, 6 * Nk}, 6);
      if (full_ != 0) contract(model, 6, s.J.data());
      std::fill_n(s.e.data(), 6, 0.0);
      item_position_error(frame, root, w, nullptr, s.e.data());
      Eigen::Map<Eigen::Matrix<double, 6, Eigen::Dynamic>> J(s.J.data(), 6,
                                                             static_cast<Eigen::Index>(N));
      // S = w·diag(w_o E, w_p E)
      const double so = pose->weight * pose->orientation_weight,
                   sp = pose->weight * pose->position_weight;
      J.topRows<3>() *= so;
      J.bottomRows<3>() *= sp;
      Eigen::Map<Eigen::Matrix<double, 6, 1>> e(s.e.data());
      const double err =
          std::sqrt(pose->orientation_weight * pose->orientation_weight * e.head<3>().squaredNorm() +
                    pose->position_weight * pose->position_weight * e.tail<3>().squaredNorm());
      e.head<3>() *= so;
      e.tail<3>() *= sp;
      // H += 2 (SJ)ᵀ(SJ), g += 2 (SJ)ᵀ(S e)
      s.H.noalias() += 2.0 * J.transpose().lazyProduct(J);  // lazy: no blocking scratch
      s.g.noalias() += 2.0 * J.transpose() * e;
      cost += e.squaredNorm();
      s.errors[t] = err;
    } else if (const auto* com = std::get_if<CenterOfMassTask>(&tasks[t])) {
      // e = c − c_target, J = ∂c/∂v
      std::array<double, 3> position;
      VELKOR_TRY(center_of_mass(model, base, w, qk, position, Coordinates::Full));
      VELKOR_TRY(center_of_mass_jacobian(model, base, w, qk, {Jk, 3 * Nk}, Coordinates::Full));
      if (full_ != 0) contract(model, 3, s.J.data());
      Eigen::Map<Eigen::Matrix<double, 3, Eigen::Dynamic>> J(s.J.data(), 3,
                                                             static_cast<Eigen::Index>(N));
      Eigen::Vector3d e = Eigen::Vector3d(position[0], position[1], position[2]) - com->target;
      s.errors[t] = e.norm();
      J *= com->weight;
      e *= com->weight;
      s.H.noalias() += 2.0 * J.transpose().lazyProduct(J);
      s.g.noalias() += 2.0 * J.transpose() * e;
      cost += e.squaredNorm();
    } else {
      // J_c Δv = −e_c: each contact against its target or its start, a loop a's side against b's
      const ConstraintSet& set = *std::get<ConstraintTask>(tasks[t]).set;
      const std::size_t m = set.count();
      std::fill_n(Jk, m * Nk, 0.0);
      for (const ResolvedConstraint& it : set.resolved())
        add_item_jacobian(bodies, it, root, b0, w, {Jk, m * Nk}, m);
      if (full_ != 0) contract(model, m, s.J.data());
      s.A.middleRows(static_cast<Eigen::Index>(row), static_cast<Eigen::Index>(m)) =
          Eigen::Map<const Eigen::MatrixXd>(s.J.data(), static_cast<Eigen::Index>(m),
                                            static_cast<Eigen::Index>(N));
      std::fill_n(s.e.data(), m, 0.0);
      for (const ResolvedConstraint& it : set.resolved())
        item_position_error(it, root, w, &s.references[item++], s.e.data());
      double largest = 0.0;
      for (std::size_t r = 0; r < m; ++r) {
        s.b[static_cast<Eigen::Index>(row + r)] = -s.e[r];
        largest = std::max(largest, std::abs(s.e[r]));
      }
      s.errors[t] = largest;
      row += m;
    }
  }
  // λ_k = λ + E_k/10: the damping grows with the task cost
  s.H.diagonal().array() += 2.0 * 0.1 * cost;
  // lower − q ≤ Δq ≤ upper − q, and |Δq| ≤ dt·v_max (v_max = 0: no limit given); the base is free
  const Bounds& bounds = *bounds_;
  for (std::size_t i = 0; i < n; ++i) {
    double lo = std::max(bounds.lower[i] - q[i], -no_bound),
           hi = std::min(bounds.upper[i] - q[i], no_bound);
    if (dt && bounds.speed[i] > 0.0) {
      lo = std::max(lo, -*dt * bounds.speed[i]);
      hi = std::min(hi, *dt * bounds.speed[i]);
    }
    s.lower[static_cast<Eigen::Index>(b0 + i)] = std::min(lo, 0.0);  // q is within its limits
    s.upper[static_cast<Eigen::Index>(b0 + i)] = std::max(hi, 0.0);
  }
  return cost;
}

// Solves the assembled QP into step; an equality row it cannot meet is the
// SolverError of its task.
std::expected<void, Error> IkProblem::solve_qp(std::uint64_t iteration) {
  IkSolver& s = *solver_;
  const auto span = [](auto& v) {
    return std::span<const double>(v.data(), static_cast<std::size_t>(v.size()));
  };
  // ½ΔvᵀHΔv + gᵀΔv / h has the same minimiser for any h > 0: the solver sees H
  // with its largest diagonal entry 1, so that its tests of what is zero do not
  // depend on the tasks' weights (large ones once passed for dependent bounds);
  // a robot without joints has an empty H, and nothing to scale
  const double h = s.H.size() == 0 ? 1.0 : s.H.diagonal().maxCoeff();
  if (!(h > 0.0) || !std::isfinite(h)) return std::unexpected(errors::IkNumericalFailure{iteration});
  s.H /= h;
  s.g /= h;
  const QpStatus status =
      s.qp.solve(span(s.H), span(s.g), span(s.A), span(s.b), span(s.lower), span(s.upper),
                 std::span<double>(s.step.data(), static_cast<std::size_t>(s.step.size())));
  s.H *= h;
  s.g *= h;
  if (status == QpStatus::NotPositiveDefinite)
    return std::unexpected(errors::IkNumericalFailure{iteration});
  if (status == QpStatus::Cycling) return std::unexpected(errors::IkStepCycled{iteration});
  // bounds alone always hold Δv = 0: only rounding makes such a QP fail
  if (status != QpStatus::Solved && m_ == 0)
    return std::unexpected(errors::IkNumericalFailure{iteration});
  if (status != QpStatus::Solved) {
    // the contact rows no step within the bounds meets: the task with the largest correction asked
    std::size_t row = 0, worst_row = 0;
    for (Eigen::Index r = 0; r < s.b.size(); ++r)
      if (std::abs(s.b[r]) > std::abs(s.b[static_cast<Eigen::Index>(worst_row)]))
        worst_row = static_cast<std::size_t>(r);
    const std::span<const IkTask> tasks = *tasks_;
    for (std::size_t t = 0; t < tasks.size(); ++t)
      if (const auto* set = std::get_if<ConstraintTask>(&tasks[t]);
          set && worst_row < (row += set->set->count()))
        return std::unexpected(
            errors::IkInfeasibleTask{t, std::abs(s.b[static_cast<Eigen::Index>(worst_row)])});
    return std::unexpected(errors::IkInfeasibleTask{tasks.size(), 0.0});
  }
  // Solved: the equalities hold (DenseQp checks the dependent ones too)
  if (!s.step.allFinite()) return std::unexpected(errors::IkNumericalFailure{iteration});
  return {};
}

// Whether a joint bound holds the step.
bool IkProblem::bound_active() const {
  const IkSolver& s = *solver_;
  for (Eigen::Index i = 0; i < s.step.size(); ++i) {
    if (s.upper[i] < no_bound && s.step[i] >= s.upper[i] - 1e-9) return true;
    if (s.lower[i] > -no_bound && s.step[i] <= s.lower[i] + 1e-9) return true;
  }
  return false;
}

// c = start with each joint coordinate drawn uniformly within its bounds
// (within ±π of 0 where a bound is wider) by splitmix64: restart `number`'s
// draws are the generator's from state seed + number·n·γ, so they depend on
// the seed and the number alone.
void IkProblem::restart(std::span<const double> start, std::uint64_t seed, std::uint64_t number,
                        double* c) const {
  const std::size_t c0 = floating_ ? 7 : 0, n = N_ - (floating_ ? 6 : 0);
  constexpr std::uint64_t gamma = 0x9e3779b97f4a7c15ULL;
  std::uint64_t state = seed + number * static_cast<std::uint64_t>(n) * gamma;  // wraps, as intended
  std::copy(start.begin(), start.begin() + static_cast<std::ptrdiff_t>(c0), c);
  if (floating_) put_base(*configuration_pose(c), c);
  const Bounds& bounds = *bounds_;
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t z = (state += gamma);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    const double u = static_cast<double>(z >> 11) * 0x1.0p-53;  // [0, 1)
    const double lo = std::max(bounds.lower[i], -std::numbers::pi),
                 hi = std::min(bounds.upper[i], std::numbers::pi);
    c[c0 + i] = lo <= hi ? lo + u * (hi - lo) : bounds.lower[i];
  }
}

// c with each joint coordinate clamped into its bounds.
void IkProblem::clamp(double* c) const {
  const std::size_t c0 = floating_ ? 7 : 0;
  const Bounds& bounds = *bounds_;
  for (std::size_t i = 0, n = N_ - (floating_ ? 6 : 0); i < n; ++i)
    c[c0 + i] = std::clamp(c[c0 + i], bounds.lower[i], bounds.upper[i]);
}

// s.c = start (a unit quaternion, the joints clamped into their limits), and
// each contact without a target referred to where start puts it.
void IkProblem::start_at(const Model& model, const Base& base, Workspace& w,
                         std::span<const double> start) {
  IkSolver& s = *solver_;
  std::copy(start.begin(), start.end(), s.c.begin());
  if (floating_) put_base(*configuration_pose(s.c.data()), s.c.data());
  clamp(s.c.data());
  const Base at = base_at(base, floating_, s.c.data());
  const std::span<const double> q = full_positions(
      model, std::span<const double>(s.c.data() + (floating_ ? 7 : 0), N_ - (floating_ ? 6 : 0)));
  const RootFrame root = root_frame(at, Twist{});
  rest_pass(model.moving(), q, root, w);
  std::size_t item = 0;
  for (const IkTask& task : *tasks_)
    if (const auto* set = std::get_if<ConstraintTask>(&task))
      for (const ResolvedConstraint& it : set->set->resolved())
        s.references[item++] = world_pose(side(it.a, root, w), root);
}

std::expected<void, Error> IkProblem::check_start(const Model& model, const Base& base,
                                                  std::span<const double> start, Label name) const {
  if (model.id != model_id_)
    return std::unexpected(errors::InvalidIkTask{0, "the problem belongs to another model"});
  Base shape = base;
  shape.floating = floating_;
  return check_configuration(model, shape, start, name);
}

std::expected<IkOutcome, Error> IkProblem::solve(const Model& model, const Base& base, Workspace& w,
                                                 std::span<const double> start,
                                                 const IkSolveOptions& options, std::span<double> out,
                                                 std::span<double> task_errors, Interrupt& interrupt) {
  VELKOR_TRY(check_start(model, base, start, options.start_name));
  if (out.size() != C_) return std::unexpected(wrong_length("out", C_, out.size()));
  if (task_errors.size() != tasks_->size())
    return std::unexpected(wrong_length("task errors", tasks_->size(), task_errors.size()));
  IkSolver& s = *solver_;
  start_at(model, base, w, start);  // the contacts without a target are held where they start
  IkOutcome outcome;
  // The best configuration met: one whose contacts hold (to the tolerance)
  // before any whose contacts do not; among the first, the lowest task cost,
  // among the others the smallest contact miss.
  double best = std::numeric_limits<double>::infinity(), best_miss = best;
  const auto better = [&](double cost, double miss) {
    const bool holds = miss <= options.tolerance, best_holds = best_miss <= options.tolerance;
    if (holds != best_holds) return holds;
    return holds ? cost < best : miss < best_miss;
  };
  double attempt_best = best;  // this start's lowest cost, and when it was met
  std::uint64_t improved = 0;
  // The budget is read only when a restart is due: an attempt never depends on the clock.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point began = options.time_budget ? Clock::now() : Clock::time_point{};
  const auto out_of_time = [&] {
    return options.time_budget &&
           std::chrono::duration<double>(Clock::now() - began).count() >= *options.time_budget;
  };
  for (std::uint64_t& k = outcome.iterations;; ++k) {
    const auto cost = assemble(model, base, w, s.c.data(), options.dt);
    if (!cost) return std::unexpected(cost.error());
    double miss = 0.0;  // the contacts' largest miss
    for (std::size_t t = 0; t < tasks_->size(); ++t)
      if (std::holds_alternative<ConstraintTask>((*tasks_)[t])) miss = std::max(miss, s.errors[t]);
    if (better(*cost, miss)) {
      best = *cost;
      best_miss = miss;
      s.best = s.c;
      s.best_errors = s.errors;
    }
    if (*cost < 0.9 * attempt_best) {  // progress: a tenth off this start's best
      attempt_best = *cost;
      improved = k;
    }
    if (std::all_of(s.errors.begin(), s.errors.end(),
                    [&](double e) { return e <= options.tolerance; })) {
      outcome.converged = true;
      s.best = s.c;
      s.best_errors = s.errors;
      break;
    }
    if (k == options.max_iterations) break;
    if (interrupt.due()) return std::unexpected(errors::Interrupted{});
    // A restarted attempt whose contact rows no step can meet is given up as a
    // stalled one; the solve's own start still raises.
    const auto stepped = solve_qp(k);
    const bool infeasible = !stepped && outcome.restarts > 0 &&
                            stepped.error().is<errors::IkInfeasibleTask>();
    if (!stepped && !infeasible) return std::unexpected(stepped.error());
    outcome.limited = !infeasible && bound_active();
    const bool still = !infeasible && s.step.lpNorm<Eigen::Infinity>() <= options.tolerance;
    const bool stalled = infeasible || still || k - improved >= options.stall;
    const bool fresh = stalled && outcome.restarts < options.restarts;
    if (fresh && out_of_time()) {  // a stalled attempt when the budget is spent: the best met
      outcome.out_of_time = true;
      break;
    }
    if (fresh) {  // a fresh start within the limits
      restart(start, options.seed, outcome.restarts++, s.c.data());
      attempt_best = std::numeric_limits<double>::infinity();
      improved = k + 1;
      continue;
    }
    if (still || infeasible) break;  // no progress left
    // c ← c ⊕ Δv, the joints clamped into their limits
    const std::optional<Pose> pose = floating_ ? configuration_pose(s.c.data()) : std::nullopt;
    integrate_unchecked(model, pose ? &*pose : nullptr, s.c.data(), s.step.data(), 1.0, s.next.data());
    clamp(s.next.data());
    std::swap(s.c, s.next);
  }
  std::copy(s.best.begin(), s.best.end(), out.begin());
  std::copy(s.best_errors.begin(), s.best_errors.end(), task_errors.begin());
  return outcome;
}

std::expected<void, Error> IkProblem::step_qp(const Model& model, const Base& base, Workspace& w,
                                              std::span<const double> c, std::optional<double> dt,
                                              std::span<double> H, std::span<double> g,
                                              std::span<double> A, std::span<double> b,
                                              std::span<double> lower, std::span<double> upper,
                                              std::span<double> step) {
  VELKOR_TRY(check_start(model, base, c, "q"));
  const std::size_t N = N_, m = m_;
  if (H.size() != N * N || g.size() != N || A.size() != m * N || b.size() != m || lower.size() != N ||
      upper.size() != N || step.size() != N)
    return std::unexpected(wrong_length("step_qp output", N, g.size()));
  IkSolver& s = *solver_;
  start_at(model, base, w, c);  // contacts without a target are held where c puts them
  const auto cost = assemble(model, base, w, s.c.data(), dt);
  if (!cost) return std::unexpected(cost.error());
  VELKOR_TRY(solve_qp(0));
  // row-major (C order) out of the column-major scratch
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  Eigen::Map<RowMajor>(H.data(), static_cast<Eigen::Index>(N), static_cast<Eigen::Index>(N)) = s.H;
  Eigen::Map<RowMajor>(A.data(), static_cast<Eigen::Index>(m), static_cast<Eigen::Index>(N)) = s.A;
  std::copy_n(s.g.data(), N, g.begin());
  std::copy_n(s.b.data(), m, b.begin());
  for (std::size_t i = 0; i < N; ++i) {
    const auto k = static_cast<Eigen::Index>(i);
    lower[i] = s.lower[k] <= -no_bound ? -std::numeric_limits<double>::infinity() : s.lower[k];
    upper[i] = s.upper[k] >= no_bound ? std::numeric_limits<double>::infinity() : s.upper[k];
    step[i] = s.step[k];
  }
  return {};
}

}  // namespace velkor
