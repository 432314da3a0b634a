#include "ik_tasks.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "arguments.hpp"
#include "constraint_set.hpp"
#include "errors.hpp"
#include "types.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

// The three weights of a pose task in signature order, with their names.
constexpr std::size_t weight_count = 3;
const char* const weight_names[weight_count] = {"weight", "position_weight", "orientation_weight"};

struct PoseTaskObject {
  PyObject_HEAD unsigned long long link_id;
  PyObject* target;  // a Pose (strong reference)
  PyObject* tool;    // a Pose or None (strong reference)
  double weights[weight_count];
};

struct CenterOfMassTaskObject {
  PyObject_HEAD double target[3];
  double weight;
};

struct ConstraintTaskObject {
  PyObject_HEAD PyObject* set;  // a ConstraintSet (strong reference)
};

PoseTaskObject* pose_task(PyObject* self) { return reinterpret_cast<PoseTaskObject*>(self); }
CenterOfMassTaskObject* com_task(PyObject* self) {
  return reinterpret_cast<CenterOfMassTaskObject*>(self);
}
ConstraintTaskObject* constraint_task(PyObject* self) {
  return reinterpret_cast<ConstraintTaskObject*>(self);
}

PyObject* unicode_of(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- PoseTask ----

const char* const pose_task_names[] = {"link_id", "target",          "tool",
                                       "weight",  "position_weight", "orientation_weight"};
constexpr Signature pose_task_signature{"PoseTask", pose_task_names, 6, 2, 4};

PyObject* pose_task_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[6];
  if (!parse_arguments(pose_task_signature, args, kwargs, arg)) return nullptr;
  const auto link = link_index_argument(arg[0], "link_id");
  if (!link || !check_pose_type(arg[1], "target") || !optional_instance(arg[2], types().pose, "tool"))
    return nullptr;
  double weights[weight_count] = {1.0, 1.0, 1.0};
  for (std::size_t i = 0; i < weight_count; ++i)
    if (arg[3 + i] != nullptr && !number_argument(arg[3 + i], weight_names[i], weights[i]))
      return nullptr;
  auto* self = pose_task(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->link_id = *link;
  self->target = Py_NewRef(arg[1]);
  self->tool = Py_NewRef(arg[2] != nullptr ? arg[2] : Py_None);
  std::copy_n(weights, weight_count, self->weights);
  return reinterpret_cast<PyObject*>(self);
}

void pose_task_dealloc(PyObject* self) {
  Py_XDECREF(pose_task(self)->target);
  Py_XDECREF(pose_task(self)->tool);
  dealloc_value(self);
}

PyObject* pose_task_link_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(pose_task(self)->link_id);
}
PyObject* pose_task_target(PyObject* self, void*) { return Py_NewRef(pose_task(self)->target); }
PyObject* pose_task_tool(PyObject* self, void*) { return Py_NewRef(pose_task(self)->tool); }
template <std::size_t I>
PyObject* pose_task_weight(PyObject* self, void*) {
  return PyFloat_FromDouble(pose_task(self)->weights[I]);
}

// Equal when of one class with equal link ids and weights (IEEE), equal
// targets and tools both None or equal Poses (their stored numbers).
PyObject* pose_task_compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const PoseTaskObject* a = pose_task(self);
  const PoseTaskObject* b = pose_task(other);
  int equal = a->link_id == b->link_id && std::equal(a->weights, a->weights + weight_count, b->weights);
  if (equal) equal = PyObject_RichCompareBool(a->target, b->target, Py_EQ);
  if (equal == 1) equal = PyObject_RichCompareBool(a->tool, b->tool, Py_EQ);
  if (equal < 0) return nullptr;
  return PyBool_FromLong((equal == 1) == (op == Py_EQ));
}

// velkor.PoseTask(link_id=3, target=velkor.Pose(...), tool=None, weight=1.0, ...)
PyObject* pose_task_repr(PyObject* self) {
  const PoseTaskObject* task = pose_task(self);
  PyRef poses =
      PyRef::steal(PyUnicode_FromFormat("%s(link_id=%llu, target=%R, tool=%R", Py_TYPE(self)->tp_name,
                                        task->link_id, task->target, task->tool));
  if (!poses) return nullptr;
  std::string text;
  for (std::size_t i = 0; i < weight_count; ++i) {
    text += std::string(", ") + weight_names[i] + '=';
    if (!append_float_repr(text, task->weights[i])) return nullptr;
  }
  text += ')';
  PyRef weights = PyRef::steal(unicode_of(text));
  if (!weights) return nullptr;
  return PyUnicode_Concat(poses.get(), weights.get());
}

