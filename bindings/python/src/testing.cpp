// _velkor_testing: hooks into the core and the binding for the test suite only.
// It is built with VELKOR_TESTING=ON and never ships in the regular package.
// It adopts the type objects and exceptions of the imported _velkor module, so
// the errors it raises are the very classes users catch.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "computing_method.hpp"
#include "errors.hpp"
#include "fork_handlers.hpp"
#include "gil.hpp"
#include "handle.hpp"
#include "handle_lock.hpp"
#include "linalg/dense_qp.hpp"
#include "method_list.hpp"
#include "module_slots.hpp"
#include "py_ref.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/model.hpp"
#include "robot/robot.hpp"
#include "robot/workspace.hpp"
#include "types.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

std::optional<RobotModel> load(PyObject* path_object, const ImportOptions& options = {}) {
  const auto path = path_argument(path_object);
  if (!path) return std::nullopt;
  Interrupt never;
  auto model = RobotModel::from_urdf(*path, never, options);
  if (!model) {
    core_error(model.error());
    return std::nullopt;
  }
  return *model;
}

PyObject* list_of(const double* values, Py_ssize_t count) { return float_tuple(values, count); }

PyObject* pose_tuple(const Pose& pose) { return float_tuple(pose.to_array().data(), 7); }

// raise_error(variant, *fields): raises the core error through the binding's translation.
PyObject* raise_error(PyObject*, PyObject* args) {
  const char* variant;
  if (PyTuple_GET_SIZE(args) < 1 || !PyUnicode_Check(PyTuple_GET_ITEM(args, 0))) {
    PyErr_SetString(PyExc_TypeError, "raise_error(variant, *fields)");
    return nullptr;
  }
  variant = PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 0));
  PyRef rest = PyRef::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
  const std::string name = variant;
  const char *s1 = nullptr, *s2 = nullptr;
  Py_ssize_t n1 = 0, n2 = 0, n3 = 0;
  double d1 = 0, d2 = 0, d3 = 0;
  PyObject* fields = rest.get();
  using namespace errors;
  if (name == "Urdf" && PyArg_ParseTuple(fields, "s", &s1)) return core_error(Urdf{s1});
  if (name == "InvalidModel" && PyArg_ParseTuple(fields, "s", &s1)) return core_error(InvalidModel{s1});
  if (name == "UnsupportedJointType" && PyArg_ParseTuple(fields, "ss", &s1, &s2))
    return core_error(UnsupportedJointType{s1, s2});
  if (name == "WrongSliceLength" && PyArg_ParseTuple(fields, "snn", &s1, &n1, &n2))
    return core_error(WrongSliceLength{s1, static_cast<std::size_t>(n1), static_cast<std::size_t>(n2)});
  if (name == "NonFiniteInput" && PyArg_ParseTuple(fields, "s", &s1))
    return core_error(NonFiniteInput{s1});
  if (name == "NumericalFailure" && PyArg_ParseTuple(fields, "s", &s1))
    return core_error(NumericalFailure{s1});
  if (name == "InvalidJointAxis" && PyArg_ParseTuple(fields, "s", &s1))
    return core_error(InvalidJointAxis{s1});
  if (name == "UnknownLink" && PyArg_ParseTuple(fields, "s", &s1)) return core_error(UnknownLink{s1});
  if (name == "InvalidJointIndex" && PyArg_ParseTuple(fields, "n", &n1))
    return core_error(InvalidJointIndex{static_cast<std::size_t>(n1)});
  if (name == "InvalidLinkId" && PyArg_ParseTuple(fields, "")) return core_error(InvalidLinkId{});
  if (name == "InvalidBaseState" && PyArg_ParseTuple(fields, "ss", &s1, &s2))
    return core_error(InvalidBaseState{s1, s2});
  if (name == "FloatingBaseIkUnsupported" && PyArg_ParseTuple(fields, ""))
    return core_error(FloatingBaseIkUnsupported{});
  if (name == "InvalidIkOptions" && PyArg_ParseTuple(fields, "ss", &s1, &s2))
    return core_error(InvalidIkOptions{s1, s2});
  if (name == "NonFiniteIkInput" && PyArg_ParseTuple(fields, "s", &s1))
    return core_error(NonFiniteIkInput{s1});
  if (name == "IkNumericalFailure" && PyArg_ParseTuple(fields, "n", &n1))
    return core_error(IkNumericalFailure{static_cast<std::size_t>(n1)});
  if (name == "IkJointLimitViolation" && PyArg_ParseTuple(fields, "nsddd", &n1, &s1, &d1, &d2, &d3))
    return core_error(IkJointLimitViolation{static_cast<std::size_t>(n1), s1, d1, d2, d3});
  if (name == "IkNotConverged" && PyArg_ParseTuple(fields, "ndd", &n1, &d1, &d2))
    return core_error(IkNotConverged{static_cast<std::size_t>(n1), d1, d2});
  if (name == "ForwardDynamicsSingularJointInertia" && PyArg_ParseTuple(fields, "n", &n1))
    return core_error(ForwardDynamicsSingularJointInertia{static_cast<std::size_t>(n1)});
  if (name == "ForwardDynamicsSingularBaseInertia" && PyArg_ParseTuple(fields, ""))
    return core_error(ForwardDynamicsSingularBaseInertia{});
  if (name == "ForwardDynamicsIllConditionedBaseInertia" && PyArg_ParseTuple(fields, ""))
    return core_error(ForwardDynamicsIllConditionedBaseInertia{});
  if (name == "NonFiniteResult" && PyArg_ParseTuple(fields, "s", &s1))
    return core_error(NonFiniteResult{s1});
  (void)n3;
  (void)d3;
  if (!PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "no error variant %s", variant);
  return nullptr;
}

