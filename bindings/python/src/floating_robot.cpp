// The FloatingRobot handle: the root link moves freely and every computing
// method takes the base state as its first argument.
#include "handle.hpp"
#include "dynamics_methods.hpp"
#include "kinematics_methods.hpp"
#include "robot.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

using H = Handle<FloatingRobot>;

PyMethodDef methods[] = {
    {"from_urdf", fastcall_entry<handle_from_urdf<FloatingRobot>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_urdf($cls, path, *, mimic='reject', massless_root='reject')\n--\n\n"},
    {"from_urdf_string", fastcall_entry<handle_from_urdf_string<FloatingRobot>>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_urdf_string($cls, xml, *, mimic='reject', massless_root='reject')\n--\n\n"},
    {"fork", entry<handle_fork<FloatingRobot>>, METH_NOARGS, "fork($self)\n--\n\n"},
    {"load_buffer", entry<load_buffer_method<FloatingRobot>>, METH_NOARGS,
     "load_buffer($self)\n--\n\n"},
    {"close", entry<handle_close<FloatingRobot>>, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", entry<handle_enter<FloatingRobot>>, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", fastcall_entry<handle_exit<FloatingRobot>>(),
     METH_FASTCALL | METH_KEYWORDS, "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"link_id", fastcall_entry<handle_link_id<FloatingRobot>>(),
     METH_FASTCALL | METH_KEYWORDS, "link_id($self, name)\n--\n\n"},
    VELKOR_MODEL_METHODS(FloatingRobot),
    VELKOR_KINEMATICS_METHODS(FloatingRobot, "base, "),
    VELKOR_DYNAMICS_METHOD(FloatingRobot, gravity, "base, q, loads=None, out=None"),
    VELKOR_DYNAMICS_METHOD(FloatingRobot, inverse_dynamics, "base, q, qd, qdd, loads=None, out=None"),
    VELKOR_DYNAMICS_METHOD(FloatingRobot, forward_dynamics,
                           "base, q, qd, forces, loads=None, out=None"),
    VELKOR_DYNAMICS_METHOD(FloatingRobot, mass_matrix, "base, q, out=None"),
    VELKOR_DYNAMICS_METHOD(FloatingRobot, velocity_product_forces, "base, q, qd, out=None"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"name", entry<handle_name<FloatingRobot>>, nullptr, "The URDF robot name.", nullptr},
    {"joint_count", entry<handle_count<FloatingRobot, &H::joint_count>>, nullptr,
     "n, the number of degrees of freedom (the length of q): it counts DOFs, not joints; "
     "fixed joints are not counted (`joints` lists every joint).", nullptr},
    {"generalized_count", entry<handle_count<FloatingRobot, &H::generalized_count>>, nullptr,
     "Length of generalized velocity vectors: 6 base coordinates, then the joints.", nullptr},
    VELKOR_MODEL_GETSET(FloatingRobot),
    {"mimic_joints", entry<handle_mimic_joints<FloatingRobot>>, nullptr,
     "{joint name: (leader joint name, multiplier, offset)} for the <mimic> couplings that "
     "mimic='independent' loosened into ordinary DOFs; empty otherwise.", nullptr},
    {"link_count", entry<handle_count<FloatingRobot, &H::link_count>>, nullptr, "Number of links.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("FloatingRobot(path, *, mimic='reject', massless_root='reject')\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry<handle_new<FloatingRobot>>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_handle<FloatingRobot>)},
    {Py_tp_repr, reinterpret_cast<void*>(entry<handle_repr<FloatingRobot>>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_spec = {"velkor.FloatingRobot", sizeof(HandleObject<FloatingRobot>), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

}  // namespace

bool create_floating_robot_type() {
  if (types().floating_robot == nullptr)
    types().floating_robot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  return types().floating_robot != nullptr;
}

}  // namespace velkor::py
