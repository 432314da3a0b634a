// The Robot handle: a fixed-base robot placed in the world by its base frame.
#include "robot.hpp"

#include "handle.hpp"
#include "dynamics_methods.hpp"
#include "kinematics_methods.hpp"
#include "ik_options.hpp"
#include "robot/kinematics/inverse_kinematics.hpp"
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
  DeferredError error;
  {
    auto guard = h.slot.lock();
    if (!guard) return nullptr;
    deferred_panic_guard(error, [&] {
      if (!frame->all_finite()) {
        error.set(errors::InvalidBaseState{"frame", "must contain only finite values"});
        return false;
      }
      guard.calculation().robot.set_base_frame(*frame);
      return true;
    });
  }
  if (error.is_set()) return error.raise();
  Py_RETURN_NONE;
}

PyObject* inverse_kinematics(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const names[] = {"q", "target", "desired", "options", "out"};
  static constexpr Signature signature{"Robot.inverse_kinematics", names, 5, 3};
  PyObject* arg[5];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  InputArray q;
  if (!q.extract(arg[0], "q")) return nullptr;
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
  return array_method(h, arg[4], h.joint_count, {q.values()},
                      [&](Calculation<Robot>& c, double* out, const Inputs& in) {
    return velkor::inverse_kinematics(c.robot, c.workspace, in[0], *target, *desired, *options,
                                      std::span<double>(out, h.joint_count), interrupt);
  });
}

PyMethodDef methods[] = {
    {"from_urdf", fastcall_entry<handle_from_urdf<Robot>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_urdf($cls, path, *, mimic='reject')\n--\n\n"},
    {"from_urdf_string", fastcall_entry<handle_from_urdf_string<Robot>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_urdf_string($cls, xml, *, mimic='reject')\n--\n\n"},
    {"fork", entry<handle_fork<Robot>>, METH_NOARGS, "fork($self)\n--\n\n"},
    {"load_buffer", entry<load_buffer_method<Robot>>, METH_NOARGS, "load_buffer($self)\n--\n\n"},
    {"close", entry<handle_close<Robot>>, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", entry<handle_enter<Robot>>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall_entry<handle_exit<Robot>>(),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"link_id", fastcall_entry<handle_link_id<Robot>>(),
     METH_FASTCALL | METH_KEYWORDS, "link_id($self, name)\n--\n\n"},
    {"set_base_frame", fastcall_entry<set_base_frame>(),
     METH_FASTCALL | METH_KEYWORDS, "set_base_frame($self, frame)\n--\n\n"},
    VELKOR_MODEL_METHODS(Robot),
    VELKOR_KINEMATICS_METHODS(Robot, ""),
    VELKOR_DYNAMICS_METHOD(Robot, gravity, "q, loads=None, out=None"),
    VELKOR_DYNAMICS_METHOD(Robot, inverse_dynamics, "q, qd, qdd, loads=None, out=None"),
    VELKOR_DYNAMICS_METHOD(Robot, forward_dynamics, "q, qd, forces, loads=None, out=None"),
    VELKOR_DYNAMICS_METHOD(Robot, mass_matrix, "q, out=None"),
    VELKOR_DYNAMICS_METHOD(Robot, velocity_product_forces, "q, qd, out=None"),
    {"inverse_kinematics", fastcall_entry<inverse_kinematics>(), METH_FASTCALL | METH_KEYWORDS,
     "inverse_kinematics($self, q, target, desired, options=None, out=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"name", entry<handle_name<Robot>>, nullptr, "The URDF robot name.", nullptr},
    {"joint_count", entry<handle_count<Robot, &H::joint_count>>, nullptr,
     "n, the number of degrees of freedom (the length of q): it counts DOFs, not joints; "
     "fixed joints are not counted (`joints` lists every joint).", nullptr},
    {"generalized_count", entry<handle_count<Robot, &H::generalized_count>>, nullptr,
     "Length of generalized velocity vectors.", nullptr},
    VELKOR_MODEL_GETSET(Robot),
    {"mimic_joints", entry<handle_mimic_joints<Robot>>, nullptr,
     "{joint name: (leader joint name, multiplier, offset)} for the <mimic> couplings that "
     "mimic='independent' loosened into ordinary DOFs; empty otherwise.", nullptr},
    {"link_count", entry<handle_count<Robot, &H::link_count>>, nullptr, "Number of links.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("Robot(path, *, mimic='reject')\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry<handle_new<Robot>>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_handle<Robot>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<handle_repr<Robot>>)},
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
