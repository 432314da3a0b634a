// The whole-body inverse kinematics of both handle kinds: robot.ik_problem(),
// the IkProblem class it returns (solve, step_qp, solve_many) and the IkResult
// record of a solve.
#pragma once

#include "python.hpp"

namespace velkor::py {

// Creates IkProblem and the IkResult record type unless they exist; false
// with an exception set.
bool create_ik_problem_types();

// robot.ik_problem(tasks, *, damping=1e-06, posture=None, posture_weight=0.0)
// for both handle kinds.
template <class CoreRobot>
PyObject* handle_ik_problem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velkor::py

// The ik_problem row of a handle's method table: `configuration` says what a
// configuration is on this handle kind, `tangent` what the step's coordinates
// are (lines of the docstring, each ending in a line break).
#define VELKOR_IK_PROBLEM_ROW(CoreRobot, configuration, tangent)                                \
  {"ik_problem", fastcall_entry<handle_ik_problem<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS, \
   "ik_problem($self, tasks, *, damping=1e-06, posture=None, posture_weight=0.0)\n--\n\n"       \
   "A whole-body inverse-kinematics problem on this handle, a velkor.IkProblem:\n"              \
   "several targets reached at once, contacts held exactly, joint limits\n"                     \
   "respected. tasks: a sequence of velkor.PoseTask, velkor.CenterOfMassTask and\n"             \
   "velkor.ConstraintTask, in the order the solves report their errors. Each\n"                 \
   "iteration of a solve takes the step Δv of one QP (world axes)::\n\n"                        \
   "    minimise    Σ_t w_t²·‖S_t·(J_t·Δv + e_t)‖² + damping·‖Δv‖²\n"                           \
   "                  + posture_weight²·‖Δq - (posture - q)‖²\n"                                \
   "    subject to  J_c·Δv = -e_c               (the ConstraintTask rows)\n"                    \
   "                lower_limits - q ≤ Δq ≤ upper_limits - q\n"                                 \
   "                -dt·velocity_limits ≤ Δq ≤ dt·velocity_limits  (with dt;\n"                 \
   "                no bound where velocity_limits is 0: the file gives none)\n\n"              \
   "with e_t, S_t and w_t each task's error, row scales and weight (see the\n"                  \
   "task classes) and Δq the joints' part of Δv; it then moves the\n"                           \
   "configuration by Δv and clamps the joints into their position limits.\n" tangent            \
   "On a robot loaded with mimic='couple', q and Δq are its free coordinates,\n"                \
   "the tasks' Jacobians J·G (q_full = G·q + b), and each free joint's limits\n"                \
   "are intersected with those of the joints that follow it (a follower at\n"                   \
   "m·q + o within [l, u] bounds q to [(l - o)/m, (u - o)/m], the ends swapped\n"               \
   "for m < 0; a velocity limit v to v/abs(m)), so no joint leaves its limits.\n"               \
   "damping (λ, a finite number, 0 or more) regularises the step;\n"                            \
   "posture: None, or a configuration the joints are drawn to with\n"                           \
   "posture_weight (a finite number, 0 or more; its joints alone are read).\n" configuration    \
   "Numbers are read as float() reads them; posture as the computing methods\n"                 \
   "read q (any one-dimensional array or sequence of numbers).\n\n"                             \
   "Raises TypeError when tasks is not a sequence of task values (\"argument\n"                 \
   "'tasks': item 1 is int, not velkor.PoseTask, ...\"), damping or\n"                          \
   "posture_weight is not a real number, posture not a vector of numbers;\n"                    \
   "ValueError for a link id this robot does not have (\"tasks[0]: invalid\n"                   \
   "link id 9\"), a pose with non-finite values or a zero quaternion\n"                         \
   "(\"tasks[0]: pose contains non-finite values or a zero quaternion\"), a\n"                  \
   "constraint set of another model (\"tasks[2]: the constraint set belongs to\n"               \
   "another robot model\"), a posture of another length (\"expected C elements\n"               \
   "in posture, found k\") or with non-finite values, weights, damping or\n"                    \
   "posture_weight that are not finite and 0 or more, weights whose squares\n"                  \
   "the QP cannot hold (\"invalid inverse-kinematics task 0: weight times\n"                    \
   "position_weight and weight times orientation_weight must be at most\n"                      \
   "1e100\", a CenterOfMassTask weight or posture_weight above 1e100, damping\n"                \
   "above 1e200); ModelError when a coupled model's follower limits leave its\n"                \
   "leader no position; RuntimeError \"robot is closed\". Takes the handle's lock;\n"           \
   "allocates the problem and its solver's matrices. The problem keeps this\n"                  \
   "handle alive and computes on it: its calls lock it as computing calls do."}
