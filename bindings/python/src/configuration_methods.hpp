// The configuration-space methods of both handle kinds (integrate, difference,
// interpolate and their derivatives), written once on the computing-method
// skeleton (computing_method.hpp). They take no `base`: a FloatingRobot's
// configuration carries its base pose. They work in the coordinates callers
// see: a coupled model's free ones.
#pragma once

#include "computing_method.hpp"
#include "robot/configuration.hpp"
#include "rollout.hpp"

namespace velkor::py {

namespace methods {

// The description of a method of two vectors, `first` and `second`, then
// `number` (unless nullptr; required where it shows no default) and an out.
// The second is unmatched: a velocity has another length than a
// configuration, and of two configurations the core names the one that is not
// C long.
constexpr MethodDescription configuration_method(const char* name, const char* first, const char* second,
                                                 Result result, const NumberOption* number = nullptr) {
  MethodDescription d{.name = name,
                      .parameters = {first, second},
                      .required = 2,
                      .vectors = 2,
                      .result = result,
                      .unmatched = 1,
                      .takes_base = false};
  std::size_t next = 2;
  if (number != nullptr) {
    d.numbers[0] = {static_cast<int>(next), number};
    d.parameters[next++] = number->name;
    if (number->shown[0] == '\0') d.required = 3;  // no default: required
  }
  d.parameters[next] = "out";
  d.out = static_cast<int>(next);
  return d;
}

struct integrate {
  static constexpr MethodDescription description =
      configuration_method("integrate", "configuration", "velocity", Result::Configuration, &dt_option);
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::integrate(c.model(), call.base(c), in[0], in[1], call.number(dt_option), out);
  }
};

struct difference {
  static constexpr MethodDescription description =
      configuration_method("difference", "configuration0", "configuration1", Result::Generalized);
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::difference(c.model(), call.base(c), in[0], in[1], out);
  }
};

struct interpolate {
  static constexpr MethodDescription description = configuration_method(
      "interpolate", "configuration0", "configuration1", Result::Configuration, &t_option);
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::interpolate(c.model(), call.base(c), in[0], in[1], call.number(t_option), out);
  }
};

struct integrate_derivatives {
  // integrate's arguments; a pair of N·N results.
  static constexpr MethodDescription description =
      derivatives_of(integrate::description, "integrate_derivatives", 2);
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            const std::array<std::span<double>, 2>& out,
                                            const Inputs& in) {
    return velkor::integrate_derivatives(c.model(), call.base(c), in[0], in[1], call.number(dt_option),
                                         out[0], out[1]);
  }
};

struct difference_derivatives {
  // difference's arguments; a pair of N·N results.
  static constexpr MethodDescription description =
      derivatives_of(difference::description, "difference_derivatives", 2);
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            const std::array<std::span<double>, 2>& out,
                                            const Inputs& in) {
    return velkor::difference_derivatives(c.model(), call.base(c), in[0], in[1], out[0], out[1]);
  }
};

// Its description only: the rollout has entries of its own (rollout_method and
// batch_rollout in batch.cpp), since its forces and results have a row per step.
struct rollout {
  static constexpr MethodDescription description{
      .name = "rollout",
      .parameters = {"configuration", "velocity", "forces", "dt", "constraints", "regularization",
                     "out"},
      .required = 4,
      .vectors = 2,
      .result = Result::Configuration,
      .results = 2,
      .unmatched = 1,
      .constraints = 4,
      .numbers = {{{5, &regularization_option}, {3, &step_option}}},
      .out = 6,
      .keyword_only = 3,
      .takes_base = false};
};

}  // namespace methods

// What every configuration method's docstring ends with.
#define VELKOR_CONFIGURATION_ERRORS(names)                                          \
  "Raises ValueError for " names                                                    \
  " of another length (\"expected C elements in\n"                                  \
  "configuration, found k\"), a non-finite value (\"configuration contains a\n"     \
  "non-finite value\"), a base quaternion that cannot be normalised, out (\"out\n"  \
  "must contain exactly K elements\", \"The given array is already borrowed\");\n"  \
  "TypeError for wrong types; RuntimeError \"robot is closed\"; PanicError on an\n" \
  "internal fault."

#define VELKOR_CONFIGURATION_COST                                              \
  "Cost: O(n) (the derivatives: O(N²) to fill); holds the handle's lock and\n" \
  "releases the interpreter lock while computing; no allocation with out=."

