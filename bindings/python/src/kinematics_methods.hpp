// The kinematics methods of both handle kinds, written once: a FloatingRobot
// method takes a leading `base` argument, a Robot method uses its base frame
// and a base at rest.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "handle.hpp"
#include "robot/kinematics/forward_kinematics.hpp"
#include "robot/kinematics/jacobian.hpp"
#include "values.hpp"

namespace velkor::py {

template <class CoreRobot>
inline constexpr bool is_floating = std::is_same_v<CoreRobot, FloatingRobot>;

// "Robot.jacobian" with parameters (q, target, out), or "FloatingRobot.jacobian"
// with (base, q, target, out).
template <class CoreRobot>
struct MethodSignature {
  MethodSignature(const char* method, std::initializer_list<const char*> parameters,
                  Py_ssize_t required)
      : function(std::string(HandleTraits<CoreRobot>::class_name) + "." + method) {
    if (is_floating<CoreRobot>) names.push_back("base");
    names.insert(names.end(), parameters);
    const Py_ssize_t base = is_floating<CoreRobot> ? 1 : 0;
    signature = Signature{function.c_str(), names.data(), static_cast<Py_ssize_t>(names.size()),
                          required + base};
  }
  std::string function;
  std::vector<const char*> names;
  Signature signature;
};

// The parsed argument list with the base state converted first (floating base).
template <class CoreRobot>
class MethodArguments {
 public:
  static constexpr Py_ssize_t base_count = is_floating<CoreRobot> ? 1 : 0;

  bool parse(const MethodSignature<CoreRobot>& s, PyObject* const* args, Py_ssize_t nargs,
             PyObject* kwnames) {
    if (!parse_arguments(s.signature, args, nargs, kwnames, values_)) return false;
    if constexpr (is_floating<CoreRobot>) {
      auto state = base_state_argument(values_[0], "base");
      if (!state) return false;
      base_ = *state;
    }
    return true;
  }

  // The i-th parameter after `base`; nullptr when omitted.
  PyObject* operator[](std::size_t i) const { return values_[base_count + i]; }

  // The base of the call: the Robot's own, or the FloatingRobot's argument.
  Base base(const Calculation<CoreRobot>& c) const {
    if constexpr (is_floating<CoreRobot>) return free_base(c.robot, base_);
    else return fixed_base(c.robot);
  }

 private:
  PyObject* values_[8] = {};
  BaseState base_;
};

// "q and {name} must have the same length"
inline bool same_length(const InputArray& q, const InputArray& other, const char* name) {
  if (other.size() == q.size()) return true;
  PyErr_Format(PyExc_ValueError, "q and %s must have the same length", name);
  return false;
}

template <class CoreRobot>
PyObject* forward_kinematics_all_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("forward_kinematics_all", {"q", "out"}, 1);
  MethodArguments<CoreRobot> a;
  InputArray q;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !OutputArray::check_type(a[1]))
    return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  return array_method(h, a[1], 7 * h.link_count, {q.values()},
                      [&](Calculation<CoreRobot>& c, double* out, const Inputs& in) {
    // Poses go to the link poses buffer first, into `out` only on success.
    auto result = forward_kinematics_all(c.model(), a.base(c).state.frame, in[0], c.workspace.frames,
                                         c.link_poses);
    if (result)
      for (std::size_t i = 0; i < c.link_poses.size(); ++i) write_pose_row(c.link_poses[i], out + 7 * i);
    return result;
  });
}

template <class CoreRobot>
PyObject* forward_kinematics_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("forward_kinematics", {"q", "target"}, 2);
  MethodArguments<CoreRobot> a;
  InputArray q;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q")) return nullptr;
  const auto index = link_index_argument(a[1], "target");
  if (!index) return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  const auto target = target_link(*h.link_table, *index);
  if (!target) return nullptr;
  return value_method(
      h,
      [&](Calculation<CoreRobot>& c) {
        return forward_kinematics(c.model(), a.base(c).state.frame, q.values(), *target,
                                  c.workspace.path);
      },
      new_pose);
}

template <class CoreRobot>
PyObject* jacobian_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("jacobian", {"q", "target", "out"}, 2);
  MethodArguments<CoreRobot> a;
  InputArray q;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q")) return nullptr;
  const auto index = link_index_argument(a[1], "target");
  if (!index || !OutputArray::check_type(a[2])) return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  const auto target = target_link(*h.link_table, *index);
  if (!target) return nullptr;
  return array_method(h, a[2], 6 * h.generalized_count, {q.values()},
                      [&](Calculation<CoreRobot>& c, double* out, const Inputs& in) {
    return jacobian(c.model(), a.base(c), c.workspace, in[0], *target,
                    std::span<double>(out, 6 * h.generalized_count));
  });
}