PyGetSetDef pose_task_getset[] = {
    {"link_id", entry<pose_task_link_id>, nullptr,
     "Link id of the link whose tool frame reaches the target (an index into\n"
     "link_names); checked against the robot by robot.ik_problem().",
     nullptr},
    {"target", entry<pose_task_target>, nullptr,
     "The world pose (metres) the tool frame should reach, a velkor.Pose.", nullptr},
    {"tool", entry<pose_task_tool>, nullptr,
     "The tool frame, a velkor.Pose in the link frame (metres), or None for the\n"
     "link origin and axes.",
     nullptr},
    {"weight", entry<pose_task_weight<0>>, nullptr,
     "w, the task's weight in the cost Σ w²·‖S·e‖² of each step (a float).", nullptr},
    {"position_weight", entry<pose_task_weight<1>>, nullptr,
     "Scales the three position rows of the error (metres) before the weight; 0\n"
     "drops them, leaving the orientation alone (a float).",
     nullptr},
    {"orientation_weight", entry<pose_task_weight<2>>, nullptr,
     "Scales the three orientation rows of the error (radians) before the weight;\n"
     "0 drops them, leaving the position alone (a float).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot pose_task_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("PoseTask(link_id, target, *, tool=None, weight=1.0, position_weight=1.0, "
                       "orientation_weight=1.0)\n--\n\n"
                       "A task of robot.ik_problem(): the tool frame of link link_id reaching the\n"
                       "world pose target (a velkor.Pose, metres). tool: a velkor.Pose in the link\n"
                       "frame (metres) placing the tool frame, None for the link origin and axes.\n"
                       "The task's error e, world axes, angular first: the rotation vector of\n"
                       "R·R_targetᵀ (rad; the rotation that carries the target's axes onto the\n"
                       "tool frame's), then p - p_target of the tool point (m); S scales its three\n"
                       "orientation rows by orientation_weight and its three position rows by\n"
                       "position_weight (a weight of 0 drops those rows), and weight w scales the\n"
                       "task in the cost Σ w²·‖S·e‖² of each step. The task's reported error is\n"
                       "‖S·e‖ without w (radians and metres mixed by the two weights). Numbers\n"
                       "are read as float() reads them.\n\n"
                       "robot.ik_problem() checks the task against the robot: ValueError for a\n"
                       "link id it does not have (\"tasks[0]: invalid link id 9\"), a pose with\n"
                       "non-finite values or a zero quaternion (\"tasks[0]: pose contains\n"
                       "non-finite values or a zero quaternion\"), weights that are not finite and\n"
                       "0 or more, or position_weight and orientation_weight both 0. Raises\n"
                       "TypeError for a non-integer link_id, a target that is not a Pose, a tool\n"
                       "that is not a Pose or None, a weight that is not a real number\n"
                       "(\"argument 'weight': must be real number, not str\"); ValueError for a\n"
                       "negative link_id (\"invalid link id -1\"). Immutable; == compares all\n"
                       "fields (poses by their stored numbers); unhashable; pickles and copies.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<pose_task_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(pose_task_dealloc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<pose_task_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, pose_task_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<pose_task_repr>)},
    {0, nullptr},
};
PyType_Spec pose_task_spec = {"velkor.PoseTask", sizeof(PoseTaskObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, pose_task_slots};

// ---- CenterOfMassTask ----

const char* const com_task_names[] = {"target", "weight"};
constexpr Signature com_task_signature{"CenterOfMassTask", com_task_names, 2, 1};

PyObject* com_task_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[2];
  if (!parse_arguments(com_task_signature, args, kwargs, arg)) return nullptr;
  double target[3];
  double weight = 1.0;
  if (!read_numbers(arg[0], "target", target, 3)) return nullptr;
  if (arg[1] != nullptr && !number_argument(arg[1], "weight", weight)) return nullptr;
  auto* self = com_task(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  std::copy_n(target, 3, self->target);
  self->weight = weight;
  return reinterpret_cast<PyObject*>(self);
}

PyObject* com_task_target(PyObject* self, void*) { return float_tuple(com_task(self)->target, 3); }
PyObject* com_task_weight(PyObject* self, void*) { return PyFloat_FromDouble(com_task(self)->weight); }

PyObject* com_task_compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const CenterOfMassTaskObject* a = com_task(self);
  const CenterOfMassTaskObject* b = com_task(other);
  const bool equal = std::equal(a->target, a->target + 3, b->target) && a->weight == b->weight;
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// velkor.CenterOfMassTask(target=(x, y, z), weight=1.0)
PyObject* com_task_repr(PyObject* self) {
  const CenterOfMassTaskObject* task = com_task(self);
  std::string text = Py_TYPE(self)->tp_name;
  text += "(target=";
  if (!append_float_tuple_repr(text, task->target, 3)) return nullptr;
  text += ", weight=";
  if (!append_float_repr(text, task->weight)) return nullptr;
  text += ')';
  return unicode_of(text);
}

PyGetSetDef com_task_getset[] = {
    {"target", entry<com_task_target>, nullptr,
     "Where the centre of mass should be, (x, y, z) in metres, world axes.", nullptr},
    {"weight", entry<com_task_weight>, nullptr,
     "w, the task's weight in the cost Σ w²·‖e‖² of each step (a float).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot com_task_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("CenterOfMassTask(target, weight=1.0)\n--\n\n"
                       "A task of robot.ik_problem(): the robot's centre of mass reaching\n"
                       "target, three numbers (x, y, z) in metres, world axes. Its error is\n"
                       "c - c_target (m, world axes), weighted by weight w in the cost Σ w²·‖e‖²\n"
                       "of each step; its reported error is ‖e‖ without w. Numbers are read as\n"
                       "float() reads them.\n\n"
                       "Raises TypeError when target is not a sequence of 3 real numbers or\n"
                       "weight not a real number, ValueError for a target of another length\n"
                       "(\"expected a sequence of length 3 (got 2)\"); robot.ik_problem() raises\n"
                       "ValueError for a non-finite target, or a weight that is not finite and\n"
                       "0 or more. Immutable; == compares the numbers; unhashable; pickles and\n"
                       "copies.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<com_task_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<com_task_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, com_task_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<com_task_repr>)},
    {0, nullptr},
};
PyType_Spec com_task_spec = {"velkor.CenterOfMassTask", sizeof(CenterOfMassTaskObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, com_task_slots};

// ---- ConstraintTask ----

const char* const constraint_task_names[] = {"constraint_set"};
constexpr Signature constraint_task_signature{"ConstraintTask", constraint_task_names, 1, 1};

PyObject* constraint_task_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[1];
  if (!parse_arguments(constraint_task_signature, args, kwargs, arg)) return nullptr;
  if (!constraint_set_argument(arg[0], "constraint_set")) return nullptr;
  auto* self = constraint_task(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->set = Py_NewRef(arg[0]);
  return reinterpret_cast<PyObject*>(self);
}

void constraint_task_dealloc(PyObject* self) {
  Py_XDECREF(constraint_task(self)->set);
  dealloc_value(self);
}

PyObject* constraint_task_set(PyObject* self, void*) { return Py_NewRef(constraint_task(self)->set); }

// Equal when they hold the same ConstraintSet (which compares by identity).
PyObject* constraint_task_compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = constraint_task(self)->set == constraint_task(other)->set;
  return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* constraint_task_repr(PyObject* self) {
  return PyUnicode_FromFormat("%s(constraint_set=%R)", Py_TYPE(self)->tp_name,
                              constraint_task(self)->set);
}

PyGetSetDef constraint_task_getset[] = {
    {"constraint_set", entry<constraint_task_set>, nullptr,
     "The velkor.ConstraintSet whose rows the solve holds exactly.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot constraint_task_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("ConstraintTask(constraint_set)\n--\n\n"
                       "A task of robot.ik_problem(): the contacts and loop closures of a\n"
                       "velkor.ConstraintSet held exactly. Each step's QP keeps them as equality\n"
                       "rows, J_c·Δv = -e_c, with e_c the set's position error (world axes): a\n"
                       "contact against its target or, without one, against where the contact\n"
                       "is at the solve's start; a loop closure p_a - p_b, for a frame first the\n"
                       "rotation vector of R_a·R_bᵀ. Its m rows are the problem's\n"
                       "equality_rows, in task order. Its reported error is the largest\n"
                       "absolute entry of e_c (m or rad).\n\n"
                       "robot.ik_problem() raises ValueError for a set of another robot model\n"
                       "(\"tasks[0]: the constraint set belongs to another robot model\").\n"
                       "Raises TypeError when constraint_set is not a velkor.ConstraintSet.\n"
                       "Immutable; == compares the sets by identity; unhashable; it does not\n"
                       "pickle or copy, as its ConstraintSet does not (make the task again from\n"
                       "a set made again from the items).")},
    {Py_tp_new, reinterpret_cast<void*>(entry<constraint_task_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(constraint_task_dealloc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<constraint_task_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, constraint_task_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<constraint_task_repr>)},
    {0, nullptr},
};
PyType_Spec constraint_task_spec = {"velkor.ConstraintTask", sizeof(ConstraintTaskObject), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                                    constraint_task_slots};

bool create_type(PyTypeObject*& slot, PyType_Spec& spec_of_type) {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec_of_type));
  return slot != nullptr;
}

}  // namespace

bool create_ik_task_types() {
  Types& t = types();
  return create_type(t.pose_task, pose_task_spec) && create_type(t.center_of_mass_task, com_task_spec) &&
         create_type(t.constraint_task, constraint_task_spec);
}

PyRef ik_task_tuple(PyObject* tasks) {
  const Types& t = types();
  if (!PySequence_Check(tasks) || PyUnicode_Check(tasks) || PyBytes_Check(tasks)) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'tasks': expected a sequence of velkor.PoseTask, velkor.CenterOfMassTask "
                 "and velkor.ConstraintTask, got %s",
                 Py_TYPE(tasks)->tp_name);
    return {};
  }
  PyRef tuple = PyRef::steal(PySequence_Tuple(tasks));
  if (!tuple) return {};
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple.get()); ++i) {
    PyTypeObject* type = Py_TYPE(PyTuple_GET_ITEM(tuple.get(), i));
    if (type != t.pose_task && type != t.center_of_mass_task && type != t.constraint_task) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'tasks': item %zd is %s, not velkor.PoseTask, velkor.CenterOfMassTask or "
                   "velkor.ConstraintTask",
                   i, type->tp_name);
      return {};
    }
  }
  return tuple;
}

