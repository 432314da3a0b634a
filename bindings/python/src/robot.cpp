// The Robot handle: a fixed-base robot placed in the world by its base frame.
#include "robot.hpp"

#include "handle.hpp"
#include "kinematics_methods.hpp"
#include "robot/kinematics/forward_kinematics.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

using H = Handle<Robot>;

PyObject* set_base_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"frame"};
  static constexpr Signature signature{"Robot.set_base_frame", names, 1, 1};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const auto frame = pose_argument(arg[0], "frame");
  if (!frame) return nullptr;
  H& h = handle_of<Robot>(self);
  auto guard = h.slot.lock();
  if (!guard) return nullptr;
  return panic_guard([&]() -> PyObject* {
    if (!frame->all_finite())
      return core_error(errors::InvalidBaseState{"frame", "must contain only finite values"});
    guard.calculation().robot.set_base_frame(*frame);
    Py_RETURN_NONE;
  });
}

PyObject* forward_kinematics_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const char* const names[] = {"q", "out"};
  static constexpr Signature signature{"Robot.forward_kinematics_all", names, 2, 1};
  PyObject* arg[2];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  InputArray q;
  if (!q.extract(arg[0], "q") || !OutputArray::check_type(arg[1])) return nullptr;
  H& h = handle_of<Robot>(self);
  return array_method(h, arg[1], 7 * h.link_count, [&](Calculation<Robot>& c, double* out) {
    return all_link_poses(c, c.robot.base_frame(), q.values(), out);
  });
}

PyObject* forward_kinematics(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const names[] = {"q", "target"};
  static constexpr Signature signature{"Robot.forward_kinematics", names, 2, 2};
  PyObject* arg[2];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  InputArray q;
  if (!q.extract(arg[0], "q")) return nullptr;
  H& h = handle_of<Robot>(self);
  const auto target = target_link(*h.link_table, arg[1], "target");
  if (!target) return nullptr;
  return value_method(
      h,
      [&](Calculation<Robot>& c) {
        return velkor::forward_kinematics(c.model(), c.robot.base_frame(), q.values(), *target,
                                          c.workspace.path);
      },
      new_pose);
}

PyMethodDef methods[] = {
    {"from_urdf", fastcall_entry<handle_from_urdf<Robot>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_urdf($cls, path)\n--\n\n"},
    {"fork", entry<handle_fork<Robot>>, METH_NOARGS, "fork($self)\n--\n\n"},
    {"close", entry<handle_close<Robot>>, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", entry<handle_enter<Robot>>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall_entry<handle_exit<Robot>>(),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"link_id", fastcall_entry<handle_link_id<Robot>>(),
     METH_FASTCALL | METH_KEYWORDS, "link_id($self, name)\n--\n\n"},
    {"set_base_frame", fastcall_entry<set_base_frame>(),
     METH_FASTCALL | METH_KEYWORDS, "set_base_frame($self, frame)\n--\n\n"},
    {"forward_kinematics_all", fastcall_entry<forward_kinematics_all>(),
     METH_FASTCALL | METH_KEYWORDS, "forward_kinematics_all($self, q, out=None)\n--\n\n"},
    {"forward_kinematics", fastcall_entry<forward_kinematics>(),
     METH_FASTCALL | METH_KEYWORDS, "forward_kinematics($self, q, target)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"name", entry<handle_name<Robot>>, nullptr, "The URDF robot name.", nullptr},
    {"joint_count", entry<handle_count<Robot, &H::joint_count>>, nullptr,
     "Number of joint degrees of freedom (fixed joints not counted).", nullptr},
    {"generalized_count", entry<handle_count<Robot, &H::generalized_count>>, nullptr,
     "Length of generalized velocity vectors.", nullptr},
    {"link_count", entry<handle_count<Robot, &H::link_count>>, nullptr, "Number of links.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Robot(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry<handle_new<Robot>>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_handle<Robot>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_spec = {"velkor.Robot", sizeof(HandleObject<Robot>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

}  // namespace

bool create_robot_type() {
  if (types().robot == nullptr) types().robot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  return types().robot != nullptr;
}

}  // namespace velkor::py
