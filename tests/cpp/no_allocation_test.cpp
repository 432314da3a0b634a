// Every computing call of the core allocates nothing: the global allocation
// functions and malloc are replaced by counting ones, and each call runs with
// counting on.
//
//   velkor_no_allocation_test <fixed-base URDF> <floating-base URDF>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "linalg/cholesky.hpp"
#include "linalg/products.hpp"
#include "robot/configuration.hpp"
#include "robot/constraints.hpp"
#include "robot/coupling.hpp"
#include "robot/dynamics/constrained_dynamics.hpp"
#include "robot/dynamics/constraint_rows.hpp"
#include "robot/dynamics/derivatives.hpp"
#include "robot/dynamics/forward_dynamics.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"
#include "robot/dynamics/rollout.hpp"
#include "robot/dynamics/whole_body.hpp"
#include "robot/ik/inverse_kinematics.hpp"
#include "robot/ik/whole_body_ik.hpp"
#include "robot/kinematics/forward_kinematics.hpp"
#include "robot/kinematics/jacobian.hpp"
#include "robot/loads.hpp"
#include "test_models.hpp"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void* allocate(std::size_t size) {  // counted by malloc below
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

// malloc itself too (glibc): Eigen and other libraries allocate through it, not operator new.
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* malloc(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
  return __libc_malloc(size);
}

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t align) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
  if (void* p = std::aligned_alloc(
          static_cast<std::size_t>(align),
          (size + static_cast<std::size_t>(align) - 1) & ~(static_cast<std::size_t>(align) - 1)))
    return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

using namespace velkor;
using test::failures;

