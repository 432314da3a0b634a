// Forward dynamics with coupled mimic joints against the reduced-coordinate
// solution built from the same model's mass matrix and inverse dynamics:
// (Gᵀ M G) q̈ = τ − Gᵀ b(G q + b, G q̇), on a fixed and a floating base.
#include <Eigen/Dense>
#include <cstdio>
#include <random>
#include <vector>

#include "robot/dynamics/forward_dynamics.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"
#include "test_models.hpp"

using namespace velkor;
using test::failures;

namespace {

void check(const char* label, const Model& m, const Base& base, std::mt19937& rng) {
  const Coupling& coupling = *m.coupling;
  const std::size_t n = m.dof_count(), o = base.coordinates(), F = coupling.free_count();
  const std::size_t N = n + o, R = F + o;
  Eigen::MatrixXd G = Eigen::MatrixXd::Zero(N, R);
  for (std::size_t i = 0; i < o; ++i) G(i, i) = 1.0;
  for (std::size_t d = 0; d < n; ++d) G(o + d, o + coupling.group[d]) = coupling.multiplier[d];
  Workspace w(m.joint_count(), n);
  double worst = 0.0;
  for (int trial = 0; trial < 20; ++trial) {
    const auto q = test::uniform(F, 1.0, rng), qd = test::uniform(F, 2.0, rng),
               tau = test::uniform(R, 1.0, rng);
    std::vector<double> q_full(n), qd_full(n), zero(n, 0.0);
    for (std::size_t d = 0; d < n; ++d) {
      q_full[d] = coupling.multiplier[d] * q[coupling.group[d]] + coupling.offset[d];
      qd_full[d] = coupling.multiplier[d] * qd[coupling.group[d]];
    }
    std::vector<double> got(R), M(N * N), bias(N);
    if (!forward_dynamics(m, base, w, q, qd, tau, {}, got)) {
      std::printf("FAIL %s: coupled forward dynamics failed\n", label);
      ++failures;
      return;
    }
    (void)mass_matrix(m, base, w, q_full, M, Coordinates::Full);
    if (base.floating) {  // the base's zero classical acceleration: b from inverse dynamics
      (void)inverse_dynamics(m, base, w, q_full, qd_full, zero, {}, bias, Coordinates::Full);
    } else {
      (void)inverse_dynamics(m, base, w, q_full, qd_full, zero, {}, bias, Coordinates::Full);
    }
    const Eigen::MatrixXd Mr = G.transpose() * Eigen::Map<Eigen::MatrixXd>(M.data(), N, N) * G;
    const Eigen::VectorXd rhs = Eigen::Map<const Eigen::VectorXd>(tau.data(), R) -
                                G.transpose() * Eigen::Map<Eigen::VectorXd>(bias.data(), N);
    const Eigen::VectorXd expected = Mr.ldlt().solve(rhs);
    const Eigen::VectorXd difference = Eigen::Map<Eigen::VectorXd>(got.data(), R) - expected;
    worst = std::max(worst, difference.cwiseAbs().maxCoeff() / (1.0 + expected.cwiseAbs().maxCoeff()));
  }
  const bool ok = worst < 1e-12;
  failures += !ok;
  std::printf("%s %s: %zu DOFs, %zu free, most open groups %zu, worst relative difference %.1e\n",
              ok ? "ok  " : "FAIL", label, n, F, coupling.most_open, worst);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <URDF with mimic joints>\n", argv[0]);
    return 2;
  }
  const auto model = test::load(argv[1], MimicPolicy::Couple);
  if (!model) return test::verdict();
  std::mt19937 rng(28);
  test::on_both_bases(
      *model, [&](const char* label, const Model& m, const Base& base) { check(label, m, base, rng); });
  return test::verdict();
}