// error_debug(variant_index...) is not needed: debug forms are checked via this one case.
PyObject* wrong_length_debug(PyObject*, PyObject*) {
  return PyUnicode_FromString(wrong_length("q", 6, 5).debug().c_str());
}

// trigger_fault(message=None, guarded=True): throws an internal fault inside or
// outside the panic guard.
PyObject* trigger_fault(PyObject*, PyObject* args) {
  PyObject* message = Py_None;
  int guarded = 1;
  if (!PyArg_ParseTuple(args, "|Op", &message, &guarded)) return nullptr;
  std::string text;
  if (message != Py_None) {
    const char* utf8 = PyUnicode_AsUTF8(message);
    if (!utf8) return nullptr;
    text = utf8;
  }
  const bool has_message = message != Py_None;
  const auto body = [&]() -> PyObject* {
    if (has_message) fault(text.c_str());
    fault();
  };
  if (guarded) return panic_guard(body);
  return body();
}

PyObject* model_summary(const Model& m) {
  PyRef links = PyRef::steal(PyList_New(0));
  PyRef joints = PyRef::steal(PyList_New(0));
  if (!links || !joints) return nullptr;
  for (const Link& link : m.links) {
    const double* record = &link.mass_properties.mass;
    PyRef item = PyRef::steal(Py_BuildValue("(sN)", link.name.c_str(), list_of(record, 25)));
    if (!item || PyList_Append(links.get(), item.get()) < 0) return nullptr;
  }
  static const char* const kinds[] = {"revolute", "prismatic", "fixed"};
  for (const Joint& joint : m.joints) {
    const JointKinematics& k = joint.kinematics;
    PyRef item = PyRef::steal(Py_BuildValue(
        "{s:s,s:s,s:N,s:(ddd),s:d,s:d,s:d}", "name", joint.name.c_str(), "kind",
        kinds[static_cast<int>(k.kind)], "origin", pose_tuple(k.origin), "axis", k.axis.x(), k.axis.y(),
        k.axis.z(), "lower", joint.lower, "upper", joint.upper, "velocity_limit", joint.velocity_limit));
    if (!item || PyList_Append(joints.get(), item.get()) < 0) return nullptr;
  }
  PyRef dofs = PyRef::steal(PyList_New(0));
  PyRef joint_dof = PyRef::steal(PyList_New(0));
  PyRef parents = PyRef::steal(PyList_New(0));
  if (!dofs || !joint_dof || !parents) return nullptr;
  const auto append_size = [](PyObject* list, std::size_t v) {
    PyRef number = PyRef::steal(PyLong_FromSize_t(v));
    return number && PyList_Append(list, number.get()) == 0;
  };
  for (std::size_t j : m.dof_list)
    if (!append_size(dofs.get(), j)) return nullptr;
  for (const auto& dof : m.joint_dof) {
    if (dof) {
      if (!append_size(joint_dof.get(), *dof)) return nullptr;
    } else if (PyList_Append(joint_dof.get(), Py_None) < 0) {
      return nullptr;
    }
  }
  for (std::size_t p : m.parent)
    if (!append_size(parents.get(), p)) return nullptr;
  // The duplicated tables must agree with the records they copy.
  bool copies_agree = m.joint_kinematics.size() == m.joints.size() &&
                      m.link_mass_properties.size() == m.links.size();
  for (std::size_t i = 0; copies_agree && i < m.links.size(); ++i)
    copies_agree = m.link_mass_properties[i].inertia_origin == m.links[i].mass_properties.inertia_origin;
  return Py_BuildValue("{s:s,s:K,s:O,s:O,s:O,s:O,s:O,s:O}", "name", m.name.c_str(), "id",
                       static_cast<unsigned long long>(m.id), "links", links.get(), "joints",
                       joints.get(), "dof_list", dofs.get(), "joint_dof", joint_dof.get(), "parent",
                       parents.get(), "copies_agree", copies_agree ? Py_True : Py_False);
}

