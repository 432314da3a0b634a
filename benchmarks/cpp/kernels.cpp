// Nanoseconds per call (median and 10th percentile of alternating batches) of
// velkor's inverse dynamics, mass matrix and forward dynamics kernels and of the
// Pinocchio's rnea, crba and aba (its faster WORLD convention, and LOCAL for
// reference), of the kinematics (every link's pose as the Python binding writes
// it, against forwardKinematics + updateFramePlacements; a tool link's Jacobian
// against computeFrameJacobian, LOCAL_WORLD_ALIGNED) and gravity (against
// computeGeneralizedGravity), then of the derivatives against computeRNEADerivatives,
// computeABADerivatives and computeGeneralizedGravityDerivatives, on the same
// robots and states, fixed and floating bases (`kernel_benchmark derivatives
// [LABEL]`: the derivatives only, of one robot). `kernel_benchmark contacts
// [LABEL]`: the constrained dynamics of floating Solo12 on four point feet and
// Talos on its two soles (frame contacts) against constraintDynamics,
// impulseDynamics and computeConstraintDynamicsDerivatives (contacts
// LOCAL_WORLD_ALIGNED, proximal mu = 0: one plain solve); `kernel_benchmark
// kernels [LABEL]`: the kernels without the derivatives. Mimic elements are
// removed from the descriptions first so both libraries see the same
// independent joints. Built with VELKOR_BENCH_CODEGEN, as codegen_benchmark
// [LABEL]: velkor's inverse dynamics, mass matrix and forward dynamics on the
// fixed-base robots beside Pinocchio's rnea, crba and aba and its code-generated
// ones (generated.cpp), the three alternated batch by batch at one state, then the
// largest difference of each from velkor's results.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include <pinocchio/algorithm/aba-derivatives.hpp>
#include <pinocchio/algorithm/aba.hpp>
#include <pinocchio/algorithm/constrained-dynamics-derivatives.hpp>
#include <pinocchio/algorithm/constrained-dynamics.hpp>
#include <pinocchio/algorithm/contact-info.hpp>
#include <pinocchio/algorithm/crba.hpp>
#include <pinocchio/algorithm/frames.hpp>
#include <pinocchio/algorithm/impulse-dynamics.hpp>
#include <pinocchio/algorithm/joint-configuration.hpp>
#include <pinocchio/algorithm/rnea-derivatives.hpp>
#include <pinocchio/algorithm/rnea.hpp>
#include <pinocchio/parsers/urdf.hpp>
#ifdef VELKOR_BENCH_CODEGEN
#include <memory>

#include "generated.hpp"
#endif

#include "robot/base.hpp"
#include "robot/constraints.hpp"
#include "robot/dynamics/constrained_dynamics.hpp"
#include "robot/dynamics/derivatives.hpp"
#include "robot/dynamics/forward_dynamics.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"
#include "robot/kinematics/forward_kinematics.hpp"
#include "robot/kinematics/jacobian.hpp"

namespace {

std::string without_mimic(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string stripped = std::regex_replace(text.str(), std::regex("<mimic[^>]*/>"), "");
  const std::string out = "/tmp/velkor_bench_" + std::to_string(std::hash<std::string>{}(path)) +
                          ".urdf";
  std::ofstream(out) << stripped;
  return out;
}

template <class F>
double batch_ns(F&& f, int calls) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < calls; ++i) f();
  const auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(end - start).count() / calls;
}

struct Times {
  double median, p10;
};

Times summary(std::vector<double> t) {
  std::sort(t.begin(), t.end());
  return {t[t.size() / 2], t[t.size() / 10]};
}

// Alternating batches (the order flips every batch); median and 10th percentile of both.
template <class A, class B>
std::pair<Times, Times> compare(A&& a, B&& b, int batches = 41, int calls = 1000) {
  std::vector<double> ta, tb;
  for (int k = 0; k < batches; ++k) {
    if (k % 2 == 0) {
      ta.push_back(batch_ns(a, calls));
      tb.push_back(batch_ns(b, calls));
    } else {
      tb.push_back(batch_ns(b, calls));
      ta.push_back(batch_ns(a, calls));
    }
  }
  return {summary(ta), summary(tb)};
}