namespace {

// Runs `call` with counting on; it must succeed and allocate nothing.
template <class Call>
void expect_no_allocation(const char* name, Call&& call) {
  allocations = 0;
  counting = true;
  const bool ok = static_cast<bool>(call());
  counting = false;
  if (!ok || allocations != 0) {
    std::printf("FAIL %s: %s, %ld allocations\n", name, ok ? "succeeded" : "failed", allocations.load());
    ++failures;
  } else {
    std::printf("ok   %s\n", name);
  }
}

std::vector<double> ramp(std::size_t n, double scale) {
  std::vector<double> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = scale * (0.3 + 0.1 * static_cast<double>(i % 7));
  return v;
}

// The constrained calls on `set`: one warm-up call sizes the constraint scratch,
// then none of them allocates.
// A coupled model's q and qd are its free coordinates.
void constrained(const char* label, const Model& m, const Base& b, Workspace& w,
                 const ConstraintSet& set, std::span<const double> q, std::span<const double> qd,
                 std::span<const double> tau, std::span<const IndexedLoad> loads) {
  const std::size_t N = coordinate_count(m) + b.coordinates(), k = set.count();
  std::vector<double> a(N), f(k), J(k * N), d0(N * N), d1(N * N), d2(N * N), d3(k * N), d4(k * N),
      d5(k * N), poses(7 * set.side_count());
  const std::array<std::span<double>, 6> d{d0, d1, d2, d3, d4, d5};
  // the overloads that poll an interrupt (one that never stops)
  Interrupt watching([](void*) { return false; }, nullptr);
  const auto all = [&]() -> std::expected<void, Error> {
    VELKOR_TRY(constrained_forward_dynamics(m, b, w, q, qd, tau, set, loads, 0.0, a, f));
    VELKOR_TRY(constrained_forward_dynamics(m, b, w, q, qd, tau, set, loads, 1e-8, a, f));
    VELKOR_TRY(constrained_forward_dynamics(m, b, w, q, qd, tau, set, loads, 1e-8, a, f, watching));
    VELKOR_TRY(impulse_dynamics(m, b, w, q, qd, set, 0.5, 0.0, a, f));
    VELKOR_TRY(impulse_dynamics(m, b, w, q, qd, set, 0.5, 1e-8, a, f, watching));
    VELKOR_TRY(constraint_jacobian(m, b, w, q, set, J));
    VELKOR_TRY(constraint_acceleration_bias(m, b, w, q, qd, set, f));
    VELKOR_TRY(constraint_poses(m, b, w, q, set, poses));
    VELKOR_TRY(constrained_dynamics_derivatives(m, b, w, q, qd, tau, set, loads, 0.0, d, watching));
    return constrained_dynamics_derivatives(m, b, w, q, qd, tau, set, loads, 0.0, d);
  };
  if (const auto warm = all(); !warm) {
    std::printf("FAIL %s: warm-up call failed: %s\n", label, warm.error().message().c_str());
    ++failures;
    return;
  }
  expect_no_allocation(label, [&] { return all().has_value(); });
}

// Whole-body inverse kinematics from configuration c (C values): `target`
// reaching a pose away from where it is, the centre of mass held, and `set`'s
// contacts, until converged and for a fixed number of steps, with restarts
// under a time budget; one step's QP. A coupled model's c is in its free
// coordinates, the kernels' constraint scratch in its full ones.
void whole_body_ik(const char* label, const Model& m, const Base& b, Workspace& w, bool floating,
                   LinkId target, const ConstraintSet& set, std::span<const double> c) {
  const std::size_t N = coordinate_count(m) + (floating ? 6 : 0), rows = set.count();
  reserve_constraint_scratch(w, rows, m.dof_count() + (floating ? 6 : 0));
  std::vector<IkTask> tasks{PoseTask{target, Pose{Quat::Identity(), Vec3(0.3, 0.1, 0.4)}},
                            CenterOfMassTask{Vec3(0.0, 0.0, 0.2), 1e-3},
                            ConstraintTask{std::make_shared<const ConstraintSet>(set)}};
  auto problem = IkProblem::make(m, floating, std::move(tasks), IkProblemOptions{});
  if (!problem) {
    std::printf("FAIL %s: %s\n", label, problem.error().message().c_str());
    ++failures;
    return;
  }
  std::vector<double> out(c.size()), errors(3), H(N * N), g(N), A(rows * N), bb(rows), lo(N), hi(N),
      step(N);
  Interrupt never;
  expect_no_allocation(label, [&] {
    return problem->solve(m, b, w, c, IkSolveOptions{.max_iterations = 20}, out, errors, never)
               .has_value() &&
           problem
               ->solve(m, b, w, c, IkSolveOptions{.max_iterations = 5, .dt = 0.01}, out, errors, never)
               .has_value() &&
           problem
               ->solve(
                   m, b, w, c,
                   IkSolveOptions{
                       .max_iterations = 60, .restarts = 3, .seed = 7, .stall = 2, .time_budget = 10.0},
                   out, errors, never)
               .has_value() &&
           problem->step_qp(m, b, w, c, std::nullopt, H, g, A, bb, lo, hi, step).has_value();
  });
}

// The configuration space and rollouts (free, then constrained by `set`) from
// joint positions q and velocities qd; a free base starts at b's state.
void configuration_and_rollout(const char* label, const Model& m, const Base& b, Workspace& w,
                               const ConstraintSet& set, std::span<const double> q,
                               std::span<const double> qd, std::span<const double> tau) {
  const std::size_t N = coordinate_count(m) + b.coordinates(), C = configuration_size(m, b), T = 5;
  std::vector<double> c0, v(N), c1(C), c2(C), d0(N * N), d1(N * N), forces;
  if (b.floating) {
    const auto& pose = b.state.frame;
    c0 = {pose.translation.x(), pose.translation.y(), pose.translation.z(), pose.rotation.x(),
          pose.rotation.y(),    pose.rotation.z(),    pose.rotation.w()};
    std::copy_n(b.state.velocity.angular.data(), 3, v.begin());
    std::copy_n(b.state.velocity.linear.data(), 3, v.begin() + 3);
  }
  c0.insert(c0.end(), q.begin(), q.end());
  std::copy(qd.begin(), qd.end(), v.end() - static_cast<std::ptrdiff_t>(qd.size()));
  for (std::size_t t = 0; t < T; ++t) forces.insert(forces.end(), tau.begin(), tau.end());
  std::vector<double> cs((T + 1) * C), vs((T + 1) * N);
  Interrupt never;
  std::size_t step = 0;
  const auto all = [&]() -> std::expected<void, Error> {
    VELKOR_TRY(integrate(m, b, c0, v, 0.01, c1));
    VELKOR_TRY(difference(m, b, c0, c1, v));
    VELKOR_TRY(interpolate(m, b, c0, c1, 0.5, c2));
    VELKOR_TRY(integrate_derivatives(m, b, c0, v, 0.01, d0, d1));
    VELKOR_TRY(difference_derivatives(m, b, c0, c1, d0, d1));
    VELKOR_TRY(rollout(m, b, w, RolloutInput{c0, v, forces, T, 1e-3}, never, cs, vs, step));
    return rollout(m, b, w, RolloutInput{c0, v, forces, T, 1e-3, &set, 1e-8}, never, cs, vs, step);
  };
  if (const auto warm = all(); !warm) {
    std::printf("FAIL %s: warm-up call failed: %s\n", label, warm.error().message().c_str());
    ++failures;
    return;
  }
  expect_no_allocation(label, [&] { return all().has_value(); });
}

void fixed_base(const std::string& path) {
  const auto model = test::load(path);
  if (!model) return;
  Robot robot(*model);
  const Model& m = robot.model();
  const std::size_t n = m.dof_count(), L = m.link_count();
  const Base& b = fixed_base(robot);
  Workspace w(m.joint_count(), n);
  std::vector<Pose> poses(L);
  const auto q = ramp(n, 1.0), qd = ramp(n, -0.5), qdd = ramp(n, 0.25);
  std::vector<double> out_n(n), out_j(6 * n), out_m(n * n);
  const LinkId target{m.id, L - 1};
  LoadBuffer buffer(L, m.id);
  (void)buffer.set(target, Vec6::Constant(0.5));
  const auto loads = buffer.loads();
  // inverse kinematics within the joint limits of the sample arm
  const auto reachable = ramp(n, 0.1), start = ramp(n, 0.08);
  const Pose desired = *forward_kinematics(m, robot.base_frame(), reachable, target, w.path);

  expect_no_allocation("forward_kinematics", [&] {
    return forward_kinematics(m, robot.base_frame(), q, target, w.path).has_value();
  });
  expect_no_allocation("forward_kinematics_all", [&] {
    return forward_kinematics_all(m, robot.base_frame(), q, w.frames, poses).has_value();
  });
  std::vector<double> rows(7 * L);
  expect_no_allocation("forward_kinematics_rows", [&] {
    return forward_kinematics_rows(m, robot.base_frame(), q, w.frames, rows).has_value();
  });
  expect_no_allocation("jacobian", [&] { return jacobian(m, b, w, q, target, out_j).has_value(); });
  expect_no_allocation("jacobian_derivative",
                       [&] { return jacobian_derivative(m, b, w, q, qd, target, out_j).has_value(); });
  expect_no_allocation("forward_velocity_kinematics", [&] {
    return forward_velocity_kinematics(m, BaseState{}, q, qd, target, Pose{}, w.path).has_value();
  });
  expect_no_allocation("forward_acceleration_kinematics", [&] {
    return forward_acceleration_kinematics(m, BaseState{}, q, qd, qdd, target, w.path).has_value();
  });
  expect_no_allocation("inverse_kinematics", [&] {
    return inverse_kinematics(robot, w, start, target, desired, IkOptions{}, out_n).has_value();
  });
  // an unreachable target, polled until the poll asks to stop
  int polls = 0;
  Interrupt interrupt([](void* count) { return ++*static_cast<int*>(count) == 2; }, &polls);
  const Pose unreachable{Quat::Identity(), Vec3(5, 5, 5)};
  expect_no_allocation("inverse_kinematics, interrupted", [&] {
    const auto result = inverse_kinematics(robot, w, start, target, unreachable,
                                           IkOptions{.max_iterations = 1'000'000'000}, out_n, interrupt);
    return !result && result.error().is<errors::Interrupted>() && polls == 2;
  });
  expect_no_allocation("mass_matrix", [&] { return mass_matrix(m, b, w, q, out_m).has_value(); });
  expect_no_allocation("gravity", [&] { return gravity(m, b, w, q, loads, out_n).has_value(); });
  expect_no_allocation("gravity without loads",
                       [&] { return gravity(m, b, w, q, {}, out_n).has_value(); });
  expect_no_allocation("inverse_dynamics",
                       [&] { return inverse_dynamics(m, b, w, q, qd, qdd, loads, out_n).has_value(); });
  expect_no_allocation("velocity_product_forces",
                       [&] { return velocity_product_forces(m, b, w, q, qd, out_n).has_value(); });
  expect_no_allocation("forward_dynamics",
                       [&] { return forward_dynamics(m, b, w, q, qd, qdd, loads, out_n).has_value(); });
  std::vector<double> d1(n * n), d2(n * n), d3(n * n);
  expect_no_allocation("derivatives", [&] {
    return inverse_dynamics_derivatives(m, b, w, q, qd, qdd, loads, d1, d2).has_value() &&
           forward_dynamics_derivatives(m, b, w, q, qd, qdd, loads, d1, d2, d3).has_value() &&
           gravity_derivatives(m, b, w, q, d1).has_value();
  });
  {
    const std::vector<ConstraintItem> items{ConstraintItem{ConstraintKind::Frame, target}};
    const auto set = ConstraintSet::make(m, items, Baumgarte{1.0, 0.5});
    constrained("constrained dynamics", m, b, w, *set, q, qd, qdd, loads);
    configuration_and_rollout("configuration space and rollouts", m, b, w, *set, q, qd, qdd);
    const std::vector<ConstraintItem> base_link{ConstraintItem{ConstraintKind::Point, LinkId{m.id, 1}}};
    whole_body_ik("whole-body inverse kinematics", m, b, w, false, target,
                  *ConstraintSet::make(m, base_link, Baumgarte{}), q);
  }
  expect_no_allocation("load buffer set, add, remove", [&] {
    return buffer.add(target, Vec6::Constant(0.1)).has_value() && buffer.remove(target).has_value() &&
           buffer.set(target, Vec6::Constant(0.2)).has_value();
  });
}

void floating_base(const std::string& path) {
  const auto model = test::load(path);
  if (!model) return;
  auto robot = FloatingRobot::create(*model);
  if (!robot) {
    std::printf("FAIL floating %s: %s\n", path.c_str(), robot.error().message().c_str());
    ++failures;
    return;
  }
  const Model& m = robot->model();
  const std::size_t n = m.dof_count(), N = n + 6, L = m.link_count();
  Workspace w(m.joint_count(), n);
  const BaseState base{Pose{Quat(0.9, 0.1, 0.2, 0.3).normalized(), Vec3(0.1, 0.2, 0.5)},
                       Twist{Vec3(0.1, -0.2, 0.3), Vec3(0.5, 0.0, -0.1)},
                       Twist{Vec3(0.0, 0.1, 0.0), Vec3(0.2, 0.3, -9.0)}};
  const Base b = free_base(*robot, base);
  const auto q = ramp(n, 1.0), qd = ramp(n, -0.5), qdd = ramp(n, 0.25), forces = ramp(N, 2.0);
  std::vector<double> out_v(N), out_j(6 * N), out_m(N * N);
  const LinkId target{m.id, L - 1};
  const std::vector<IndexedLoad> loads{IndexedLoad{LinkId{m.id, 0}, Vec3(0, 0, 1), Vec3(1, 0, 0)}};

  expect_no_allocation("floating jacobian",
                       [&] { return jacobian(m, b, w, q, target, out_j).has_value(); });
  expect_no_allocation("floating jacobian_derivative",
                       [&] { return jacobian_derivative(m, b, w, q, qd, target, out_j).has_value(); });
  expect_no_allocation("floating mass_matrix",
                       [&] { return mass_matrix(m, b, w, q, out_m).has_value(); });
  expect_no_allocation("floating gravity",
                       [&] { return gravity(m, b, w, q, loads, out_v).has_value(); });
  expect_no_allocation("floating gravity without loads",
                       [&] { return gravity(m, b, w, q, {}, out_v).has_value(); });
  expect_no_allocation("floating inverse_dynamics",
                       [&] { return inverse_dynamics(m, b, w, q, qd, qdd, loads, out_v).has_value(); });
  expect_no_allocation("floating velocity_product_forces",
                       [&] { return velocity_product_forces(m, b, w, q, qd, out_v).has_value(); });
  expect_no_allocation("floating forward_dynamics", [&] {
    return forward_dynamics(m, b, w, q, qd, forces, loads, out_v).has_value();
  });
  std::vector<double> out_3(3), out_6(6), out_1(1), out_c(3 * N);
  expect_no_allocation("whole body", [&] {
    return center_of_mass(m, b, w, q, out_3).has_value() &&
           center_of_mass_velocity(m, b, w, q, qd, out_3).has_value() &&
           center_of_mass_jacobian(m, b, w, q, out_c).has_value() &&
           centroidal_momentum(m, b, w, q, qd, out_6).has_value() &&
           centroidal_momentum_matrix(m, b, w, q, out_j).has_value() &&
           kinetic_energy(m, b, w, q, qd, out_1).has_value() &&
           potential_energy(m, b, w, q, out_1).has_value();
  });
  std::vector<double> d1(N * N), d2(N * N), d3(N * N);
  expect_no_allocation("floating derivatives", [&] {
    return inverse_dynamics_derivatives(m, b, w, q, qd, qdd, loads, d1, d2).has_value() &&
           forward_dynamics_derivatives(m, b, w, q, qd, forces, loads, d1, d2, d3).has_value() &&
           gravity_derivatives(m, b, w, q, d1).has_value();
  });
  // Three feet of the sample quadruped (its last links), one held as a frame.
  std::vector<ConstraintItem> items{ConstraintItem{ConstraintKind::Point, target},
                                    ConstraintItem{ConstraintKind::Point, LinkId{m.id, L - 2}}};
  items.push_back(ConstraintItem{ConstraintKind::Frame, LinkId{m.id, L - 3}, Pose::identity(), target});
  const auto set = ConstraintSet::make(m, items, Baumgarte{});
  constrained("floating constrained dynamics", m, b, w, *set, q, qd, forces, loads);
  configuration_and_rollout("floating configuration space and rollouts", m, b, w, *set, q, qd, forces);
  std::vector<double> c(7 + n);
  c[6] = 1.0;  // at the origin, unturned
  std::copy(q.begin(), q.end(), c.begin() + 7);
  // the feet held where they are (the set above also closes a loop between two of them)
  items.back().link_b.reset();
  whole_body_ik("floating whole-body inverse kinematics", m, b, w, true, LinkId{m.id, 1},
                *ConstraintSet::make(m, items, Baumgarte{}), c);
}

// Every entry point that contracts its results or expands its inputs, on a
// coupled model in its free coordinates: the first round sizes the full
// results, then none of them allocates.
void coupled_entry_points(const Model& m, const Base& b, Workspace& w, const Pose& frame,
                          std::span<const double> q, std::span<const double> qd) {
  const std::size_t F = q.size(), L = m.link_count();
  const LinkId target{m.id, L - 1};
  std::vector<double> forces(F), square(F * F), square2(F * F), columns(6 * F), point(3), six(6),
      number(1), rows(7 * L);
  const auto all = [&]() -> std::expected<void, Error> {
    VELKOR_TRY(mass_matrix(m, b, w, q, square));
    VELKOR_TRY(inverse_dynamics(m, b, w, q, qd, qd, {}, forces));
    VELKOR_TRY(gravity(m, b, w, q, {}, forces));
    VELKOR_TRY(velocity_product_forces(m, b, w, q, qd, forces));
    VELKOR_TRY(center_of_mass(m, b, w, q, point));
    VELKOR_TRY(center_of_mass_velocity(m, b, w, q, qd, point));
    VELKOR_TRY(center_of_mass_jacobian(m, b, w, q, std::span(columns).first(3 * F)));
    VELKOR_TRY(centroidal_momentum(m, b, w, q, qd, six));
    VELKOR_TRY(centroidal_momentum_matrix(m, b, w, q, columns));
    VELKOR_TRY(kinetic_energy(m, b, w, q, qd, number));
    VELKOR_TRY(potential_energy(m, b, w, q, number));
    VELKOR_TRY(inverse_dynamics_derivatives(m, b, w, q, qd, qd, {}, square, square2));
    VELKOR_TRY(gravity_derivatives(m, b, w, q, square));
    VELKOR_TRY(jacobian(m, b, w, q, target, columns));
    VELKOR_TRY(jacobian_derivative(m, b, w, q, qd, target, columns));
    VELKOR_TRY(forward_kinematics_rows(m, frame, w, q, rows));
    VELKOR_TRY(forward_kinematics(m, frame, w, q, target));
    VELKOR_TRY(forward_velocity_kinematics(m, b.state, w, q, qd, target, Pose{}));
    VELKOR_TRY(forward_acceleration_kinematics(m, b.state, w, q, qd, qd, target));
    return {};
  };
  if (const auto warm = all(); !warm) {
    std::printf("FAIL coupled entry points: warm-up call failed: %s\n", warm.error().message().c_str());
    ++failures;
    return;
  }
  expect_no_allocation("coupled entry points", [&] { return all().has_value(); });
}

// A model whose mimic joints follow their leaders, once its scratch is
// reserved and a first call has sized what the forward dynamics keep: forward dynamics and its
// derivatives, constrained dynamics, the configuration space and rollouts, and inverse kinematics, in
// the free coordinates (the full ones where the kernels take them).
void coupled(const std::string& path) {
  const auto model = test::load(path, MimicPolicy::Couple);
  if (!model) return;
  Robot robot(*model);
  const Model& m = robot.model();
  const std::size_t n = m.dof_count(), F = m.coupling->free_count();
  Workspace w(m.joint_count(), n);
  const auto q = ramp(n, 0.5), qd = ramp(n, -0.5), tau = ramp(F, 0.25);
  std::vector<double> out(F), d0(F * F), d1(F * F), d2(F * F);
  const Base b = fixed_base(robot);
  // the free coordinates (the entry points' own) and their expansion
  std::vector<double> q_free(F), qd_free(F), q_full(n), qd_full(n);
  for (std::size_t g = 0; g < F; ++g) {
    q_free[g] = q[m.coupling->free_dof[g]];
    qd_free[g] = qd[m.coupling->free_dof[g]];
  }
  // the first calls reserve the coupled scratch, the forward dynamics' blocks
  // and the derivatives' squares
  (void)forward_dynamics_derivatives(m, b, w, q_free, qd_free, tau, {}, d0, d1, d2);
  expect_no_allocation("coupled forward_dynamics", [&] {
    return forward_dynamics(m, b, w, q_free, qd_free, tau, {}, out).has_value();
  });
  expect_no_allocation("coupled forward_dynamics_derivatives", [&] {
    return forward_dynamics_derivatives(m, b, w, q_free, qd_free, tau, {}, d0, d1, d2).has_value();
  });
  expand_positions(*m.coupling, 0, q_free, q_full);
  expand_rates(*m.coupling, 0, qd_free, qd_full);
  const std::size_t L = m.link_count();
  const std::vector<ConstraintItem> items{ConstraintItem{ConstraintKind::Point, LinkId{m.id, L - 1}}};
  const auto set = ConstraintSet::make(m, items, Baumgarte{1.0, 2.0});
  constrained("coupled constrained dynamics", m, b, w, *set, q_free, qd_free, tau, {});
  coupled_entry_points(m, b, w, robot.base_frame(), q_free, qd_free);
  configuration_and_rollout("coupled configuration space and rollouts", m, b, w, *set, q_free, qd_free,
                            tau);
  // inverse kinematics to the pose the last link has at q_free, from nearby
  std::vector<Pose> poses(L);
  (void)forward_kinematics_all(m, robot.base_frame(), q_full, w.frames, poses);
  std::vector<double> start(q_free), solution(F);
  for (double& x : start) x *= 0.98;
  expect_no_allocation("coupled inverse_kinematics", [&] {
    return inverse_kinematics(robot, w, start, LinkId{m.id, L - 1}, poses[L - 1], IkOptions{}, solution)
        .has_value();
  });
  whole_body_ik("coupled whole-body inverse kinematics", m, b, w, false, LinkId{m.id, L - 2}, *set,
                start);
}

// The dense factorisations, solves and products on caller storage.
void dense_linear_algebra() {
  const std::size_t n = 7;
  std::vector<double> A(n * n), L(n * n), X(n * n), inverse(n * n), D(n), x = ramp(n, 1.0);
  for (std::size_t j = 0; j < n; ++j)
    for (std::size_t i = 0; i < n; ++i)
      A[j * n + i] = (i == j ? 2.0 * n : 0.0) + 1.0 / double(1 + i + j);
  const auto never = [](std::size_t) { return false; };
  expect_no_allocation("linalg cholesky, solve, inverse", [&] {
    const auto refused = linalg::cholesky(n, A, 0.0, 1e-10, linalg::DependentRows::refuse, L);
    linalg::cholesky_solve(n, L, x);
    const bool inverted = linalg::cholesky_inverse(n, L, X, inverse, never);
    linalg::cholesky_inverse_transpose(n, L, X);
    const auto skipped = linalg::cholesky(n, A, 1e-3, 0.0, linalg::DependentRows::skip, L, never);
    return refused.outcome == linalg::Factored::done && skipped.outcome == linalg::Factored::done &&
           inverted;
  });
  expect_no_allocation("linalg ldlt, unit lower inverse", [&] {
    const bool factored = linalg::ldlt(n, A, L, D);
    linalg::unit_lower_inverse(n, L, X);
    return factored;
  });
  expect_no_allocation("linalg products", [&] {
    linalg::add_product(inverse, A, X, n, n, n);
    linalg::columns_of(A, n, n, X);
    return true;
  });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: %s <fixed-base URDF> <floating-base URDF> [<URDF with mimic joints>]\n",
                 argv[0]);
    return 2;
  }
  dense_linear_algebra();
  fixed_base(argv[1]);
  floating_base(argv[2]);
  if (argc == 4) coupled(argv[3]);
  return test::verdict();
}
