// Median nanoseconds per call of velkor's inverse dynamics, mass matrix and
// forward dynamics kernels and of the peer's rnea, crba and aba, measured
// alternately on the same robots and states. Mimic elements are removed from
// the descriptions first so both libraries see the same independent joints.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <pinocchio/algorithm/aba.hpp>
#include <pinocchio/algorithm/crba.hpp>
#include <pinocchio/algorithm/joint-configuration.hpp>
#include <pinocchio/algorithm/rnea.hpp>
#include <pinocchio/parsers/urdf.hpp>

#include "robot/dynamics/forward_dynamics.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"

namespace {

std::string without_mimic(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string stripped = std::regex_replace(text.str(), std::regex("<mimic[^>]*/>"), "");
  const std::string out = "/tmp/velkor_bench_" + std::to_string(std::hash<std::string>{}(path)) + ".urdf";
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

// Alternating batches; returns the medians of both.
template <class A, class B>
std::pair<double, double> compare(A&& a, B&& b, int batches = 31, int calls = 2000) {
  std::vector<double> ta, tb;
  for (int k = 0; k < batches; ++k) {
    ta.push_back(batch_ns(a, calls));
    tb.push_back(batch_ns(b, calls));
  }
  std::nth_element(ta.begin(), ta.begin() + batches / 2, ta.end());
  std::nth_element(tb.begin(), tb.begin() + batches / 2, tb.end());
  return {ta[batches / 2], tb[batches / 2]};
}

volatile double sink;

void run(const char* label, const std::string& file) {
  const std::string path = without_mimic(file);
  auto model = velkor::RobotModel::from_urdf(path);
  if (!model) {
    std::printf("%s: %s\n", label, model.error().message().c_str());
    return;
  }
  velkor::Robot robot(*model);
  const velkor::Model& m = robot.model();
  const std::size_t n = m.dof_count();
  velkor::Workspace w(m.joint_count(), n);

  pinocchio::Model pm;
  pinocchio::urdf::buildModel(path, pm);
  pm.gravity.linear(Eigen::Vector3d(0, 0, -9.80665));
  pinocchio::Data pd(pm);
  if (static_cast<std::size_t>(pm.nv) != n) {
    std::printf("%s: the peer has %d velocities, velkor %zu DOFs\n", label, pm.nv, n);
    return;
  }

  // One random state; the peer's q uses (cos, sin) for continuous joints, so
  // take its own random configuration for it: the work per call is the same.
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> q(n), qd(n), qdd(n), out(n), mass(n * n);
  for (std::size_t i = 0; i < n; ++i) q[i] = uniform(rng), qd[i] = uniform(rng), qdd[i] = uniform(rng);
  Eigen::VectorXd pq = pinocchio::randomConfiguration(pm, -Eigen::VectorXd::Ones(pm.nq), Eigen::VectorXd::Ones(pm.nq));
  const Eigen::Map<Eigen::VectorXd> pv(qd.data(), n), pa(qdd.data(), n);
  const std::vector<velkor::IndexedLoad> no_loads;

  std::printf("%-14s n=%-3zu %-18s %10s %10s %7s\n", label, n, "kernel", "velkor ns", "peer ns", "ratio");
  const auto row = [&](const char* name, std::pair<double, double> t) {
    std::printf("%-14s %-24s %10.0f %10.0f %7.2f\n", "", name, t.first, t.second, t.first / t.second);
  };
  row("inverse dynamics", compare(
      [&] { sink = velkor::inverse_dynamics(robot, w, q, qd, qdd, no_loads, out).has_value(); },
      [&] { sink = pinocchio::rnea(pm, pd, pq, pv, pa)[0]; }));
  row("mass matrix", compare(
      [&] { sink = velkor::mass_matrix(robot, w, q, mass).has_value(); },
      [&] { sink = pinocchio::crba(pm, pd, pq)(0, 0); }));
  const std::vector<double> tau = out;
  const Eigen::Map<const Eigen::VectorXd> ptau(tau.data(), n);
  row("forward dynamics", compare(
      [&] { sink = velkor::forward_dynamics(robot, w, q, qd, tau, no_loads, out).has_value(); },
      [&] { sink = pinocchio::aba(pm, pd, pq, pv, ptau)[0]; }));
}

}  // namespace

int main() {
  const std::string robots = ROBOTS_DIR;
  run("panda", robots + "/panda_description/urdf/panda.urdf");
  run("ur5", robots + "/ur_description/urdf/ur5_robot.urdf");
  run("talos (fixed)", robots + "/talos_data/robots/talos_full_v2.urdf");
  return 0;
}