template <class CoreRobot>
PyObject* jacobian_derivative_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("jacobian_derivative", {"q", "qd", "target", "out"}, 3);
  MethodArguments<CoreRobot> a;
  InputArray q, qd;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !qd.extract(a[1], "qd"))
    return nullptr;
  const auto index = link_index_argument(a[2], "target");
  if (!index || !OutputArray::check_type(a[3]) || !same_length(q, qd, "qd")) return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  const auto target = target_link(*h.link_table, *index);
  if (!target) return nullptr;
  return array_method(h, a[3], 6 * h.generalized_count, {q.values(), qd.values()},
                      [&](Calculation<CoreRobot>& c, double* out, const Inputs& in) {
    return jacobian_derivative(c.model(), a.base(c), c.workspace, in[0], in[1], *target,
                               std::span<double>(out, 6 * h.generalized_count));
  });
}

template <class CoreRobot>
PyObject* forward_velocity_kinematics_method(PyObject* self, PyObject* const* args,
                                             Py_ssize_t nargs, PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("forward_velocity_kinematics",
                                            {"q", "qd", "target", "tool"}, 3);
  MethodArguments<CoreRobot> a;
  InputArray q, qd;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !qd.extract(a[1], "qd"))
    return nullptr;
  const auto index = link_index_argument(a[2], "target");
  PyObject* tool_object = a[3] == Py_None ? nullptr : a[3];
  if (!index || (tool_object && !check_pose_type(tool_object, "tool")) || !same_length(q, qd, "qd"))
    return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  const auto target = target_link(*h.link_table, *index);
  if (!target) return nullptr;
  const auto tool = tool_object ? accepted_pose(tool_object) : std::optional<Pose>(Pose::identity());
  if (!tool) return nullptr;
  return value_method(
      h,
      [&](Calculation<CoreRobot>& c) {
        const Base base = a.base(c);
        return forward_velocity_kinematics(c.model(), base.state.frame.rotation, base.state.velocity,
                                           q.values(), qd.values(), *target, *tool, c.workspace.path);
      },
      new_twist);
}

template <class CoreRobot>
PyObject* forward_acceleration_kinematics_method(PyObject* self, PyObject* const* args,
                                                 Py_ssize_t nargs, PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("forward_acceleration_kinematics",
                                            {"q", "qd", "qdd", "target"}, 4);
  MethodArguments<CoreRobot> a;
  InputArray q, qd, qdd;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !qd.extract(a[1], "qd") ||
      !qdd.extract(a[2], "qdd"))
    return nullptr;
  const auto index = link_index_argument(a[3], "target");
  if (!index || !same_length(q, qd, "qd") || !same_length(q, qdd, "qdd")) return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  const auto target = target_link(*h.link_table, *index);
  if (!target) return nullptr;
  return value_method(
      h,
      [&](Calculation<CoreRobot>& c) {
        const Base base = a.base(c);
        return forward_acceleration_kinematics(c.model(), base.state.frame.rotation, base.state.velocity,
                                               base.state.acceleration, q.values(), qd.values(),
                                               qdd.values(), *target, c.workspace.path);
      },
      new_twist);
}

