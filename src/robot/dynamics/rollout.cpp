#include "robot/dynamics/rollout.hpp"

#include <cmath>

#include "finite.hpp"
#include "robot/checks.hpp"
#include "robot/configuration.hpp"
#include "robot/dynamics/constrained_dynamics.hpp"
#include "robot/dynamics/forward_dynamics.hpp"

namespace velkor {

std::expected<void, Error> rollout(const Model& model, const Base& base, Workspace& w,
                                   const RolloutInput& input, Interrupt& interrupt,
                                   std::span<double> configurations, std::span<double> velocities,
                                   std::size_t& step) {
  step = no_rollout_step;
  const std::size_t n = coordinate_count(model), N = base.coordinates() + n;
  const std::size_t C = configuration_size(model, base), T = input.steps;
  VELKOR_TRY(check_configuration(model, base, input.configuration, "configuration"));
  VELKOR_TRY(check_velocity(model, base, input.velocity, "velocity"));
  if (input.forces.size() != T * N)
    return std::unexpected(wrong_length("forces", T * N, input.forces.size()));
  if (!std::isfinite(input.dt)) return std::unexpected(errors::NonFiniteInput{"dt"});
  VELKOR_TRY(check_output(configurations, (T + 1) * C, "out"));
  VELKOR_TRY(check_output(velocities, (T + 1) * N, "out"));
  const std::size_t m = input.constraints ? input.constraints->count() : 0;
  if (w.rollout_forces.size() < m) w.rollout_forces.resize(m);
  const std::span<double> forces_out(w.rollout_forces.data(), m);

  std::copy(input.configuration.begin(), input.configuration.end(), configurations.begin());
  std::copy(input.velocity.begin(), input.velocity.end(), velocities.begin());
  const std::size_t joints_c = C - n, joints_v = N - n;
  Base at = base;
  for (std::size_t t = 0; t < T; ++t) {
    const auto failed = [&](Error error) {
      step = t;
      return std::unexpected(std::move(error));
    };
    if (t > 0 && interrupt.due()) return failed(errors::Interrupted{});
    const double* c = configurations.data() + t * C;
    const double* v = velocities.data() + t * N;
    double* c_next = configurations.data() + (t + 1) * C;
    double* v_next = velocities.data() + (t + 1) * N;
    const std::span<const double> f = input.forces.subspan(t * N, N);
    const std::span<const double> q(c + joints_c, n), qd(v + joints_v, n);
    const std::span<double> qdd(v_next, N);
    if (base.floating)  // the base state the single call builds from (c_t, v_t)
      at.state = BaseState{*configuration_pose(c), Twist{Vec3(v[0], v[1], v[2]), Vec3(v[3], v[4], v[5])},
                           Twist{}};
    const Pose* pose = base.floating ? &at.state.frame : nullptr;  // what integrate reads of c_t
    // q̈_t, in the caller's coordinates (a coupled model's free ones) either way
    const auto accelerations = input.constraints ? constrained_forward_dynamics(
                                                       model, at, w, q, qd, f, *input.constraints, {},
                                                       input.regularization, qdd, forces_out, interrupt)
                                                 : forward_dynamics(model, at, w, q, qd, f, {}, qdd);
    if (!accelerations) return failed(accelerations.error());
    // v_{t+1} = v_t + dt·q̈_t
    for (std::size_t i = 0; i < N; ++i) v_next[i] = v[i] + input.dt * v_next[i];
    if (!all_finite({v_next, N})) return failed(errors::NonFiniteResult{"rollout"});
    // c_{t+1} = integrate(c_t, v_{t+1}, dt)
    integrate_unchecked(model, pose, c, v_next, input.dt, c_next);
    // (a finite result holds a unit quaternion: integrate normalises it)
    if (!all_finite({c_next, C})) return failed(errors::NonFiniteResult{"rollout"});
  }
  return {};
}

}  // namespace velkor
