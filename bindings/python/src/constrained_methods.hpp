// The constrained dynamics methods of both handle kinds, written once (see
// computing_method.hpp for the skeleton they share), the constraint sides'
// poses, and robot.constraint_set.
#pragma once

#include "computing_method.hpp"
#include "constraint_set.hpp"
#include "robot/dynamics/constrained_dynamics.hpp"
#include "robot/dynamics/constraint_rows.hpp"

namespace velkor::py {

namespace methods {

// forces has the generalized count, as forward_dynamics'; tau= is its older name
// (for constrained_dynamics_derivatives too).
struct constrained_forward_dynamics {
  static constexpr MethodDescription description{
      .name = "constrained_forward_dynamics",
      .parameters = {"q", "qd", "forces", "constraints", "loads", "regularization", "out"},
      .required = 4,
      .vectors = 3,
      .result = Result::Generalized,
      .results = 2,
      .tail = 1,
      .unmatched = 1,
      .loads = 4,
      .constraints = 3,
      .numbers = {{{5, &regularization_option}}},
      .out = 6,
      .keyword_only = 2,
      .interruptible = true,
      .alias = "tau",
      .alias_of = 2};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            const std::array<std::span<double>, 2>& out,
                                            const Inputs& in) {
    return velkor::constrained_forward_dynamics(
        c.model(), call.base(c), c.workspace, in[0], in[1], in[2], call.constraints(), call.loads(),
        call.number(regularization_option), out[0], out[1], call.interrupt());
  }
};

struct impulse_dynamics {
  static constexpr MethodDescription description{
      .name = "impulse_dynamics",
      .parameters = {"q", "qd", "constraints", "restitution", "regularization", "out"},
      .required = 3,
      .vectors = 2,
      .result = Result::Generalized,
      .results = 2,
      .tail = 1,
      .constraints = 2,
      .numbers = {{{4, &regularization_option}, {3, &restitution_option}}},
      .out = 5,
      .keyword_only = 3,
      .interruptible = true};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            const std::array<std::span<double>, 2>& out,
                                            const Inputs& in) {
    return velkor::impulse_dynamics(c.model(), call.base(c), c.workspace, in[0], in[1],
                                    call.constraints(), call.number(restitution_option),
                                    call.number(regularization_option), out[0], out[1],
                                    call.interrupt());
  }
};

struct constraint_jacobian {
  static constexpr MethodDescription description{.name = "constraint_jacobian",
                                                 .parameters = {"q", "constraints", "out"},
                                                 .required = 2,
                                                 .vectors = 1,
                                                 .result = Result::ConstraintJacobian,
                                                 .constraints = 1,
                                                 .out = 2};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::constraint_jacobian(c.model(), call.base(c), c.workspace, in[0], call.constraints(),
                                       out);
  }
};

struct constraint_acceleration_bias {
  static constexpr MethodDescription description{.name = "constraint_acceleration_bias",
                                                 .parameters = {"q", "qd", "constraints", "out"},
                                                 .required = 3,
                                                 .vectors = 2,
                                                 .result = Result::ConstraintRows,
                                                 .constraints = 2,
                                                 .out = 3};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::constraint_acceleration_bias(c.model(), call.base(c), c.workspace, in[0], in[1],
                                                call.constraints(), out);
  }
};

struct constraint_poses {
  static constexpr MethodDescription description{.name = "constraint_poses",
                                                 .parameters = {"q", "constraints", "out"},
                                                 .required = 2,
                                                 .vectors = 1,
                                                 .result = Result::ConstraintPoses,
                                                 .constraints = 1,
                                                 .out = 2};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::constraint_poses(c.model(), call.base(c), c.workspace, in[0], call.constraints(),
                                    out);
  }
};

struct constrained_dynamics_derivatives {
  // constrained_forward_dynamics' arguments; six results: three N·N, then three m·N.
  static constexpr MethodDescription description = [] {
    MethodDescription d =
        derivatives_of(constrained_forward_dynamics::description, "constrained_dynamics_derivatives", 6);
    d.tail_result = Result::ConstraintJacobian;
    d.tail = 3;
    return d;
  }();
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            const std::array<std::span<double>, 6>& out,
                                            const Inputs& in) {
    return velkor::constrained_dynamics_derivatives(
        c.model(), call.base(c), c.workspace, in[0], in[1], in[2], call.constraints(), call.loads(),
        call.number(regularization_option), out, call.interrupt());
  }
};

}  // namespace methods