// load_model(path) -> dict describing the imported model.
PyObject* load_model(PyObject*, PyObject* path) {
  const auto model = load(path);
  if (!model) return nullptr;
  return model_summary(model->model());
}

// floating_robot(path): builds the floating-base core robot, or raises.
PyObject* floating_robot(PyObject*, PyObject* path) {
  auto model = load(path);
  if (!model) return nullptr;
  auto robot = FloatingRobot::create(*model);
  if (!robot) return core_error(robot.error());
  Py_RETURN_NONE;
}

// kernel_ns(path, state, calls) -> nanoseconds per call of the fixed-base
// inverse dynamics kernel alone, at q = qd = qdd = state (no Python in the loop;
// mimic joints loaded as independent ones),
// for comparing with the time of a Python call.
PyObject* kernel_ns(PyObject*, PyObject* args) {
  PyObject* path;
  double value;
  Py_ssize_t calls;
  if (!PyArg_ParseTuple(args, "Odn", &path, &value, &calls)) return nullptr;
  const auto model = load(path, ImportOptions{MimicPolicy::Independent});
  if (!model) return nullptr;
  const Robot robot(*model);
  const Model& m = robot.model();
  Workspace w(m.joint_count(), m.dof_count());
  std::vector<double> q(m.dof_count(), value), out(m.dof_count());
  const auto start = std::chrono::steady_clock::now();
  bool ok = true;
  for (Py_ssize_t i = 0; i < calls; ++i)
    ok &= inverse_dynamics(m, fixed_base(robot), w, q, q, q, {}, out).has_value();
  const auto end = std::chrono::steady_clock::now();
  if (!ok) return core_error(errors::NumericalFailure{"kernel timing"});
  return PyFloat_FromDouble(std::chrono::duration<double, std::nano>(end - start).count() /
                            static_cast<double>(calls));
}

// joint_frame(path, joint_index, q) -> child frame in the parent frame, storage order.
PyObject* joint_frame(PyObject*, PyObject* args) {
  PyObject* path;
  Py_ssize_t joint;
  double q;
  if (!PyArg_ParseTuple(args, "Ond", &path, &joint, &q)) return nullptr;
  const auto model = load(path);
  if (!model) return nullptr;
  if (joint < 0 || static_cast<std::size_t>(joint) >= model->model().joint_count()) {
    PyErr_SetString(PyExc_IndexError, "joint index out of range");
    return nullptr;
  }
  return pose_tuple(model->model().joint_kinematics[static_cast<std::size_t>(joint)].frame(q));
}

// workspace_sizes(path) -> lengths of the per-joint and per-DOF buffers.
PyObject* workspace_sizes(PyObject*, PyObject* path) {
  const auto model = load(path);
  if (!model) return nullptr;
  const Workspace w(model->model().joint_count(), model->model().dof_count());
  return Py_BuildValue("{s:n,s:n,s:n,s:n,s:n,s:n}", "frames", w.frames.size(), "fd_inertia",
                       w.fd_inertia.size(), "path", w.path.size(), "jacobian", w.jacobian.size(),
                       "ik_joints", w.ik_joints.size(), "ik_step", w.ik_step.size());
}

