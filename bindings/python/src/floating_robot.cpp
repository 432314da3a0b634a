// The FloatingRobot handle: the root link moves freely and every computing
// method takes the base state as its first argument.
#include "batch.hpp"
#include "configuration_methods.hpp"
#include "constrained_methods.hpp"
#include "dynamics_methods.hpp"
#include "handle.hpp"
#include "handle_model.hpp"
#include "handle_rows.hpp"
#include "ik_problem.hpp"
#include "kinematics_methods.hpp"
#include "pickling.hpp"
#include "robot.hpp"
#include "values.hpp"

namespace velkor::py {

// The prose of the computing methods' rows (handle_rows.hpp) on a FloatingRobot.
VELKOR_WHOLE_BODY_PROSE(FloatingRobot)
VELKOR_CONSTRAINED_PROSE(FloatingRobot,
                         "N = 6 + n: the base's 6 coordinates first (angular, then linear,\n"
                         "world axes; its velocity from base.velocity), then the n joints; qd\n"
                         "holds the n joint rates.\n",
                         "Base columns as forward_dynamics_derivatives' (world axes): position\n"
                         "columns a rotation of the whole robot about the root-link origin, then a\n"
                         "translation of that origin, with base.velocity, base.acceleration,\n"
                         "gravity and link-frame loads held fixed; velocity columns base.velocity's\n"
                         "angular, then linear components.\n")
VELKOR_DERIVATIVE_PROSE(FloatingRobot,
                        "Columns and rows 0-5 belong to the base (world axes, angular first).\n"
                        "Position columns: a rotation of the whole robot about the root-link\n"
                        "origin, then a translation of that origin (whose columns are zero), with\n"
                        "base.velocity, base.acceleration (classical), gravity and each load in its\n"
                        "link's frame held fixed; velocity columns: base.velocity's angular, then\n"
                        "linear components. Base rows: the base wrench (torque about the root-link\n"
                        "origin, then force), world axes. See the conventions page for conversion\n"
                        "to a local-frame convention.\n")
VELKOR_CONFIGURATION_PROSE(FloatingRobot,
                           "No base argument: a configuration (C = 7 + n values) is the root link's\n"
                           "world position (m), its orientation quaternion (x, y, z, w; need not be\n"
                           "unit, it is normalised; results are unit) and the n joint positions; a\n"
                           "velocity (N = 6 + n) the base's angular velocity and the root-link\n"
                           "origin's linear velocity (world axes), then the joint rates. The base\n"
                           "moves with both held constant in world axes: R <- exp(dt[w]x) R, p <- p +\n"
                           "dt v (not a screw motion; see the conventions page for Pinocchio's).\n",
                           "Base block (tangent coordinates 0-5, world axes): c ⊕ δ turns the robot by\n"
                           "exp([δθ]x) on the left, about the root-link origin, then moves that origin\n"
                           "by δp, as the dynamics derivatives' base columns do.\n")
VELKOR_ROLLOUT_PROSE(FloatingRobot,
                     "    c, v = configuration, velocity\n"
                     "    for f in forces:\n"
                     "        base = velkor.BaseState.from_configuration(c, v)\n"
                     "        v = v + dt * robot.forward_dynamics(base, c[7:], v[6:], f)\n"
                     "        c = robot.integrate(c, v, dt)\n")
VELKOR_KINEMATICS_PROSE(FloatingRobot)
VELKOR_PROSE(FloatingRobot, gravity,
             "Generalized forces that hold the robot still against gravity_vector\n"
             "at positions q: 6 + n values, the wrench the base must apply to the\n"
             "root link (torque about its origin, then force; world axes, N·m and\n"
             "N), then the n joint forces. Only base.frame's orientation is used.\n"
             "loads: a LoadBuffer of this robot, a sequence of velkor.Load, or\n"
             "None; the joints supply +J^T w for each load w a link exerts.\n\n"
             "Raises ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), base, loads, out (\"out must contain\n"
             "exactly K elements\"); TypeError for wrong types; RuntimeError\n"
             "\"robot is closed\"; PanicError on an internal fault. Cost: holds the\n"
             "handle's lock, releases the interpreter lock while computing; no\n"
             "allocation with out= and loads None or a LoadBuffer.")
VELKOR_PROSE(FloatingRobot, inverse_dynamics,
             "Generalized forces (6 + n values) for the motion given by base\n"
             "(velocity, and acceleration: angular and classical linear of the\n"
             "root-link origin, world axes) and q, qd, qdd: the wrench the base\n"
             "must apply to the root link (torque about its origin, then force;\n"
             "world axes), then the n joint forces; gravity_vector included,\n"
             "recursive Newton-Euler. loads: a LoadBuffer of this robot, a\n"
             "sequence of velkor.Load, or None; the joints supply +J^T w for each\n"
             "load w a link exerts.\n\n"
             "Raises ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), qd, qdd, base, loads, out (\"out must\n"
             "contain exactly K elements\"); TypeError for wrong types;\n"
             "RuntimeError \"robot is closed\"; PanicError on an internal fault.\n"
             "Cost: holds the handle's lock, releases the interpreter lock while\n"
             "computing; no allocation with out= and loads None or a LoadBuffer.")
VELKOR_PROSE(FloatingRobot, forward_dynamics,
             "Generalized accelerations (6 + n values: angular and classical linear\n"
             "acceleration of the root-link origin, world axes, then qdd) under the\n"
             "generalized forces `forces` (6 + n values: a wrench on the root link,\n"
             "torque about its origin then force, world axes, then the n joint\n"
             "forces) at q, qd and base.velocity (base.acceleration is not read),\n"
             "with gravity_vector; articulated-body algorithm. loads: a LoadBuffer\n"
             "of this robot, a sequence of velkor.Load, or None; the joints supply\n"
             "+J^T w for each load w a link exerts.\n\n"
             "Raises SolverError for a singular or ill-conditioned articulated\n"
             "inertia (\"forward dynamics found singular ...\") or a non-finite\n"
             "result, ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), qd, forces, base, loads, out (\"out\n"
             "must contain exactly K elements\"); TypeError for wrong types;\n"
             "RuntimeError \"robot is closed\"; PanicError on an internal fault.\n"
             "Cost: holds the handle's lock, releases the interpreter lock while\n"
             "computing; no allocation with out= and loads None or a LoadBuffer.")
VELKOR_PROSE(FloatingRobot, mass_matrix,
             "Generalized inertia matrix at positions q (composite-rigid-body\n"
             "algorithm): flat N·N float64 with N = 6 + n, column-major (entry (r,\n"
             "c) at N·c + r); velkor.as_matrix(result, N) gives the N x N view.\n"
             "Rows and columns: the 6 base coordinates first (angular, linear,\n"
             "world axes), then the n joints. Symmetric (the 6 x 6 base block to\n"
             "round-off); only base.frame's orientation is used.\n\n"
             "Raises ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), base, out (\"out must contain exactly\n"
             "K elements\"); TypeError for wrong types; RuntimeError \"robot is\n"
             "closed\"; PanicError on an internal fault. Cost: holds the handle's\n"
             "lock, releases the interpreter lock while computing; no allocation\n"
             "with out=.")
VELKOR_PROSE(FloatingRobot, velocity_product_forces,
             "Coriolis and centrifugal generalized forces (6 + n values) at\n"
             "positions q and velocities qd, the base turning at base.velocity's\n"
             "angular velocity (its linear velocity adds nothing): inverse\n"
             "dynamics at zero accelerations without gravity or loads. The base\n"
             "wrench on the root link (torque about its origin, then force; world\n"
             "axes) comes first, then the n joint forces.\n\n"
             "Raises ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), qd, base, out (\"out must contain\n"
             "exactly K elements\"); TypeError for wrong types; RuntimeError\n"
             "\"robot is closed\"; PanicError on an internal fault. Cost: holds the\n"
             "handle's lock, releases the interpreter lock while computing; no\n"
             "allocation with out=.")

namespace {

using Core = FloatingRobot;  // the handle kind of the listed rows

PyMethodDef handle_methods[] = {
    {"from_urdf", fastcall_entry<handle_from_urdf<FloatingRobot>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_urdf($cls, path, *, mimic='reject', massless_root='reject', inertia_tolerance=0.0)\n--\n\n"
     "Loads a FloatingRobot from the URDF file at path: the same as\n"
     "FloatingRobot(path, mimic=..., massless_root=..., inertia_tolerance=...).\n"
     "Raises ModelError when the file cannot be read, parsed or built (or its\n"
     "root link is massless), ValueError for an unknown option value or an\n"
     "inertia_tolerance outside [0, 0.001], TypeError when path is not a str or\n"
     "os.PathLike or inertia_tolerance not a real number. Reads and builds with\n"
     "the interpreter lock released; a signal handler that raises (Ctrl-C) ends\n"
     "the load with its exception."},
    {"from_urdf_string", fastcall_entry<handle_from_urdf_string<FloatingRobot>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_urdf_string($cls, xml, *, mimic='reject', massless_root='reject', inertia_tolerance=0.0)\n--\n\n"
     "Loads a FloatingRobot from a URDF document held in a str, with the same\n"
     "options, checks and error texts as a file: ModelError for a document that\n"
     "cannot be parsed or built (or a massless root link), ValueError for an\n"
     "unknown option value or an inertia_tolerance outside [0, 0.001], TypeError\n"
     "when xml is not a str or inertia_tolerance not a real number. Parses and\n"
     "builds with the interpreter lock released."},
    {"fork", entry<handle_fork<FloatingRobot>>, METH_NOARGS,
     "fork($self)\n--\n\n"
     "A new handle on the same model (shared, immutable) with its own workspace\n"
     "and its own lock, so calls on the two handles run in parallel from different\n"
     "threads. It starts with this handle's gravity_vector; later changes on\n"
     "either handle do not reach the other. Raises RuntimeError \"robot is closed\".\n"
     "Allocates the new workspace."},
    VELKOR_MODEL_METHODS(FloatingRobot),
    VELKOR_BATCH_ROW(FloatingRobot),
    VELKOR_CONSTRAINT_SET_ROW(FloatingRobot),
    VELKOR_IK_PROBLEM_ROW(FloatingRobot,
                          "A configuration (posture, a row of solve_many) is the root link's\n"
                          "world position (m), its orientation quaternion (x, y, z, w) and the n\n"
                          "joint positions (C = 7 + n).\n",
                          "Δv holds the base's 6 coordinates (angular, then\n"
                          "linear, world axes: the root link moves freely), then the n joint\n"
                          "steps (N = 6 + n).\n"),
    VELKOR_HANDLE_ROWS(VELKOR_NO_ROW),
};

PyGetSetDef getset[] = {
    VELKOR_MODEL_GETSET(FloatingRobot,
                        "N = 6 + n, the length of generalized vectors (velocities, forces, Jacobian\n"
                        "columns): the 6 base coordinates (angular, linear, world axes), then the n\n"
                        "joints. Raises RuntimeError \"robot is closed\" after close().",
                        "C = 7 + n, the length of a configuration array (integrate, difference,\n"
                        "rollout): the root link's world position, its orientation quaternion (x,\n"
                        "y, z, w), then the n joint positions. Raises RuntimeError \"robot is\n"
                        "closed\" after close()."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* doc =
    "FloatingRobot(path, *, mimic='reject', massless_root='reject', inertia_tolerance=0.0)\n"
    "--\n\n"
    "A robot whose root link (link 0) moves freely, loaded from a URDF file.\n"
    "Every computing method takes a velkor.BaseState first: the world pose,\n"
    "velocity and acceleration of the root link.\n\n"
    "Generalized vectors and matrices have N = generalized_count = 6 + n\n"
    "entries: the 6 base coordinates first (angular, then linear, world axes),\n"
    "then the n joints in DOF order. massless_root='allow' (keyword-only)\n"
    "accepts a massless root link when the links fixed to it carry mass; mimic\n"
    "and inertia_tolerance (link inertias that are not positive semi-definite\n"
    "by a rounding, see repaired_inertias) work as for Robot. Raises ModelError\n"
    "when the file cannot be read, parsed or built (also for a massless root\n"
    "under 'reject'), ValueError for another option value or an\n"
    "inertia_tolerance outside [0, 0.001], TypeError for other argument types.\n"
    "Loading, locking, threads, close() and the SolverError for a result that\n"
    "overflows work as for Robot.";

}  // namespace

bool create_floating_robot_type() {
  return create_handle_type<FloatingRobot>(types().floating_robot, "velkor.FloatingRobot", doc,
                                           handle_methods, getset);
}

}  // namespace velkor::py