// The paragraphs on errors and cost the constrained rows end with: `solver`
// lists the SolverErrors, `options` the number options' ValueErrors (lines
// ending in a line break).
#define VELKOR_CONSTRAINED_ERRORS(solver, options)                                \
  "Raises " solver "ValueError for " options                                      \
  "q (\"expected n elements in q, found m\", \"q contains a\n"                    \
  "non-finite value\"), the other vectors, base (FloatingRobot), loads, out\n"    \
  "(\"out must contain exactly K elements\", \"the arrays in out must not\n"      \
  "overlap\"), a constraint set of another model (\"the constraint set belongs\n" \
  "to another robot model\"); TypeError when constraints is not a\n"              \
  "velkor.ConstraintSet and for other wrong types; RuntimeError \"robot is\n"     \
  "closed\"; PanicError on an internal fault."

#define VELKOR_CONSTRAINED_SOLVER                                                  \
  "SolverError for linearly dependent rows without\n"                              \
  "regularization (\"the constraint rows are linearly dependent (row r repeats\n"  \
  "earlier rows): ... pass regularization > 0 for the minimum-norm forces\"),\n"   \
  "a regularized solve that does not converge on rows that cannot all hold\n"      \
  "(\"the regularized constraint solve did not converge ...\") or too slowly at\n" \
  "this regularization (\"the proximal iteration of the regularized constraint\n"  \
  "solve stalled ...\"), a mass matrix that is not positive definite in\n"         \
  "floating point or a result that is not finite;\n"

#define VELKOR_REGULARIZATION_ERROR \
  "regularization (\"regularization must be a finite\nnumber, 0 or more, got -1.0\"),\n"

#define VELKOR_RESTITUTION_ERROR "restitution (\"restitution must be a number from 0 to\n1, got 1.5\"), "

#define VELKOR_NON_FINITE "SolverError for a result that is not finite;\n"

#define VELKOR_CONSTRAINED_COST                                                 \
  "Cost: O(n·d² + m·n·d + m²·n + m³) for n DOFs d deep and m constraint rows\n" \
  "(the tree-sparse factor of M, M⁻¹·Jᵀ, J·M⁻¹·Jᵀ and its factor); holds the\n" \
  "handle's lock, releases the interpreter lock while computing; no\n"          \
  "allocation with out= (and loads None or a LoadBuffer) once the handle has\n" \
  "seen a constraint set of that size. On the main thread a signal handler\n"   \
  "that raises (Ctrl-C) ends a long solve with its exception within\n"          \
  "milliseconds, out untouched."

#define VELKOR_KINEMATIC_CONSTRAINT_COST(order)                              \
  "Cost: " order                                                             \
  " for n DOFs and m constraint rows; holds the handle's lock,\n"            \
  "releases the interpreter lock while computing; no allocation with out=\n" \
  "once the handle has seen a constraint set of that size."

#define VELKOR_SIDES_COST                                             \
  "Cost: O(n + S) for n DOFs and S sides; holds the handle's lock,\n" \
  "releases the interpreter lock while computing; no allocation with out=."