// Three in alternating batches (the order rotates every batch).
template <class A, class B, class C>
std::array<Times, 3> compare3(A&& a, B&& b, C&& c, int batches = 42, int calls = 1000) {
  std::array<std::vector<double>, 3> t;
  for (int k = 0; k < batches; ++k) {
    for (int i = 0; i < 3; ++i) {
      const int which = (k + i) % 3;
      if (which == 0) t[0].push_back(batch_ns(a, calls));
      else if (which == 1) t[1].push_back(batch_ns(b, calls));
      else t[2].push_back(batch_ns(c, calls));
    }
  }
  return {summary(t[0]), summary(t[1]), summary(t[2])};
}

volatile double sink;
enum class Mode { All, Kernels, Derivatives, Contacts, Generated } mode = Mode::All;
const char* only_robot = nullptr;  // a label, to run one robot

void row(const char* name, std::pair<Times, Times> t) {
  std::printf("  %-26s %9.0f %9.0f %9.0f %9.0f %7.2f\n", name, t.first.median, t.first.p10,
              t.second.median, t.second.p10, t.first.median / t.second.median);
}

void row3(const char* name, const std::array<Times, 3>& t) {
  std::printf("  %-24s %8.0f %8.0f %9.0f %8.0f %9.0f %8.0f %6.2f %6.2f\n", name, t[0].median, t[0].p10,
              t[1].median, t[1].p10, t[2].median, t[2].p10, t[0].median / t[2].median,
              t[1].median / t[2].median);
}

// A contact of `contacts`: its kind and the link whose origin and axes it holds.
struct ContactSpec {
  velkor::ConstraintKind kind;
  const char* link;
};

using PinConstraints = PINOCCHIO_STD_VECTOR_WITH_EIGEN_ALLOCATOR(pinocchio::RigidConstraintModel);
using PinConstraintDatas = PINOCCHIO_STD_VECTOR_WITH_EIGEN_ALLOCATOR(pinocchio::RigidConstraintData);

// The constrained dynamics on the same contacts in both libraries, at the state of `run`.
void contacts(const velkor::Model& m, const velkor::Base& base, velkor::Workspace& w,
              std::span<const double> q, std::span<const double> qd, std::span<const double> tau,
              const pinocchio::Model& pm, pinocchio::Data& pd, const Eigen::VectorXd& pq,
              const Eigen::VectorXd& pv, const Eigen::VectorXd& ptau,
              const std::vector<ContactSpec>& specs) {
  std::vector<velkor::ConstraintItem> items;
  PinConstraints models;
  for (const ContactSpec& c : specs) {
    const auto link = m.find_link(c.link);
    if (!link) {
      std::printf("  %s: %s\n", c.link, link.error().message().c_str());
      return;
    }
    items.push_back(velkor::ConstraintItem{c.kind, velkor::LinkId{m.id, *link}});
    const pinocchio::Frame& frame = pm.frames[pm.getFrameId(c.link, pinocchio::BODY)];
    models.emplace_back(
        c.kind == velkor::ConstraintKind::Point ? pinocchio::CONTACT_3D : pinocchio::CONTACT_6D, pm,
        frame.parentJoint, frame.placement, pinocchio::LOCAL_WORLD_ALIGNED);
  }
  const auto set = velkor::ConstraintSet::make(m, items, velkor::Baumgarte{});
  if (!set) {
    std::printf("  %s\n", set.error().message().c_str());
    return;
  }
  const std::size_t N = static_cast<std::size_t>(pm.nv), rows = set->count();
  PinConstraintDatas datas;
  for (const auto& c : models) datas.emplace_back(c);
  pinocchio::initConstraintDynamics(pm, pd, models, datas);
  pinocchio::ProximalSettings exact(1e-12, 0.0, 1);  // constraintDynamics writes its counters
  const std::vector<velkor::IndexedLoad> no_loads;
  std::vector<double> qdd(N), forces(rows), d1(N * N), d2(N * N), d3(N * N), f1(rows * N), f2(rows * N),
      f3(rows * N);
  const std::array<std::span<double>, 6> derivatives{d1, d2, d3, f1, f2, f3};
  std::printf("  %-26s m=%zu\n", "constraint rows", rows);
  row("constrained FD / cD",
      compare(
          [&] {
            sink = velkor::constrained_forward_dynamics(m, base, w, q, qd, tau, *set, no_loads, 0.0, qdd,
                                                        forces)
                       .has_value();
          },
          [&] { sink = pinocchio::constraintDynamics(pm, pd, pq, pv, ptau, models, datas, exact)[0]; },
          41, 200));
  row("impulse dynamics / iD",
      compare(
          [&] {
            sink = velkor::impulse_dynamics(m, base, w, q, qd, *set, 0.0, 0.0, qdd, forces).has_value();
          },
          [&] { sink = pinocchio::impulseDynamics(pm, pd, pq, pv, models, datas, 0.0, exact)[0]; }, 41,
          200));
  row("derivatives / cD + cCDD",
      compare(
          [&] {
            sink = velkor::constrained_dynamics_derivatives(m, base, w, q, qd, tau, *set, no_loads, 0.0,
                                                            derivatives)
                       .has_value();
          },
          [&] {
            pinocchio::constraintDynamics(pm, pd, pq, pv, ptau, models, datas, exact);
            pinocchio::computeConstraintDynamicsDerivatives(pm, pd, models, datas, exact);
            sink = pd.ddq_dq(0, 0);
          },
          21, 50));
  // computeConstraintDynamicsDerivatives reads what constraintDynamics left in the data.
  pinocchio::constraintDynamics(pm, pd, pq, pv, ptau, models, datas, exact);
  row("  (cCDD alone)", compare(
                            [&] {
                              sink = velkor::constrained_dynamics_derivatives(
                                         m, base, w, q, qd, tau, *set, no_loads, 0.0, derivatives)
                                         .has_value();
                            },
                            [&] {
                              pinocchio::computeConstraintDynamicsDerivatives(pm, pd, models, datas,
                                                                              exact);
                              sink = pd.ddq_dq(0, 0);
                            },
                            21, 50));
}