// The prose of the configuration-space rows, shared by both handle kinds:
// `layout` says what a configuration and a velocity are, `base` what the
// derivatives' base block is (lines ending in a line break).
#define VELKOR_CONFIGURATION_PROSE(CoreRobot, layout, base)                                                      \
  VELKOR_PROSE(                                                                                                  \
      CoreRobot, integrate,                                                                                      \
      "The configuration reached from `configuration` after dt seconds at the\n"                                 \
      "constant generalized velocity `velocity`: a new array of C values (or\n"                                  \
      "out).\n" layout                                                                                           \
      "dt: a finite number (negative goes back). Joint limits are not applied.\n\n" VELKOR_CONFIGURATION_ERRORS( \
          "configuration, velocity") "\n\n" VELKOR_CONFIGURATION_COST)                                           \
  VELKOR_PROSE(CoreRobot, difference,                                                                            \
               "The generalized velocity v (N values) that moves configuration0 to\n"                            \
               "configuration1 in unit time: integrate(configuration0, v, 1) equals\n"                           \
               "configuration1 (to round-off).\n" layout                                                         \
               "A base turns by the shortest rotation (angle at most pi); joints\n"                              \
               "subtract (q1 - q0, no wrapping of continuous joints).\n\n" VELKOR_CONFIGURATION_ERRORS(          \
                   "configuration0, configuration1") "\n\n" VELKOR_CONFIGURATION_COST)                           \
  VELKOR_PROSE(CoreRobot, interpolate,                                                                           \
               "integrate(configuration0, difference(configuration0, configuration1),\n"                         \
               "t), with the same bits: configuration0 at t = 0, configuration1 at t = 1\n"                      \
               "(to round-off), the base along its shortest rotation at constant rate.\n"                        \
               "t: a finite number (outside 0..1 extrapolates).\n" layout                                        \
               "\n" VELKOR_CONFIGURATION_ERRORS(                                                                 \
                   "configuration0, configuration1") "\n\n" VELKOR_CONFIGURATION_COST)                           \
  VELKOR_PROSE(                                                                                                  \
      CoreRobot, integrate_derivatives,                                                                          \
      "Partial derivatives of integrate(configuration, velocity, dt): the pair\n"                                \
      "(d_configuration, d_velocity), flat N·N float64 arrays, column-major\n"                                   \
      "(entry (r, c) at N·c + r; velkor.as_matrix(result, N) gives the N x N\n"                                  \
      "view). Column c is the change of the result, measured in tangent\n"                                       \
      "coordinates as difference(result, perturbed result), per unit of\n"                                       \
      "tangent coordinate c of the configuration (see difference_derivatives)\n"                                 \
      "or of the velocity. Joint blocks: identity and dt times identity.\n" base                                 \
      "out: None or a tuple of two such arrays, not overlapping.\n\n" VELKOR_CONFIGURATION_ERRORS(               \
          "configuration, velocity") "\n\n" VELKOR_CONFIGURATION_COST)                                           \
  VELKOR_PROSE(                                                                                                  \
      CoreRobot, difference_derivatives,                                                                         \
      "Partial derivatives of difference(configuration0, configuration1): the\n"                                 \
      "pair (d_configuration0, d_configuration1), flat N·N float64 arrays,\n"                                    \
      "column-major (entry (r, c) at N·c + r). Column c is the change of the\n"                                  \
      "velocity per unit of tangent coordinate c of that configuration: c ⊕ δ\n"                                 \
      "= integrate(c, δ, 1). Joint blocks: minus and plus identity.\n" base                                      \
      "out: None or a tuple of two such arrays, not overlapping.\n\n" VELKOR_CONFIGURATION_ERRORS(               \
          "configuration0, configuration1") "\n\n" VELKOR_CONFIGURATION_COST)

// The prose of the rollout's row: `step` is the Python loop it reproduces
// (lines ending in a line break).
#define VELKOR_ROLLOUT_PROSE(CoreRobot, step)                                                  \
  VELKOR_PROSE(CoreRobot, rollout,                                                             \
               "Moves the state (configuration, velocity) through T steps of dt seconds\n"     \
               "under forces, a (T, N) array (row t the generalized forces of step t, as\n"    \
               "forward_dynamics takes them), by semi-implicit Euler, and returns the pair\n"  \
               "(configurations, velocities): new float64 arrays of shape (T+1, C) and\n"      \
               "(T+1, N), row t the state after t steps, row 0 the state as given. Each\n"     \
               "step has exactly the bits of this loop of single calls::\n\n" step             \
               "\n"                                                                            \
               "With constraints (a velkor.ConstraintSet, keyword-only), q̈ comes from\n"       \
               "constrained_forward_dynamics(..., constraints, regularization=...), whose\n"   \
               "baumgarte gains keep the constrained points (a standing robot's feet) in\n"    \
               "place. Joint limits are not enforced: nothing stops at a limit. dt: a\n"       \
               "finite number above 0 (s). out (keyword-only): None or a tuple of two\n"       \
               "C-contiguous float64 arrays of those shapes, not overlapping, which is\n"      \
               "returned.\n\n"                                                                 \
               "Raises ValueError for configuration, velocity (\"expected C elements in\n"     \
               "configuration, found k\", non-finite values), forces (\"expected N elements\n" \
               "in each row of forces, found k\"), dt (\"dt must be a finite number above\n"   \
               "0, got 0.0\"), regularization, out, a constraint set of another model;\n"      \
               "SolverError for a step whose dynamics fail or overflow (\"... (step t)\":\n"   \
               "the error of that step, out then holds the steps before it); TypeError\n"      \
               "for wrong types; RuntimeError \"robot is closed\"; the exception of a\n"       \
               "signal handler (Ctrl-C), polled between steps; PanicError on an internal\n"    \
               "fault.\n\n"                                                                    \
               "Cost: T forward dynamics (O(n·d) each, or the constrained solve's cost) and\n" \
               "integrations; holds the handle's lock and releases the interpreter lock\n"     \
               "for the whole rollout; allocates the two results only (with a constraint\n"    \
               "set, once per handle and set size). robot.batch().rollout runs many.")

}  // namespace velkor::py