// The method table row of robot.constraint_set, shared by both handle kinds.
#define VELKOR_CONSTRAINT_SET_ROW(CoreRobot)                                                            \
  {"constraint_set", fastcall_entry<handle_constraint_set<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS, \
   "constraint_set($self, items, *, baumgarte=(0.0, 0.0))\n--\n\n"                                      \
   "A new velkor.ConstraintSet of this robot's model from items, a sequence of\n"                       \
   "velkor.Contact and velkor.LoopClosure: its rows are the items' rows in\n"                           \
   "order (3 per point, 6 per frame). The link ids are checked against this\n"                          \
   "robot and the offsets and targets accepted (quaternions normalised).\n"                             \
   "baumgarte=(kp, kd), keyword-only: the stabilisation gains (1/s², 1/s), two\n"                       \
   "finite numbers, 0 or more; each row then requires J·q̈ + J̇·q̇ = -kd·(J·q̇) -\n"                        \
   "kp·e with e its position error, and (0, 0) holds the rows' accelerations\n"                         \
   "exactly. An empty sequence gives a set of no rows (the free dynamics). The\n"                       \
   "set serves every handle of this model: this one, its forks, their batches.\n\n"                     \
   "Raises TypeError when items is not a sequence of Contact and LoopClosure or\n"                      \
   "baumgarte is not two numbers; ValueError for a link id the robot does not\n"                        \
   "have (\"items[1]: invalid link id 9\"), a pose with non-finite values or a\n"                       \
   "zero quaternion (\"items[0]: pose contains ...\"), baumgarte of another\n"                          \
   "length, non-finite or negative (\"invalid constraint: baumgarte gains must\n"                       \
   "be finite and not negative\"); RuntimeError \"robot is closed\". Takes the\n"                       \
   "handle's lock; allocates the set, O(number of items)."}