// accept_pose(pose) -> the normalised pose the core would see, storage order.
PyObject* accept(PyObject*, PyObject* pose) {
  const auto accepted = pose_argument(pose, "pose");
  if (!accepted) return nullptr;
  return pose_tuple(*accepted);
}

// base_state(state) -> (frame, velocity, acceleration) as the core would see them.
PyObject* base_state(PyObject*, PyObject* state) {
  const auto converted = base_state_argument(state, "base");
  if (!converted) return nullptr;
  const Twist& v = converted->velocity;
  const Twist& a = converted->acceleration;
  const double vel[6] = {v.angular.x(), v.angular.y(), v.angular.z(),
                         v.linear.x(),  v.linear.y(),  v.linear.z()};
  const double acc[6] = {a.angular.x(), a.angular.y(), a.angular.z(),
                         a.linear.x(),  a.linear.y(),  a.linear.z()};
  return Py_BuildValue("(NNN)", pose_tuple(converted->frame), float_tuple(vel, 6), float_tuple(acc, 6));
}

// roundtrip_pose(pose) -> a new Pose built from the core value of an accepted pose.
PyObject* roundtrip_pose(PyObject*, PyObject* pose) {
  const auto accepted = pose_argument(pose, "pose");
  if (!accepted) return nullptr;
  return new_pose(*accepted);
}

// poison(robot): a fault escapes while the robot's lock is held outside any
// panic guard, which leaves the lock poisoned for good.
PyObject* poison(PyObject*, PyObject* robot) {
  if (Py_TYPE(robot) != types().robot) {
    PyErr_SetString(PyExc_TypeError, "poison() takes a Robot");
    return nullptr;
  }
  auto guard = handle_of<Robot>(robot).slot.lock();
  if (!guard) return nullptr;
  fault("fault while the lock is held");
}

// fault_in_computation(robot, out, common=False): a computing call whose core
// faults, by the general path or the common call's; the skeleton's guard turns
// it into PanicError and unlocks normally.
PyObject* fault_in_computation(PyObject*, PyObject* args) {
  PyObject *robot, *out;
  int common = 0;
  if (!PyArg_ParseTuple(args, "O!O|p", types().robot, &robot, &out, &common)) return nullptr;
  if (!OutputArray::check_type(out)) return nullptr;
  Handle<Robot>& h = handle_of<Robot>(robot);
  const auto core = [](Calculation<Robot>&, double* data, const Inputs&) -> std::expected<void, Error> {
    data[0] = 1.0;  // written before the fault: the caller sees it
    fault("core fault during a computation");
  };
  if (common)
    return common_arrays_method<1>(h, {out}, nullptr, {7 * h.link_count}, {},
                                   [&](Calculation<Robot>& c, const std::array<double*, 1>& data,
                                       const Inputs& in) { return core(c, data[0], in); });
  return array_method(h, out, 7 * h.link_count, {}, core);
}

// A sequence of numbers as doubles; nullopt with the error set.
std::optional<std::vector<double>> numbers(PyObject* value) {
  // (float() of an item runs Python code, which could change a list being read)
  const PyRef sequence = fixed_sequence(value, "expected a sequence of numbers");
  if (!sequence) return std::nullopt;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  std::vector<double> out(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    out[static_cast<std::size_t>(i)] = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(sequence.get(), i));
    if (PyErr_Occurred()) return std::nullopt;
  }
  return out;
}

// dense_qp(H, g, A, b, lower, upper) -> (status, x): the QP solver alone, H
// (n x n) and A (m x n) flat column-major, n from g and m from b.
PyObject* dense_qp(PyObject*, PyObject* args) {
  PyObject* objects[6];
  if (!PyArg_ParseTuple(args, "OOOOOO", &objects[0], &objects[1], &objects[2], &objects[3], &objects[4],
                        &objects[5]))
    return nullptr;
  std::vector<double> v[6];
  for (int i = 0; i < 6; ++i) {
    auto values = numbers(objects[i]);
    if (!values) return nullptr;
    v[i] = std::move(*values);
  }
  const std::size_t n = v[1].size(), m = v[3].size();
  if (v[0].size() != n * n || v[2].size() != m * n || v[4].size() != n || v[5].size() != n) {
    PyErr_SetString(PyExc_ValueError, "dense_qp: H is n x n, A m x n, the bounds n values each");
    return nullptr;
  }
  DenseQp qp;
  qp.reserve(n, m);
  std::vector<double> x(n);
  const QpStatus status = qp.solve(v[0], v[1], v[2], v[3], v[4], v[5], x);
  static constexpr const char* names[] = {"solved", "infeasible", "not_positive_definite", "cycling"};
  return Py_BuildValue("sN", names[static_cast<int>(status)],
                       float_tuple(x.data(), static_cast<Py_ssize_t>(n)));
}

