// The mass matrix's joint axes are a row of their own: the outward pass over the
// bodies it placed reads them, gives the same motion as the pass that places the
// bodies itself, and gives it again when it runs a second time (a pass that kept
// its velocities where it read the axes would not).
#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "robot/dynamics/constraint_rows.hpp"
#include "robot/dynamics/mass_matrix.hpp"
#include "test_models.hpp"

using namespace velkor;
using test::failures;

namespace {

double largest_difference(const std::vector<Vec6>& a, const std::vector<Vec6>& b, std::size_t count) {
  double worst = 0.0;
  for (std::size_t i = 0; i < count; ++i)
    worst = std::max(worst, (a[i] - b[i]).cwiseAbs().maxCoeff() / (1.0 + b[i].cwiseAbs().maxCoeff()));
  return worst;
}

void check(const char* label, const Model& model, const Base& base, std::mt19937& rng) {
  const std::size_t n = model.dof_count(), N = n + base.coordinates();
  const Model& bodies = model.moving();
  Workspace w(model.joint_count(), n);
  const RootFrame root = root_frame(base, Twist{});
  double worst = 0.0;
  bool repeated = true;
  for (int trial = 0; trial < 10; ++trial) {
    const auto q = test::uniform(n, 1.0, rng), qd = test::uniform(n, 2.0, rng);
    std::vector<double> M(N * N);
    if (!mass_matrix(model, base, w, q, M)) {
      std::printf("FAIL %s: mass matrix failed\n", label);
      ++failures;
      return;
    }
    placed_motion_pass(bodies, w.joint_axes, qd, root, w);
    const std::vector<Vec6> v = w.fd_velocity, S = w.motion_axes;
    placed_motion_pass(bodies, w.joint_axes, qd, root, w);
    repeated = repeated && v == w.fd_velocity && S == w.motion_axes;
    motion_pass(bodies, q, qd, {}, root, w);
    worst = std::max({worst, largest_difference(v, w.fd_velocity, bodies.joint_count()),
                      largest_difference(S, w.motion_axes, n)});
  }
  const bool ok = repeated && worst < 1e-13;
  failures += !ok;
  std::printf("%s %s: %zu DOFs, second pass %s, worst relative difference to the placing pass %.1e\n",
              ok ? "ok  " : "FAIL", label, n, repeated ? "the same" : "DIFFERENT", worst);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <URDF>\n", argv[0]);
    return 2;
  }
  const auto model = test::load(argv[1]);
  if (!model) return test::verdict();
  std::mt19937 rng(40);
  test::on_both_bases(
      *model, [&](const char* label, const Model& m, const Base& base) { check(label, m, base, rng); });
  return test::verdict();
}