bool core_ik_task(PyObject* object, Py_ssize_t i, const LinkTable& links, IkTask& task) {
  const auto failed = [i] {
    PyRef where = PyRef::steal(PyUnicode_FromFormat("tasks[%zd]", i));
    if (where) reraise_naming(PyExc_ValueError, where.get());
    return false;
  };
  const Types& t = types();
  PyTypeObject* type = Py_TYPE(object);
  if (type == t.pose_task) {
    const PoseTaskObject* o = pose_task(object);
    velkor::PoseTask pose;
    const auto link = target_link(links, o->link_id);
    if (!link) return failed();
    pose.link = *link;
    const auto target = accepted_pose(o->target);
    if (!target) return failed();
    pose.target = *target;
    if (o->tool != Py_None) {
      const auto tool = accepted_pose(o->tool);
      if (!tool) return failed();
      pose.tool = *tool;
    }
    pose.weight = o->weights[0];
    pose.position_weight = o->weights[1];
    pose.orientation_weight = o->weights[2];
    task = pose;
  } else if (type == t.center_of_mass_task) {
    const CenterOfMassTaskObject* o = com_task(object);
    task = velkor::CenterOfMassTask{Vec3(o->target[0], o->target[1], o->target[2]), o->weight};
  } else {
    auto set = constraint_set_argument(constraint_task(object)->set, "constraint_set");
    if (!set) return false;
    if (!constraint_set_of_model(*set, links)) return failed();
    task = velkor::ConstraintTask{std::move(set)};
  }
  return true;
}

}  // namespace velkor::py