#ifdef VELKOR_BENCH_CODEGEN
// velkor's fixed-base configuration in Pinocchio's coordinates, each joint found by
// name; `at[d]` is DOF d's velocity index there. A continuous joint's angle goes in
// as (cos, sin).
bool pinocchio_coordinates(const velkor::Model& m, const pinocchio::Model& pm, std::span<const double> q,
                           Eigen::VectorXd& pq, std::vector<Eigen::Index>& at) {
  pq = pinocchio::neutral(pm);
  at.assign(m.dof_count(), 0);
  for (std::size_t d = 0; d < m.dof_count(); ++d) {
    const std::string& name = m.joints[m.dof_list[d]].name;
    if (!pm.existJointName(name)) return false;
    const pinocchio::JointIndex j = pm.getJointId(name);
    at[d] = pm.idx_vs[j];
    const int iq = pm.idx_qs[j];
    if (pm.nqs[j] == 2) pq[iq] = std::cos(q[d]), pq[iq + 1] = std::sin(q[d]);
    else pq[iq] = q[d];
  }
  return true;
}

// The three kernels of velkor, Pinocchio and Pinocchio's generated code at one
// state, fixed base; then the largest differences from velkor's results.
void generated(const velkor::Model& m, const velkor::Base& base, velkor::Workspace& w,
               std::span<const double> q, std::span<const double> qd, std::span<const double> qdd,
               const pinocchio::Model& pm, pinocchio::Data& pd) {
  const std::size_t n = m.dof_count();
  Eigen::VectorXd gq;
  std::vector<Eigen::Index> at;
  if (!pinocchio_coordinates(m, pm, q, gq, at)) {
    std::printf("  a joint is missing from Pinocchio's model\n");
    return;
  }
  Eigen::VectorXd gv(pm.nv), ga(pm.nv), gtau(pm.nv);
  const std::vector<velkor::IndexedLoad> no_loads;
  std::vector<double> tau(n), out(n), mass(n * n);
  velkor::inverse_dynamics(m, base, w, q, qd, qdd, no_loads, tau).value();
  for (std::size_t d = 0; d < n; ++d) gv[at[d]] = qd[d], ga[at[d]] = qdd[d], gtau[at[d]] = tau[d];

  const auto start = std::chrono::steady_clock::now();
  std::unique_ptr<GeneratedKernels> gen;
  try {
    gen = std::make_unique<GeneratedKernels>(pm);
  } catch (const std::exception& e) {
    std::printf("  code generation failed: %s\n", e.what());
    return;
  }
  std::printf("  generated, compiled and loaded in %.1f s\n",
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  std::printf("  %-24s %8s %8s %9s %8s %9s %8s %6s %6s\n", "kernel (ns per call)", "velkor", "p10",
              "Pinocchio", "p10", "generated", "p10", "v/gen", "P/gen");
  row3("inverse dynamics / rnea",
       compare3(
           [&] { sink = velkor::inverse_dynamics(m, base, w, q, qd, qdd, no_loads, out).has_value(); },
           [&] { sink = pinocchio::rnea(pm, pd, gq, gv, ga)[0]; },
           [&] { sink = gen->rnea(gq, gv, ga)[0]; }));
  row3("mass matrix / crba",
       compare3([&] { sink = velkor::mass_matrix(m, base, w, q, mass).has_value(); },
                [&] { sink = pinocchio::crba(pm, pd, gq, pinocchio::Convention::WORLD)(0, 0); },
                [&] { sink = gen->crba(gq)(0, 0); }));
  row3("forward dynamics / aba",
       compare3(
           [&] { sink = velkor::forward_dynamics(m, base, w, q, qd, tau, no_loads, out).has_value(); },
           [&] { sink = pinocchio::aba(pm, pd, gq, gv, gtau, pinocchio::Convention::WORLD)[0]; },
           [&] { sink = gen->aba(gq, gv, gtau)[0]; }));

  // Largest |x - velkor's| over the entries (the upper triangle of M).
  double id[2] = {0, 0}, mm[2] = {0, 0}, fd[2] = {0, 0};
  velkor::inverse_dynamics(m, base, w, q, qd, qdd, no_loads, out).value();
  const Eigen::VectorXd& g_tau = gen->rnea(gq, gv, ga);
  const Eigen::VectorXd& p_tau = pinocchio::rnea(pm, pd, gq, gv, ga);
  for (std::size_t d = 0; d < n; ++d) {
    id[0] = std::max(id[0], std::abs(g_tau[at[d]] - out[d]));
    id[1] = std::max(id[1], std::abs(p_tau[at[d]] - out[d]));
  }
  velkor::mass_matrix(m, base, w, q, mass).value();
  const Eigen::MatrixXd& g_mass = gen->crba(gq);
  const Eigen::MatrixXd& p_mass = pinocchio::crba(pm, pd, gq, pinocchio::Convention::WORLD);
  for (std::size_t d = 0; d < n; ++d) {
    for (std::size_t e = 0; e < n; ++e) {
      const Eigen::Index i = std::min(at[d], at[e]), j = std::max(at[d], at[e]);
      mm[0] = std::max(mm[0], std::abs(g_mass(i, j) - mass[d * n + e]));
      mm[1] = std::max(mm[1], std::abs(p_mass(i, j) - mass[d * n + e]));
    }
  }
  velkor::forward_dynamics(m, base, w, q, qd, tau, no_loads, out).value();
  const Eigen::VectorXd& g_qdd = gen->aba(gq, gv, gtau);
  const Eigen::VectorXd& p_qdd = pinocchio::aba(pm, pd, gq, gv, gtau, pinocchio::Convention::WORLD);
  for (std::size_t d = 0; d < n; ++d) {
    fd[0] = std::max(fd[0], std::abs(g_qdd[at[d]] - out[d]));
    fd[1] = std::max(fd[1], std::abs(p_qdd[at[d]] - out[d]));
  }
  std::printf("  max |generated - velkor|: ID %.1e, M %.1e, FD %.1e\n", id[0], mm[0], fd[0]);
  std::printf("  max |Pinocchio - velkor|: ID %.1e, M %.1e, FD %.1e\n", id[1], mm[1], fd[1]);
}
#endif

void run(const char* label, const std::string& file, const char* tool, bool floating,
         const std::vector<ContactSpec>& feet = {}) {
  if (only_robot != nullptr && std::string(only_robot) != label) return;
  if (mode == Mode::Contacts && feet.empty()) return;
  if (mode == Mode::Generated && floating) return;
  const std::string path = without_mimic(file);
  auto model = velkor::RobotModel::from_urdf(path);
  if (!model) {
    std::printf("%s: %s\n", label, model.error().message().c_str());
    return;
  }
  const velkor::Model& m = model->model();
  const std::size_t n = m.dof_count(), b = floating ? 6 : 0, N = n + b;
  velkor::Workspace w(m.joint_count(), n);
  const velkor::Robot fixed(*model);
  std::optional<velkor::FloatingRobot> free;
  if (floating) {
    auto created = velkor::FloatingRobot::create(*model, velkor::MasslessRoot::Allow);
    if (!created) {
      std::printf("%s: %s\n", label, created.error().message().c_str());
      return;
    }
    free.emplace(std::move(*created));
  }

  pinocchio::Model pm;
  if (floating) pinocchio::urdf::buildModel(path, pinocchio::JointModelFreeFlyer(), pm);
  else pinocchio::urdf::buildModel(path, pm);
  pm.gravity.linear(Eigen::Vector3d(0, 0, -9.80665));
  pinocchio::Data pd(pm);
  if (static_cast<std::size_t>(pm.nv) != N) {
    std::printf("%s: Pinocchio has %d velocities, velkor %zu\n", label, pm.nv, N);
    return;
  }

  // One random state; Pinocchio's q uses (cos, sin) for continuous joints and a
  // quaternion for the free flyer, so take its own random configuration: the
  // work per call is the same.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> q(n), v(N), a(N), out(N), mass(N * N);
  for (double& x : q) x = uniform(rng);
  for (std::size_t i = 0; i < N; ++i) v[i] = uniform(rng), a[i] = uniform(rng);
  Eigen::VectorXd pq =
      pinocchio::randomConfiguration(pm, -Eigen::VectorXd::Ones(pm.nq), Eigen::VectorXd::Ones(pm.nq));
  if (floating) pq.segment<4>(3).normalize();
  const Eigen::Map<Eigen::VectorXd> pv(v.data(), N), pa(a.data(), N);
  const std::vector<velkor::IndexedLoad> no_loads;
  velkor::BaseState state;
  state.velocity = velkor::Twist{velkor::Vec3(v[0], v[1], v[2]), velkor::Vec3(v[3], v[4], v[5])};
  state.acceleration = velkor::Twist{velkor::Vec3(a[0], a[1], a[2]), velkor::Vec3(a[3], a[4], a[5])};
  const std::span<const double> qd(v.data() + b, n), qdd(a.data() + b, n);
  const velkor::Base base = floating ? velkor::free_base(*free, state) : velkor::fixed_base(fixed);

  std::printf("\n%s: n=%zu, %s base, %zu links\n", label, n, floating ? "floating" : "fixed",
              m.link_count());
#ifdef VELKOR_BENCH_CODEGEN
  if (mode == Mode::Generated) {
    generated(m, base, w, q, qd, qdd, pm, pd);
    return;
  }
#endif
  std::printf("  %-26s %9s %9s %9s %9s %7s\n", "kernel (ns per call)", "velkor", "p10", "Pinocchio",
              "p10", "ratio");
  const std::vector<double> tau = [&] {
    velkor::inverse_dynamics(m, base, w, q, qd, qdd, no_loads, out).value();
    return out;
  }();
  const Eigen::Map<const Eigen::VectorXd> ptau(tau.data(), N);
  if (mode == Mode::Contacts) {
    contacts(m, base, w, q, qd, tau, pm, pd, pq, pv, ptau, feet);
    return;
  }
  if (mode == Mode::All || mode == Mode::Kernels) {
    row("inverse dynamics / rnea",
        compare(
            [&] { sink = velkor::inverse_dynamics(m, base, w, q, qd, qdd, no_loads, out).has_value(); },
            [&] { sink = pinocchio::rnea(pm, pd, pq, pv, pa)[0]; }));
    row("mass matrix / crba",
        compare([&] { sink = velkor::mass_matrix(m, base, w, q, mass).has_value(); },
                [&] { sink = pinocchio::crba(pm, pd, pq, pinocchio::Convention::WORLD)(0, 0); }));
    const auto tool_link = m.find_link(tool);
    if (!tool_link) {
      std::printf("  %s: %s\n", tool, tool_link.error().message().c_str());
      return;
    }
    const velkor::LinkId target{m.id, *tool_link};
    const pinocchio::FrameIndex tool_frame = pm.getFrameId(tool, pinocchio::BODY);
    std::vector<double> poses(7 * m.link_count()), jacobian(6 * N);
    Eigen::Matrix<double, 6, Eigen::Dynamic> pJ = Eigen::MatrixXd::Zero(6, pm.nv);
    row("link poses / fK + uFP",
        compare(
            [&] {
                                       // the rows the binding returns
              sink =
                  velkor::forward_kinematics_rows(m, base.state.frame, q, w.frames, poses).has_value();
            },
            [&] {
              pinocchio::forwardKinematics(pm, pd, pq);
              pinocchio::updateFramePlacements(pm, pd);
              sink = pd.oMf[tool_frame].translation()[0];
            }));
    row("jacobian / cFJ",
        compare([&] { sink = velkor::jacobian(m, base, w, q, target, jacobian).has_value(); },
                [&] {
                  pinocchio::computeFrameJacobian(pm, pd, pq, tool_frame, pinocchio::LOCAL_WORLD_ALIGNED,
                                                  pJ);
                  sink = pJ(0, 0);
                }));
    row("gravity / cGG",
        compare([&] { sink = velkor::gravity(m, base, w, q, no_loads, out).has_value(); },
                [&] { sink = pinocchio::computeGeneralizedGravity(pm, pd, pq)[0]; }));
    row("forward dynamics / aba",
        compare(
            [&] { sink = velkor::forward_dynamics(m, base, w, q, qd, tau, no_loads, out).has_value(); },
            [&] { sink = pinocchio::aba(pm, pd, pq, pv, ptau, pinocchio::Convention::WORLD)[0]; }));
    row("  (aba LOCAL)",
        compare(
            [&] { sink = velkor::forward_dynamics(m, base, w, q, qd, tau, no_loads, out).has_value(); },
            [&] { sink = pinocchio::aba(pm, pd, pq, pv, ptau, pinocchio::Convention::LOCAL)[0]; }));
  }
  if (mode == Mode::Kernels) return;
  std::vector<double> d1(N * N), d2(N * N), d3(N * N);
  Eigen::MatrixXd g_q = Eigen::MatrixXd::Zero(pm.nv, pm.nv);
  row("ID derivatives / RNEA", compare(
                                   [&] {
                                     sink = velkor::inverse_dynamics_derivatives(m, base, w, q, qd, qdd,
                                                                                 no_loads, d1, d2)
                                                .has_value();
                                   },
                                   [&] {
                                     pinocchio::computeRNEADerivatives(pm, pd, pq, pv, pa);
                                     sink = pd.dtau_dq(0, 0);
                                   },
                                   21, 200));
  row("FD derivatives / ABA", compare(
                                  [&] {
                                    sink = velkor::forward_dynamics_derivatives(m, base, w, q, qd, tau,
                                                                                no_loads, d1, d2, d3)
                                               .has_value();
                                  },
                                  [&] {
                                    pinocchio::computeABADerivatives(pm, pd, pq, pv, ptau);
                                    sink = pd.ddq_dq(0, 0);
                                  },
                                  21, 200));
  row("gravity derivatives",
      compare([&] { sink = velkor::gravity_derivatives(m, base, w, q, d1).has_value(); },
              [&] {
                pinocchio::computeGeneralizedGravityDerivatives(pm, pd, pq, g_q);
                sink = g_q(0, 0);
              },
              21, 200));
}

}  // namespace

