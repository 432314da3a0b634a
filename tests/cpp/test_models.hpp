// What the C++ tests share: the model a test reads from the file named on its
// command line, the two bases a check runs on (the robot's own fixed base and a
// free base turned, off the origin and moving), random joint vectors, and the
// count of failed checks with the line that ends a run.
#pragma once

#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "interrupt.hpp"
#include "robot/base.hpp"
#include "robot/model.hpp"
#include "robot/robot.hpp"

namespace velkor::test {

// The checks that failed so far (each prints its own FAIL line).
inline int failures = 0;

// Prints "N failed"; the exit status of the run.
inline int verdict() {
  std::printf("%d failed\n", failures);
  return failures == 0 ? 0 : 1;
}

// The model in `path`, its mimic joints as `mimic` says (MimicPolicy::Couple:
// it must have some); else a FAIL line, a failure counted, and none.
inline std::optional<RobotModel> load(const std::string& path, MimicPolicy mimic = MimicPolicy::Reject) {
  Interrupt never;
  ImportOptions options;
  options.mimic = mimic;
  auto model = RobotModel::from_urdf(path, never, options);
  if (model && (mimic != MimicPolicy::Couple || model->model().coupling)) return std::move(*model);
  std::printf("FAIL load %s: %s\n", path.c_str(),
              model ? "no coupled mimic joints" : model.error().message().c_str());
  ++failures;
  return std::nullopt;
}

// Where a floating robot's checks put its base: turned, off the origin and
// moving, not accelerating.
inline const BaseState moving_base{Pose{Quat(0.9, 0.1, -0.2, 0.3).normalized(), Vec3(0.1, 0.2, 0.5)},
                                   Twist{Vec3(0.3, -0.2, 0.1), Vec3(0.5, 0.1, -0.2)}, Twist{}};

// check(label, model, base) on a Robot of `model` (its fixed base), then on a
// FloatingRobot of it at moving_base.
template <class Check>
void on_both_bases(const RobotModel& model, Check&& check) {
  const Robot robot(model);
  check("fixed base", robot.model(), fixed_base(robot));
  const auto floating = FloatingRobot::create(model);
  if (!floating) {
    std::printf("FAIL floating base: %s\n", floating.error().message().c_str());
    ++failures;
    return;
  }
  check("floating base", floating->model(), free_base(*floating, moving_base));
}

// `count` values, each `scale` times a draw uniform in [-1, 1).
inline std::vector<double> uniform(std::size_t count, double scale, std::mt19937& rng) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<double> values(count);
  for (double& v : values) v = scale * unit(rng);
  return values;
}

}  // namespace velkor::test