// The prose of the constraints' rows, shared by both handle kinds: `velocity`
// says what the generalized coordinates are, `columns` what a FloatingRobot's
// base columns of the derivatives mean (lines of the docstrings, each ending
// in a line break).
#define VELKOR_CONSTRAINED_PROSE(CoreRobot, velocity, columns)                                             \
  VELKOR_PROSE(                                                                                            \
      CoreRobot, constrained_forward_dynamics,                                                             \
      "Accelerations under the constraints (Gauss's principle): the pair (qdd,\n"                          \
      "forces). qdd: N generalized accelerations as forward_dynamics returns\n"                            \
      "them, the ones closest to the free accelerations in the metric of the\n"                            \
      "mass matrix M for which every row of constraints satisfies J·qdd + J̇·v =\n"                         \
      "-kd·(J·v) - kp·e, (kp, kd) its baumgarte gains. forces: the m constraint\n"                         \
      "forces f, what the environment exerts on the robot at the constraint\n"                             \
      "points (a loop closure: on link_a), world axes: N for a point row, N·m\n"                           \
      "then N for a frame row; M·qdd + b = forces + Jᵀ·f with the argument\n"                              \
      "forces, the N generalized forces as forward_dynamics takes them (tau= is\n"                         \
      "an alias of it: giving both is a TypeError).\n" velocity                                            \
      "loads: as for forward_dynamics. regularization=μ (keyword-only): with\n"                            \
      "μ > 0, linearly dependent rows are solved by proximal iterations, which\n"                          \
      "converge to the minimum-norm forces. out (keyword-only): None or a tuple\n"                         \
      "of two float64 arrays of N and m values, not overlapping, which is\n"                               \
      "returned.\n\n" VELKOR_CONSTRAINED_ERRORS(                                                           \
          VELKOR_CONSTRAINED_SOLVER,                                                                       \
          VELKOR_REGULARIZATION_ERROR) " out is written only on success.\n\n" VELKOR_CONSTRAINED_COST)     \
  VELKOR_PROSE(                                                                                            \
      CoreRobot, impulse_dynamics,                                                                         \
      "Velocities just after an impact that engages the constraints: the pair\n"                           \
      "(qd_after, impulses). qd_after: the N generalized velocities after, so\n"                           \
      "that J·qd_after = -restitution·(J·v) for the velocities v before.\n" velocity                       \
      "impulses: the m constraint impulses Λ, world axes (N·s; a frame row\n"                              \
      "N·m·s then N·s), with qd_after = v + M⁻¹·Jᵀ·Λ. restitution (keyword-only)\n"                        \
      "from 0 (the rows stop) to 1 (their velocities reverse); regularization as\n"                        \
      "for constrained_forward_dynamics. The baumgarte gains are not used. out\n"                          \
      "(keyword-only): None or a tuple of two float64 arrays of N and m values,\n"                         \
      "not overlapping, which is returned.\n\n" VELKOR_CONSTRAINED_ERRORS(                                 \
          VELKOR_CONSTRAINED_SOLVER,                                                                       \
          VELKOR_RESTITUTION_ERROR                                                                         \
              VELKOR_REGULARIZATION_ERROR) " out is written only on success.\n\n" VELKOR_CONSTRAINED_COST) \
  VELKOR_PROSE(                                                                                            \
      CoreRobot, constraint_jacobian,                                                                      \
      "Constraint Jacobian J at positions q: a flat m·N float64 array,\n"                                  \
      "column-major (entry (r, c) at m·c + r; velkor.as_matrix(result, m) gives\n"                         \
      "the m x N view), so that J·v is the velocity of the m constraint rows,\n"                           \
      "world axes: m/s for a point row, rad/s then m/s for a frame row (a loop\n"                          \
      "closure: link_a's minus link_b's). Rows in the set's order\n"                                       \
      "(constraints.rows).\n" velocity "\n" VELKOR_CONSTRAINED_ERRORS(                                     \
          VELKOR_NON_FINITE,                                                                               \
          "") " out is written only on success.\n\n" VELKOR_KINEMATIC_CONSTRAINT_COST("O(n + m·N)"))       \
  VELKOR_PROSE(                                                                                            \
      CoreRobot, constraint_acceleration_bias,                                                             \
      "J̇·v at positions q and velocities qd: the m constraint rows'\n"                                     \
      "acceleration at zero generalized acceleration, world axes: m/s² for a\n"                            \
      "point row (classical acceleration), rad/s² then m/s² for a frame row.\n"                            \
      "Gravity does not enter.\n" velocity "\n" VELKOR_CONSTRAINED_ERRORS(                                 \
          VELKOR_NON_FINITE,                                                                               \
          "") " out is written only on success.\n\n" VELKOR_KINEMATIC_CONSTRAINT_COST("O(n + m)"))         \
  VELKOR_PROSE(CoreRobot, constraint_poses,                                                                \
               "World pose of each side of the constraints at positions q: a flat float64\n"               \
               "array of 7·S, S rows of 7, [tx, ty, tz, qx, qy, qz, qw] as\n"                              \
               "forward_kinematics_all writes a link's (metres, world axes; a unit\n"                      \
               "quaternion of either sign); poses.reshape(-1, 7) gives the rows. The rows\n"               \
               "follow the items: each one's side a, the point or frame its offset places\n"               \
               "on its link (a Contact: link_id and offset; a loop closure: link_a and\n"                  \
               "offset_a), then a loop closure's side b (link_b and offset_b); S is the\n"                 \
               "number of items plus that of loop closures. A point side's axes are its\n"                 \
               "link's turned by its offset, as a frame's. A Contact's target is no side\n"                \
               "(it is the item's own world pose). The root link is placed by the base\n"                  \
               "frame (Robot) or by base.frame (FloatingRobot); constraint_jacobian's rows\n"              \
               "are these points' and frames' velocities.\n\n" VELKOR_CONSTRAINED_ERRORS(                  \
                   VELKOR_NON_FINITE, "") " out is written only on success.\n\n" VELKOR_SIDES_COST)        \
  VELKOR_PROSE(                                                                                            \
      CoreRobot, constrained_dynamics_derivatives,                                                         \
      "Partial derivatives of constrained_forward_dynamics (same arguments, tau=\n"                        \
      "an alias of forces): six\n"                                                                         \
      "flat float64 arrays, column-major, (dqdd_dq, dqdd_dqd, dqdd_dtau), N·N\n"                           \
      "each (entry (r, c) = d qdd_r / d x_c at N·c + r), then (dforces_dq,\n"                              \
      "dforces_dqd, dforces_dtau), m·N each (entry (r, c) at m·c + r), in the\n"                           \
      "units of the results per unit of each coordinate.\n" columns                                        \
      "out (keyword-only): None or a tuple of six such arrays, not overlapping,\n"                         \
      "which is returned.\n\n" VELKOR_CONSTRAINED_ERRORS(                                                  \
          VELKOR_CONSTRAINED_SOLVER, VELKOR_REGULARIZATION_ERROR) "\n\n" VELKOR_CONSTRAINED_COST)

}  // namespace velkor::py