int main(int argc, char** argv) {
#ifdef VELKOR_BENCH_CODEGEN
  mode = Mode::Generated;
  if (argc > 1) only_robot = argv[1];
#else
  if (argc > 1 && std::string(argv[1]) == "derivatives") mode = Mode::Derivatives;
  if (argc > 1 && std::string(argv[1]) == "contacts") mode = Mode::Contacts;
  if (argc > 1 && std::string(argv[1]) == "kernels") mode = Mode::Kernels;
  if (argc > 2) only_robot = argv[2];
#endif
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) std::printf("load average: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  const std::string robots = ROBOTS_DIR;
  run("Panda", robots + "/panda_description/urdf/panda.urdf", "panda_hand_tcp", false);
  run("UR5", robots + "/ur_description/urdf/ur5_robot.urdf", "tool0", false);
  run("iiwa", PYBULLET_DATA "/kuka_iiwa/model.urdf", "lbr_iiwa_link_7", false);
  run("Baxter", robots + "/baxter_description/urdf/baxter.urdf", "left_gripper", false);
  run("Talos", robots + "/talos_data/robots/talos_full_v2.urdf", "gripper_left_base_link", false);
  using velkor::ConstraintKind;
  run("Talos", robots + "/talos_data/robots/talos_full_v2.urdf", "gripper_left_base_link", true,
      {{ConstraintKind::Frame, "left_sole_link"}, {ConstraintKind::Frame, "right_sole_link"}});
  run("Solo12", robots + "/solo_description/robots/solo12.urdf", "FL_FOOT", true,
      {{ConstraintKind::Point, "FL_FOOT"},
       {ConstraintKind::Point, "FR_FOOT"},
       {ConstraintKind::Point, "HL_FOOT"},
       {ConstraintKind::Point, "HR_FOOT"}});
  return 0;
}