// Method table rows shared by both handle kinds, in registration order.
#define VELKOR_KINEMATICS_METHODS(CoreRobot, base)                                               \
  {"forward_kinematics_all", fastcall_entry<forward_kinematics_all_method<CoreRobot>>(),          \
   METH_FASTCALL | METH_KEYWORDS, "forward_kinematics_all($self, " base "q, out=None)\n--\n\n"   \
   "World pose of every link at joint positions q (n values, DOF order): a flat\n"               \
   "float64 array of L·7 (L = link_count), L rows of 7, [tx, ty, tz, qx, qy, qz,\n"              \
   "qw], link-id order; metres, world axes; poses.reshape(-1, 7) gives the rows.\n"              \
   "The root link is placed by the base frame (Robot) or by base.frame\n"                        \
   "(FloatingRobot). out is written only on success.\n\n"                                        \
   "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n"            \
   "non-finite value\"), base (FloatingRobot), out (\"out must contain exactly K\n"              \
   "elements\"); TypeError for wrong types; RuntimeError \"robot is closed\";\n"                 \
   "PanicError on an internal fault. Cost: holds the handle's lock, releases the\n"              \
   "interpreter lock while computing; no allocation with out=."},                                \
      {"forward_kinematics", fastcall_entry<forward_kinematics_method<CoreRobot>>(),              \
       METH_FASTCALL | METH_KEYWORDS, "forward_kinematics($self, " base "q, target)\n--\n\n"     \
       "World pose of link target (an integer link id, see link_id) at joint\n"                  \
       "positions q, as a new velkor.Pose: the link origin (metres) and the link\n"              \
       "axes, relative to world axes. The root link is placed by the base frame\n"               \
       "(Robot) or by base.frame (FloatingRobot).\n\n"                                           \
       "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n"        \
       "non-finite value\"), target (\"invalid link id 5\"), base (FloatingRobot);\n"            \
       "TypeError for wrong types; RuntimeError \"robot is closed\"; PanicError on an\n"         \
       "internal fault. Cost: holds the handle's lock, releases the interpreter lock\n"          \
       "while computing; allocates only the returned Pose."},                                    \
      {"jacobian", fastcall_entry<jacobian_method<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS,   \
       "jacobian($self, " base "q, target, out=None)\n--\n\n"                                    \
       "Geometric Jacobian of link target at q, world axes, at the target link\n"                \
       "origin: rows angular velocity (0-2), then linear velocity of the origin\n"               \
       "(3-5). A flat float64 array of 6·N, column-major (entry (r, c) at 6·c + r);\n"           \
       "velkor.as_matrix(result, 6) gives the 6 x N view. N = generalized_count: a\n"            \
       "Robot's columns are its n DOFs; a FloatingRobot's are the 6 base coordinates\n"          \
       "(angular, linear, world axes) first, then the n joints. DOFs off the path to\n"          \
       "target have zero columns.\n\n"                                                           \
       "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n"        \
       "non-finite value\"), target (\"invalid link id 5\"), base (FloatingRobot), out\n"        \
       "(\"out must contain exactly K elements\"); TypeError for wrong types;\n"                 \
       "RuntimeError \"robot is closed\"; PanicError on an internal fault. Cost: holds\n"        \
       "the handle's lock, releases the interpreter lock while computing; no\n"                  \
       "allocation with out=."},                                                                 \
      {"jacobian_derivative", fastcall_entry<jacobian_derivative_method<CoreRobot>>(),            \
       METH_FASTCALL | METH_KEYWORDS,                                                             \
       "jacobian_derivative($self, " base "q, qd, target, out=None)\n--\n\n"                     \
       "Time derivative dJ/dt of jacobian() at positions q and velocities qd (n\n"               \
       "each): flat 6·N, column-major, rows angular then linear, world axes, target\n"           \
       "link origin (velkor.as_matrix(result, 6) gives the 6 x N view), so that\n"               \
       "J·dv/dt + (dJ/dt)·v is the target's angular and classical linear\n"                      \
       "acceleration. A Robot's base is at rest; a FloatingRobot's base moves with\n"            \
       "base.velocity.\n\n"                                                                      \
       "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n"        \
       "non-finite value\"), qd, target (\"invalid link id 5\"), base (FloatingRobot),\n"        \
       "out (\"out must contain exactly K elements\"); TypeError for wrong types;\n"             \
       "RuntimeError \"robot is closed\"; PanicError on an internal fault. Cost: holds\n"        \
       "the handle's lock, releases the interpreter lock while computing; no\n"                  \
       "allocation with out=."},                                                                 \
      {"forward_velocity_kinematics",                                                             \
       fastcall_entry<forward_velocity_kinematics_method<CoreRobot>>(),                           \
       METH_FASTCALL | METH_KEYWORDS,                                                             \
       "forward_velocity_kinematics($self, " base "q, qd, target, tool=None)\n--\n\n"            \
       "Twist of link target at positions q and velocities qd (n each), as a new\n"              \
       "velkor.Twist: the link's angular velocity (rad/s) and the linear velocity\n"             \
       "(m/s) of the tool point, world axes. tool: a velkor.Pose in the target link\n"           \
       "frame whose translation is the tool point (its rotation is not used); None\n"            \
       "means the link origin. A Robot's base is at rest; a FloatingRobot's base\n"              \
       "moves with base.velocity.\n\n"                                                           \
       "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n"        \
       "non-finite value\"), qd, target (\"invalid link id 5\"), base (FloatingRobot),\n"        \
       "tool; TypeError for wrong types; RuntimeError \"robot is closed\"; PanicError\n"         \
       "on an internal fault. Cost: holds the handle's lock, releases the\n"                     \
       "interpreter lock while computing; allocates only the returned Twist."},                  \
      {"forward_acceleration_kinematics",                                                         \
       fastcall_entry<forward_acceleration_kinematics_method<CoreRobot>>(),                       \
       METH_FASTCALL | METH_KEYWORDS,                                                             \
       "forward_acceleration_kinematics($self, " base "q, qd, qdd, target)\n--\n\n"              \
       "Acceleration of link target at positions q, velocities qd and accelerations\n"           \
       "qdd (n each), as a new velkor.Twist: angular acceleration (rad/s²) and\n"                \
       "classical linear acceleration of the link origin (m/s²), world axes; gravity\n"          \
       "does not enter. A Robot's base is at rest; a FloatingRobot's base moves with\n"          \
       "base.velocity and base.acceleration.\n\n"                                                \
       "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n"        \
       "non-finite value\"), qd, qdd, target (\"invalid link id 5\"), base\n"                    \
       "(FloatingRobot); TypeError for wrong types; RuntimeError \"robot is closed\";\n"         \
       "PanicError on an internal fault. Cost: holds the handle's lock, releases the\n"          \
       "interpreter lock while computing; allocates only the returned Twist."}

}  // namespace velkor::py
