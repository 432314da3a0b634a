// The Robot handle: a fixed-base robot placed in the world by its base frame.
#include "robot.hpp"

#include "batch.hpp"
#include "configuration_methods.hpp"
#include "constrained_methods.hpp"
#include "dynamics_methods.hpp"
#include "handle.hpp"
#include "handle_model.hpp"
#include "handle_rows.hpp"
#include "ik_options.hpp"
#include "ik_problem.hpp"
#include "kinematics_methods.hpp"
#include "pickling.hpp"
#include "robot/ik/inverse_kinematics.hpp"
#include "values.hpp"

namespace velkor::py {

// The prose of the computing methods' rows (handle_rows.hpp) on a Robot.
VELKOR_WHOLE_BODY_PROSE(Robot)
VELKOR_CONSTRAINED_PROSE(Robot, "N = n, the joints in DOF order; the base is at rest.\n", "")
VELKOR_DERIVATIVE_PROSE(Robot, "")
VELKOR_CONFIGURATION_PROSE(Robot,
                           "A configuration is the n joint positions (C = n), a velocity the n\n"
                           "joint rates (N = n), DOF order.\n",
                           "")
VELKOR_ROLLOUT_PROSE(Robot,
                     "    c, v = configuration, velocity\n"
                     "    for f in forces:\n"
                     "        v = v + dt * robot.forward_dynamics(c, v, f)\n"
                     "        c = robot.integrate(c, v, dt)\n")
VELKOR_KINEMATICS_PROSE(Robot)
VELKOR_PROSE(Robot, gravity,
             "Joint forces that hold the robot still against gravity_vector at\n"
             "positions q: g(q), n values in DOF order (N·m or N), the same as\n"
             "inverse_dynamics(q, 0, 0, loads). The base frame's orientation sets\n"
             "the direction of gravity relative to the robot. loads: a LoadBuffer\n"
             "of this robot, a sequence of velkor.Load, or None; the joints\n"
             "supply +J^T w for each load w a link exerts.\n\n"
             "Raises ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), loads, out (\"out must contain\n"
             "exactly K elements\"); TypeError for wrong types; RuntimeError\n"
             "\"robot is closed\"; PanicError on an internal fault. Cost: holds the\n"
             "handle's lock, releases the interpreter lock while computing; no\n"
             "allocation with out= and loads None or a LoadBuffer.")
VELKOR_PROSE(Robot, inverse_dynamics,
             "Joint forces tau = M(q)·qdd + c(q, qd) + g(q) (n values, N·m or N,\n"
             "DOF order) that give accelerations qdd at positions q and velocities\n"
             "qd, with gravity_vector and the base at rest; recursive\n"
             "Newton-Euler. loads: a LoadBuffer of this robot, a sequence of\n"
             "velkor.Load, or None; the joints supply +J^T w for each load w a\n"
             "link exerts.\n\n"
             "Raises ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), qd, qdd, loads, out (\"out must\n"
             "contain exactly K elements\"); TypeError for wrong types;\n"
             "RuntimeError \"robot is closed\"; PanicError on an internal fault.\n"
             "Cost: holds the handle's lock, releases the interpreter lock while\n"
             "computing; no allocation with out= and loads None or a LoadBuffer.")
VELKOR_PROSE(Robot, forward_dynamics,
             "Joint accelerations qdd (n values, rad/s² or m/s², DOF order) under\n"
             "the joint forces `forces` (n values, N·m or N) at positions q and\n"
             "velocities qd, with gravity_vector: solves M·qdd = forces - c - g -\n"
             "J^T w (articulated-body algorithm). loads: a LoadBuffer of this\n"
             "robot, a sequence of velkor.Load, or None; the joints supply +J^T w\n"
             "for each load w a link exerts.\n\n"
             "Raises SolverError for a singular articulated inertia (\"forward\n"
             "dynamics found singular articulated inertia at joint DOF k\") or a\n"
             "non-finite result, ValueError for q (\"expected n elements in q,\n"
             "found m\", \"q contains a non-finite value\"), qd, forces, loads, out\n"
             "(\"out must contain exactly K elements\"); TypeError for wrong types;\n"
             "RuntimeError \"robot is closed\"; PanicError on an internal fault.\n"
             "Cost: holds the handle's lock, releases the interpreter lock while\n"
             "computing; no allocation with out= and loads None or a LoadBuffer.")
VELKOR_PROSE(Robot, mass_matrix,
             "Joint-space inertia matrix M(q) at positions q (composite-rigid-body\n"
             "algorithm): flat n·n float64, column-major (entry (r, c) at n·c + r),\n"
             "symmetric; velkor.as_matrix(result, n) gives the n x n view. Entries\n"
             "in kg·m², kg·m or kg as the joints are revolute or prismatic.\n\n"
             "Raises ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), out (\"out must contain exactly K\n"
             "elements\"); TypeError for wrong types; RuntimeError \"robot is\n"
             "closed\"; PanicError on an internal fault. Cost: holds the handle's\n"
             "lock, releases the interpreter lock while computing; no allocation\n"
             "with out=.")
VELKOR_PROSE(Robot, velocity_product_forces,
             "Coriolis and centrifugal joint forces c(q, qd) = C(q, qd)·qd (n\n"
             "values, N·m or N, DOF order) at positions q and velocities qd:\n"
             "inverse dynamics at zero acceleration without gravity or loads.\n\n"
             "Raises ValueError for q (\"expected n elements in q, found m\", \"q\n"
             "contains a non-finite value\"), qd, out (\"out must contain exactly K\n"
             "elements\"); TypeError for wrong types; RuntimeError \"robot is\n"
             "closed\"; PanicError on an internal fault. Cost: holds the handle's\n"
             "lock, releases the interpreter lock while computing; no allocation\n"
             "with out=.")

namespace {

using H = Handle<Robot>;
using Core = Robot;  // the handle kind of the listed rows

PyObject* set_base_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"frame"};
  static constexpr Signature signature{"Robot.set_base_frame", names, 1, 1};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const auto frame = pose_argument(arg[0], "frame");
  if (!frame) return nullptr;
  H& h = handle_of<Robot>(self);
  const bool ok = with_locked(h, [&](Calculation<Robot>& calculation, DeferredError& error) {
    if (!frame->all_finite()) {
      error.set(errors::InvalidBaseState{"frame", "must contain only finite values"});
      return;
    }
    calculation.robot.set_base_frame(*frame);
  });
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* inverse_kinematics(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const names[] = {"q", "target", "desired", "options", "out"};
  static constexpr Signature signature{"Robot.inverse_kinematics", names, 5, 3};
  PyObject* arg[5];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  InputArray q;
  Hold held;
  if (!q.extract(arg[0], "q") || !InputArray::hold({&q, 1}, held)) return nullptr;
  const auto index = link_index_argument(arg[1], "target");
  if (!index) return nullptr;
  const auto desired = pose_argument(arg[2], "desired");
  if (!desired) return nullptr;
  const auto options = ik_options_argument(arg[3], "options");
  if (!options || !OutputArray::check_type(arg[4])) return nullptr;
  H& h = handle_of<Robot>(self);
  const auto target = target_link(*h.link_table, *index);
  if (!target) return nullptr;
  // Solves can be long (the iteration bound is the caller's): Ctrl-C ends them.
  Interrupt interrupt = signal_interrupt();
  return array_method(
      h, arg[4], h.dof_count, {q.values()}, [&](Calculation<Robot>& c, double* out, const Inputs& in) {
        return velkor::inverse_kinematics(c.robot, c.workspace, in[0], *target, *desired, *options,
                                          std::span<double>(out, h.dof_count), interrupt);
      });
}

constexpr const char* inverse_kinematics_doc =
    "inverse_kinematics($self, q, target, desired, options=None, out=None)\n--\n\n"
    "Joint positions (n values, DOF order) that bring link target to the world\n"
    "pose desired (origin and axes), by damped least squares on the Jacobian from\n"
    "q; only the DOFs between the root and target move. options: a\n"
    "velkor.IkOptions, or None for the defaults.\n\n"
    "The position limits are not applied while it iterates; a converged\n"
    "solution with a joint outside them is refused with SolverError\n"
    "\"inverse-kinematics solution X for joint i (NAME) is outside URDF limits [LO, HI]\"\n"
    "even when the target is reachable within them: ik_problem with a\n"
    "velkor.PoseTask of the same link and target keeps every joint within its\n"
    "limits.\n\n"
    "Raises SolverError when the solve does not converge within max_iterations\n"
    "(\"inverse kinematics did not converge after ...\"), its linear solve fails,\n"
    "or the solution leaves the position limits (out is then untouched),\n"
    "ValueError for q, target (\"invalid link id 5\"), desired, options, out (\"out\n"
    "must contain exactly K elements\"); TypeError for wrong types; RuntimeError\n"
    "\"robot is closed\"; PanicError on an internal fault. Cost: holds the handle's\n"
    "lock, releases the interpreter lock while computing; no allocation with\n"
    "out=. On the main thread signal handlers run every 5 ms; one that raises\n"
    "(Ctrl-C) ends the solve with its exception.";

// The row of a listed method on Robot only: its entry and docstring above.
#define VELKOR_FIXED_ROW(name) \
  {#name, fastcall_entry<name>(), METH_FASTCALL | METH_KEYWORDS, name##_doc},

PyMethodDef handle_methods[] = {
    {"from_urdf", fastcall_entry<handle_from_urdf<Robot>>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_urdf($cls, path, *, mimic='reject', inertia_tolerance=0.0)\n--\n\n"
     "Loads a Robot from the URDF file at path: the same as Robot(path,\n"
     "mimic=..., inertia_tolerance=...). Raises ModelError when the file cannot be\n"
     "read, parsed or built, ValueError for an unknown mimic value or an\n"
     "inertia_tolerance outside [0, 0.001], TypeError when path is not a str or\n"
     "os.PathLike or inertia_tolerance not a real number. Reads and builds with\n"
     "the interpreter lock released; a signal handler that raises (Ctrl-C) ends\n"
     "the load with its exception."},
    {"from_urdf_string", fastcall_entry<handle_from_urdf_string<Robot>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_urdf_string($cls, xml, *, mimic='reject', inertia_tolerance=0.0)\n--\n\n"
     "Loads a Robot from a URDF document held in a str, with the same options,\n"
     "checks and error texts as a file: ModelError for a document that cannot be\n"
     "parsed or built, ValueError for an unknown mimic value or an\n"
     "inertia_tolerance outside [0, 0.001], TypeError when xml is not a str or\n"
     "inertia_tolerance not a real number. Parses and builds with the\n"
     "interpreter lock released."},
    {"fork", entry<handle_fork<Robot>>, METH_NOARGS,
     "fork($self)\n--\n\n"
     "A new handle on the same model (shared, immutable) with its own workspace\n"
     "and its own lock, so calls on the two handles run in parallel from different\n"
     "threads. It starts with this handle's base frame and gravity_vector; later\n"
     "changes on either handle do not reach the other. Raises RuntimeError \"robot\n"
     "is closed\". Allocates the new workspace."},
    {"set_base_frame", fastcall_entry<set_base_frame>(), METH_FASTCALL | METH_KEYWORDS,
     "set_base_frame($self, frame)\n--\n\n"
     "Places the root link in the world: frame (a velkor.Pose, metres) becomes the\n"
     "world pose of link 0 for every later call on this handle; its quaternion is\n"
     "normalised. Kinematics results follow it, and its orientation sets the\n"
     "direction of gravity_vector relative to the robot in the dynamics. Raises\n"
     "TypeError when frame is not a Pose, ValueError \"pose contains non-finite\n"
     "values or a zero quaternion\", RuntimeError \"robot is closed\". Takes the\n"
     "handle's lock."},
    VELKOR_MODEL_METHODS(Robot),
    VELKOR_BATCH_ROW(Robot),
    VELKOR_CONSTRAINT_SET_ROW(Robot),
    VELKOR_IK_PROBLEM_ROW(Robot,
                          "A configuration (posture, a solve's start) is the n joint positions\n"
                          "(C = n, DOF order).\n",
                          "Δv holds the n joint steps (N = n); the base frame\n"
                          "(set_base_frame) places the robot in the world the targets are\n"
                          "given in.\n"),
    VELKOR_HANDLE_ROWS(VELKOR_FIXED_ROW),
};
#undef VELKOR_FIXED_ROW

PyGetSetDef getset[] = {
    VELKOR_MODEL_GETSET(Robot,
                        "N, the length of generalized vectors (velocities, forces, Jacobian columns):\n"
                        "equal to n for a fixed base. Raises RuntimeError \"robot is closed\" after\n"
                        "close().",
                        "C = n, the length of a configuration array (integrate, difference,\n"
                        "rollout): the joint positions. Raises RuntimeError \"robot is closed\"\n"
                        "after close()."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* doc =
    "Robot(path, *, mimic='reject', inertia_tolerance=0.0)\n--\n\n"
    "A fixed-base robot loaded from a URDF file; its root link\n"
    "(link 0) is placed in the world by the base frame (identity\n"
    "until set_base_frame).\n\n"
    "path: str or os.PathLike. mimic (keyword-only): 'couple' makes\n"
    "every moving <mimic> joint follow its leader (q = multiplier *\n"
    "q_leader + offset, chains resolved): the DOFs, dof_names,\n"
    "limits and every array are those of the free joints only,\n"
    "generalized forces act on whole groups (tau = G^T tau_full) and\n"
    "Jacobian columns add up (J G); 'independent' makes every moving\n"
    "<mimic> joint an ordinary DOF. Both list the couplings in\n"
    "mimic_joints, leave a fixed joint's <mimic> fixed, and refuse a\n"
    "coupling whose leader is missing, the joint itself, on a cycle\n"
    "of mimics, or not revolute, continuous or prismatic; the\n"
    "default 'reject' refuses such files.\n\n"
    "inertia_tolerance (keyword-only, a real number from 0 to\n"
    "0.001) accepts link inertias that are not positive\n"
    "semi-definite by a rounding: one whose smallest eigenvalue is\n"
    "no lower than -inertia_tolerance times the largest principal\n"
    "moment among the file's links (kg·m²) loads with its negative\n"
    "eigenvalues set to zero, and is listed in repaired_inertias.\n"
    "1e-6 loads the inertias that exporters round below zero; a\n"
    "larger defect is a wrong inertia. The default, 0.0, refuses\n"
    "any negative eigenvalue, however small. The check costs one\n"
    "3x3 eigenvalue problem per link.\n\n"
    "Raises ModelError when the file cannot be read, parsed or\n"
    "built, ValueError for another mimic value or an\n"
    "inertia_tolerance outside [0, 0.001] (NaN, inf, negative),\n"
    "TypeError for wrong types. Loads with the interpreter lock\n"
    "released.\n\n"
    "q holds the n = joint_count joint positions (rad or m) in DOF\n"
    "order (dof_names); links are numbered breadth-first from the\n"
    "root, joint k leads to link k + 1; results use world axes and\n"
    "SI units. Calls on one handle are serialised by its lock;\n"
    "fork() gives another thread a handle of its own.\n\n"
    "No computing method returns inf or NaN: a result that\n"
    "overflows on finite inputs (velocities of 1e200, a\n"
    "gravity_vector of 1e308) raises SolverError \"the result of\n"
    "{method} is not finite: ...\"; an out array given then holds\n"
    "that result (out is otherwise written only on success).";

}  // namespace

bool create_robot_type() {
  return create_handle_type<Robot>(types().robot, "velkor.Robot", doc, handle_methods, getset);
}

}  // namespace velkor::py
