#include "values.hpp"

#include <algorithm>

#include "arguments.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "types.hpp"

namespace velkor::py {
namespace {

// Stored exactly as built: quaternion x, y, z, w, then translation x, y, z.
struct PoseObject {
  PyObject_HEAD
  double values[7];
};

// Angular x, y, z, then linear x, y, z.
struct TwistObject {
  PyObject_HEAD
  double values[6];
};

struct BaseStateObject {
  PyObject_HEAD
  double velocity[6];
  double acceleration[6];
  double frame[7];
};

constexpr double identity_pose[7] = {0, 0, 0, 1, 0, 0, 0};

template <class Object>
Object* allocate(PyTypeObject* type) {
  return reinterpret_cast<Object*>(type->tp_alloc(type, 0));
}

// Equality of all stored numbers under IEEE comparison; other classes and the
// ordering operators are NotImplemented.
template <class Object, std::size_t N>
PyObject* compare(PyObject* self, PyObject* other, int op, double (Object::*field)[N]) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const double* a = reinterpret_cast<Object*>(self)->*field;
  const double* b = reinterpret_cast<Object*>(other)->*field;
  const bool equal = std::equal(a, a + N, b);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// ---- Pose ----

const char* const pose_names[] = {"translation", "rotation_xyzw"};
constexpr Signature pose_signature{"Pose", pose_names, 2, 0};

PyObject* pose_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[2];
  if (!parse_arguments(pose_signature, args, kwargs, arg)) return nullptr;
  double values[7];
  std::copy(identity_pose, identity_pose + 7, values);
  if (arg[0] && !read_numbers(arg[0], "translation", values + 4, 3)) return nullptr;
  if (arg[1] && !read_numbers(arg[1], "rotation_xyzw", values, 4)) return nullptr;
  auto* self = allocate<PoseObject>(type);
  if (self) std::copy(values, values + 7, self->values);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* pose_translation(PyObject* self, void*) {
  return float_tuple(reinterpret_cast<PoseObject*>(self)->values + 4, 3);
}

PyObject* pose_rotation(PyObject* self, void*) {
  return float_tuple(reinterpret_cast<PoseObject*>(self)->values, 4);
}

PyObject* pose_compare(PyObject* self, PyObject* other, int op) {
  return compare<PoseObject>(self, other, op, &PoseObject::values);
}

PyGetSetDef pose_getset[] = {
    {"translation", entry<pose_translation>, nullptr, "Translation (x, y, z) in metres.", nullptr},
    {"rotation_xyzw", entry<pose_rotation>, nullptr, "Rotation quaternion (x, y, z, w).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Twist ----

const char* const twist_names[] = {"angular", "linear"};
constexpr Signature twist_signature{"Twist", twist_names, 2, 0};

PyObject* twist_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[2];
  if (!parse_arguments(twist_signature, args, kwargs, arg)) return nullptr;
  double values[6] = {0, 0, 0, 0, 0, 0};
  if (arg[0] && !read_numbers(arg[0], "angular", values, 3)) return nullptr;
  if (arg[1] && !read_numbers(arg[1], "linear", values + 3, 3)) return nullptr;
  auto* self = allocate<TwistObject>(type);
  if (self) std::copy(values, values + 6, self->values);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* twist_angular(PyObject* self, void*) {
  return float_tuple(reinterpret_cast<TwistObject*>(self)->values, 3);
}

PyObject* twist_linear(PyObject* self, void*) {
  return float_tuple(reinterpret_cast<TwistObject*>(self)->values + 3, 3);
}

PyObject* twist_compare(PyObject* self, PyObject* other, int op) {
  return compare<TwistObject>(self, other, op, &TwistObject::values);
}

PyGetSetDef twist_getset[] = {
    {"angular", entry<twist_angular>, nullptr, "Angular part (x, y, z).", nullptr},
    {"linear", entry<twist_linear>, nullptr, "Linear part (x, y, z).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- BaseState ----

const char* const base_state_names[] = {"frame", "velocity", "acceleration"};
constexpr Signature base_state_signature{"BaseState", base_state_names, 3, 0};

// None and an omitted argument select the default; anything but `type` is a TypeError.
bool optional_instance(PyObject* value, PyTypeObject* type, const char* name) {
  if (value == nullptr || value == Py_None || Py_TYPE(value) == type) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s or None, got %s", name, type->tp_name,
               Py_TYPE(value)->tp_name);
  return false;
}

bool given(PyObject* value) { return value != nullptr && value != Py_None; }

PyObject* base_state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[3];
  if (!parse_arguments(base_state_signature, args, kwargs, arg)) return nullptr;
  const Types& t = types();
  if (!optional_instance(arg[0], t.pose, "frame") ||
      !optional_instance(arg[1], t.twist, "velocity") ||
      !optional_instance(arg[2], t.twist, "acceleration"))
    return nullptr;
  auto* self = allocate<BaseStateObject>(type);
  if (!self) return nullptr;
  const double* frame = given(arg[0]) ? reinterpret_cast<PoseObject*>(arg[0])->values : identity_pose;
  std::copy(frame, frame + 7, self->frame);
  std::fill(self->velocity, self->velocity + 6, 0.0);
  std::fill(self->acceleration, self->acceleration + 6, 0.0);
  if (given(arg[1])) std::copy_n(reinterpret_cast<TwistObject*>(arg[1])->values, 6, self->velocity);
  if (given(arg[2]))
    std::copy_n(reinterpret_cast<TwistObject*>(arg[2])->values, 6, self->acceleration);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* pose_from_values(const double* values) {
  auto* pose = allocate<PoseObject>(types().pose);
  if (pose) std::copy_n(values, 7, pose->values);
  return reinterpret_cast<PyObject*>(pose);
}

PyObject* twist_from_values(const double* values) {
  auto* twist = allocate<TwistObject>(types().twist);
  if (twist) std::copy_n(values, 6, twist->values);
  return reinterpret_cast<PyObject*>(twist);
}

PyObject* base_state_frame(PyObject* self, void*) {
  return pose_from_values(reinterpret_cast<BaseStateObject*>(self)->frame);
}

PyObject* base_state_velocity(PyObject* self, void*) {
  return twist_from_values(reinterpret_cast<BaseStateObject*>(self)->velocity);
}

PyObject* base_state_acceleration(PyObject* self, void*) {
  return twist_from_values(reinterpret_cast<BaseStateObject*>(self)->acceleration);
}

PyObject* base_state_compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const auto* a = reinterpret_cast<BaseStateObject*>(self);
  const auto* b = reinterpret_cast<BaseStateObject*>(other);
  const bool equal = std::equal(a->velocity, a->velocity + 6, b->velocity) &&
                     std::equal(a->acceleration, a->acceleration + 6, b->acceleration) &&
                     std::equal(a->frame, a->frame + 7, b->frame);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

PyGetSetDef base_state_getset[] = {
    {"frame", entry<base_state_frame>, nullptr, "World pose of the root link.", nullptr},
    {"velocity", entry<base_state_velocity>, nullptr,
     "Angular and linear velocity of the root-link origin, world axes.", nullptr},
    {"acceleration", entry<base_state_acceleration>, nullptr,
     "Angular and classical linear acceleration of the root-link origin, world axes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- type objects ----

constexpr unsigned value_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Slot pose_slots[] = {
    {Py_tp_doc, const_cast<char*>("Pose(translation=..., rotation_xyzw=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry<pose_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<pose_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, pose_getset},
    {0, nullptr},
};
PyType_Spec pose_spec = {"velkor.Pose", sizeof(PoseObject), 0, value_flags, pose_slots};

PyType_Slot twist_slots[] = {
    {Py_tp_doc, const_cast<char*>("Twist(angular=..., linear=...)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry<twist_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<twist_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, twist_getset},
    {0, nullptr},
};
PyType_Spec twist_spec = {"velkor.Twist", sizeof(TwistObject), 0, value_flags, twist_slots};

PyType_Slot base_state_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("BaseState(frame=None, velocity=None, acceleration=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry<base_state_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<base_state_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, base_state_getset},
    {0, nullptr},
};
PyType_Spec base_state_spec = {"velkor.BaseState", sizeof(BaseStateObject), 0, value_flags,
                               base_state_slots};

bool create_type(PyTypeObject*& slot, PyType_Spec& type_spec) {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  return slot != nullptr;
}

}  // namespace

void dealloc_value(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

bool create_value_types() {
  Types& t = types();
  return create_type(t.pose, pose_spec) && create_type(t.twist, twist_spec) &&
         create_type(t.base_state, base_state_spec);
}

PyObject* new_pose(const Pose& pose) { return pose_from_values(pose.to_array().data()); }

PyObject* new_twist(const Twist& twist) {
  const double values[6] = {twist.angular.x(), twist.angular.y(), twist.angular.z(),
                            twist.linear.x(),  twist.linear.y(),  twist.linear.z()};
  return twist_from_values(values);
}

namespace {

std::optional<Pose> accepted(const double* stored) {
  std::array<double, 7> values;
  std::copy_n(stored, 7, values.begin());
  auto pose = accept_pose(values);
  if (!pose)
    PyErr_SetString(PyExc_ValueError, "pose contains non-finite values or a zero quaternion");
  return pose;
}

Twist twist_of(const double* values) {
  return Twist{Vec3(values[0], values[1], values[2]), Vec3(values[3], values[4], values[5])};
}

}  // namespace

bool check_pose_type(PyObject* value, const char* name) {
  if (Py_TYPE(value) == types().pose) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, types().pose->tp_name,
               Py_TYPE(value)->tp_name);
  return false;
}

std::optional<Pose> accepted_pose(PyObject* pose) {
  return accepted(reinterpret_cast<PoseObject*>(pose)->values);
}

std::optional<Pose> pose_argument(PyObject* value, const char* name) {
  if (!check_pose_type(value, name)) return std::nullopt;
  return accepted_pose(value);
}

std::optional<BaseState> base_state_argument(PyObject* value, const char* name) {
  if (Py_TYPE(value) != types().base_state) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name,
                 types().base_state->tp_name, Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  const auto* state = reinterpret_cast<BaseStateObject*>(value);
  const auto frame = accepted(state->frame);
  if (!frame) return std::nullopt;
  auto result = BaseState::create(*frame, twist_of(state->velocity), twist_of(state->acceleration));
  if (!result) {
    core_error(result.error());
    return std::nullopt;
  }
  return *result;
}

}  // namespace velkor::py