PyObject* next_model_id(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(NEXT_MODEL_ID.load());
}

// The method list as (name, kinds, batched) tuples, kinds "both" or "fixed".
PyObject* computing_methods(PyObject*, PyObject*) {
  static const struct {
    const char* name;
    const char* kinds;
    bool batched;
  } listed[] = {
#define VELKOR_SINGLE(name) {#name, "both", false},
#define VELKOR_FIXED(name) {#name, "fixed", false},
#define VELKOR_BATCHED(Entry, name, doc) {#name, "both", true},
      VELKOR_COMPUTING_METHODS(VELKOR_SINGLE, VELKOR_FIXED, VELKOR_BATCHED)
#undef VELKOR_SINGLE
#undef VELKOR_FIXED
#undef VELKOR_BATCHED
  };
  PyRef result = PyRef::steal(PyTuple_New(std::size(listed)));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < std::size(listed); ++i) {
    PyObject* row =
        Py_BuildValue("(ssO)", listed[i].name, listed[i].kinds, listed[i].batched ? Py_True : Py_False);
    if (row == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), row);
  }
  return result.release();
}

PyMethodDef methods[] = {
    {"computing_methods", entry<computing_methods>, METH_NOARGS, nullptr},
    {"raise_error", entry<raise_error>, METH_VARARGS, nullptr},
    {"dense_qp", entry<dense_qp>, METH_VARARGS, nullptr},
    {"wrong_length_debug", entry<wrong_length_debug>, METH_NOARGS, nullptr},
    {"trigger_fault", entry<trigger_fault>, METH_VARARGS, nullptr},
    {"load_model", entry<load_model>, METH_O, nullptr},
    {"floating_robot", entry<floating_robot>, METH_O, nullptr},
    {"joint_frame", entry<joint_frame>, METH_VARARGS, nullptr},
    {"kernel_ns", entry<kernel_ns>, METH_VARARGS, nullptr},
    {"workspace_sizes", entry<workspace_sizes>, METH_O, nullptr},
    {"accept_pose", entry<accept>, METH_O, nullptr},
    {"base_state", entry<base_state>, METH_O, nullptr},
    {"roundtrip_pose", entry<roundtrip_pose>, METH_O, nullptr},
    {"next_model_id", entry<next_model_id>, METH_NOARGS, nullptr},
    {"poison", entry<poison>, METH_O, nullptr},
    {"fault_in_computation", entry<fault_in_computation>, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Takes the process-wide objects from _velkor instead of creating a second set.
int exec_module(PyObject*) {
  // This module carries its own copy of the process-wide records: its own hooks keep them.
  install_fork_handlers();
  set_park_hook(HandleLock::release_held_by_this_thread);
  if (!watch_exit()) return -1;
  PyRef velkor = PyRef::steal(PyImport_ImportModule("_velkor"));
  if (!velkor) return -1;
  Types& t = types();
  const auto adopt = [&](auto& slot, const char* name) {
    PyObject* object = PyObject_GetAttrString(velkor.get(), name);  // kept for the process
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(object);
    return object != nullptr;
  };
  if (!import_numpy()) return -1;
  return adopt(t.pose, "Pose") && adopt(t.twist, "Twist") && adopt(t.base_state, "BaseState") &&
                 adopt(t.robot, "Robot") && adopt(t.floating_robot, "FloatingRobot") &&
                 adopt(t.velkor_error, "VelkorError") && adopt(t.model_error, "ModelError") &&
                 adopt(t.solver_error, "SolverError") && adopt(t.panic_error, "PanicError")
             ? 0
             : -1;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,     "_velkor_testing", nullptr, 0,       methods,
    module_slots<exec_module>, nullptr,           nullptr, nullptr,
};

}  // namespace
}  // namespace velkor::py

PyMODINIT_FUNC PyInit__velkor_testing() { return PyModuleDef_Init(&velkor::py::module_def); }
