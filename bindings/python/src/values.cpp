#include "values.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "arguments.hpp"
#include "errors.hpp"
#include "numpy.hpp"
#include "py_ref.hpp"
#include "types.hpp"

namespace velkor::py {
namespace {

// Stored exactly as built: quaternion x, y, z, w, then translation x, y, z.
struct PoseObject {
  PyObject_HEAD double values[7];
};

// Angular x, y, z, then linear x, y, z.
struct TwistObject {
  PyObject_HEAD double values[6];
};

struct BaseStateObject {
  PyObject_HEAD double velocity[6];
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

// ---- reprs ----

// "velkor.Pose(translation=(x, y, z), rotation_xyzw=(x, y, z, w))" of the stored numbers.
bool append_pose_repr(std::string& text, const double* values) {
  text += types().pose->tp_name;
  text += "(translation=";
  if (!append_float_tuple_repr(text, values + 4, 3)) return false;
  text += ", rotation_xyzw=";
  if (!append_float_tuple_repr(text, values, 4)) return false;
  text += ')';
  return true;
}

bool append_twist_repr(std::string& text, const double* values) {
  text += types().twist->tp_name;
  text += "(angular=";
  if (!append_float_tuple_repr(text, values, 3)) return false;
  text += ", linear=";
  if (!append_float_tuple_repr(text, values + 3, 3)) return false;
  text += ')';
  return true;
}

PyObject* unicode_of(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* pose_repr(PyObject* self) {
  std::string text;
  if (!append_pose_repr(text, reinterpret_cast<PoseObject*>(self)->values)) return nullptr;
  return unicode_of(text);
}

// ---- Pose maths ----
//
// Every operation first accepts the stored pose (the rule of pose arguments:
// ValueError for non-finite values or a zero quaternion) and works with its
// normalised quaternion; the stored numbers are never changed.

using RowMatrix3 = Eigen::Matrix<double, 3, 3, Eigen::RowMajor>;
using RowMatrix4 = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
using RowPoints = Eigen::Matrix<double, Eigen::Dynamic, 3, Eigen::RowMajor>;

// Largest deviation of RᵀR from the identity accepted by Pose.from_matrix:
// round-off of double-precision products, far below any real scale or shear.
constexpr double orthonormality_tolerance = 1e-9;
// Largest deviation of the bottom row from (0, 0, 0, 1) accepted by Pose.from_matrix.
constexpr double bottom_row_tolerance = 1e-12;

PyObject* pose_result(const Pose& pose) {
  Pose normalised = pose;
  normalised.rotation.normalize();
  return new_pose(normalised);
}

// "(4, 4)", "(3,)", "()" as Python writes shape tuples.
std::string shape_text(PyArrayObject* array) {
  const int ndim = PyArray_NDIM(array);
  std::string text = "(";
  for (int i = 0; i < ndim; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(PyArray_DIM(array, i));
  }
  return text + (ndim == 1 ? ",)" : ")");
}

// `value` as an aligned, C-contiguous float64 array: the argument itself when
// it is one, else a converted copy. Elements must be real numbers (a bool,
// integer or floating dtype), else TypeError naming the argument; NumPy's
// ValueError (e.g. for ragged nesting) is raised again naming the argument.
PyRef float64_array(PyObject* value, const char* name) {
  PyRef natural = PyRef::steal(PyArray_FromAny(value, nullptr, 0, 0, 0, nullptr));
  if (!natural) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {  // e.g. ragged nesting: name the argument
      PyRef where = PyRef::steal(PyUnicode_FromFormat("argument '%s'", name));
      if (where) reraise_naming(PyExc_ValueError, where.get());
    }
    return {};
  }
  auto* array = reinterpret_cast<PyArrayObject*>(natural.get());
  const char kind = PyArray_DESCR(array)->kind;
  if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected an array of real numbers, got dtype %S", name,
                 reinterpret_cast<PyObject*>(PyArray_DESCR(array)));
    return {};
  }
  return PyRef::steal(PyArray_FromAny(natural.get(), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                      NPY_ARRAY_IN_ARRAY | NPY_ARRAY_FORCECAST, nullptr));
}

PyObject* new_float64_array(int ndim, npy_intp* dims) {
  return PyArray_SimpleNew(ndim, dims, NPY_DOUBLE);
}

double* array_data(PyObject* array) {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

PyObject* pose_matmul(PyObject* left, PyObject* right) {
  PyTypeObject* pose = types().pose;
  if (Py_TYPE(left) != pose || Py_TYPE(right) != pose) Py_RETURN_NOTIMPLEMENTED;
  const auto a = accepted_pose(left);
  if (!a) return nullptr;
  const auto b = accepted_pose(right);
  if (!b) return nullptr;
  return pose_result(a->compose(*b));
}

PyObject* pose_inverse(PyObject* self, PyObject*) {
  const auto pose = accepted_pose(self);
  if (!pose) return nullptr;
  const Quat inverse = pose->rotation.conjugate();
  return pose_result(Pose{inverse, -(inverse * pose->translation)});
}

PyObject* pose_as_matrix(PyObject* self, PyObject*) {
  const auto pose = accepted_pose(self);
  if (!pose) return nullptr;
  npy_intp dims[2] = {4, 4};
  PyObject* array = new_float64_array(2, dims);
  if (!array) return nullptr;
  Eigen::Map<RowMatrix4> m(array_data(array));
  m.setIdentity();
  m.topLeftCorner<3, 3>() = pose->rotation.toRotationMatrix();
  m.topRightCorner<3, 1>() = pose->translation;
  return array;
}

PyObject* pose_rotation_matrix(PyObject* self, void*) {
  const auto pose = accepted_pose(self);
  if (!pose) return nullptr;
  npy_intp dims[2] = {3, 3};
  PyObject* array = new_float64_array(2, dims);
  if (!array) return nullptr;
  Eigen::Map<RowMatrix3>(array_data(array)) = pose->rotation.toRotationMatrix();
  return array;
}

PyObject* not_rigid(const char* reason) {
  PyErr_Format(PyExc_ValueError, "matrix is not a rigid transform: %s", reason);
  return nullptr;
}

PyObject* pose_from_matrix(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"matrix"};
  static constexpr Signature signature{"Pose.from_matrix", names, 1, 1};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const PyRef array = float64_array(arg[0], "matrix");
  if (!array) return nullptr;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  if (PyArray_NDIM(a) != 2 || PyArray_DIM(a, 0) != 4 || PyArray_DIM(a, 1) != 4) {
    PyErr_Format(PyExc_ValueError, "matrix must have shape (4, 4), got %s", shape_text(a).c_str());
    return nullptr;
  }
  const RowMatrix4 m = Eigen::Map<const RowMatrix4>(array_data(array.get()));
  if (!m.allFinite()) return not_rigid("it contains non-finite values");
  const Eigen::RowVector4d bottom = m.row(3) - Eigen::RowVector4d(0, 0, 0, 1);
  if (bottom.cwiseAbs().maxCoeff() > bottom_row_tolerance) {
    std::string reason = "bottom row ";
    const Eigen::RowVector4d row = m.row(3);
    if (!append_float_tuple_repr(reason, row.data(), 4)) return nullptr;
    return not_rigid((reason + " is not (0, 0, 0, 1)").c_str());
  }
  const Mat3 r = m.topLeftCorner<3, 3>();
  const double defect = (r.transpose() * r - Mat3::Identity()).cwiseAbs().maxCoeff();
  if (!(defect <= orthonormality_tolerance)) {
    std::string reason = "rotation block is not orthonormal (max |R^T R - I| = ";
    if (!append_float_repr(reason, defect)) return nullptr;
    return not_rigid((reason + ", tolerance 1e-09)").c_str());
  }
  const double determinant = r.determinant();
  if (!(determinant > 0)) {
    std::string reason = "rotation block is a reflection (det R = ";
    if (!append_float_repr(reason, determinant)) return nullptr;
    return not_rigid((reason + ")").c_str());
  }
  Quat rotation(r);  // the largest of w, x, y, z is computed first: robust at any angle
  rotation.normalize();
  if (rotation.w() < 0) rotation.coeffs() = -rotation.coeffs();
  return new_pose(Pose{rotation, m.topRightCorner<3, 1>()});
}

PyObject* pose_transform_points(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const char* const names[] = {"points"};
  static constexpr Signature signature{"Pose.transform_points", names, 1, 1};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const PyRef array = float64_array(arg[0], "points");
  if (!array) return nullptr;
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const int ndim = PyArray_NDIM(a);
  if ((ndim != 1 && ndim != 2) || PyArray_DIM(a, ndim - 1) != 3) {
    PyErr_Format(PyExc_ValueError, "points must have shape (3,) or (N, 3), got %s",
                 shape_text(a).c_str());
    return nullptr;
  }
  const auto pose = accepted_pose(self);
  if (!pose) return nullptr;
  PyObject* result = new_float64_array(ndim, PyArray_DIMS(a));
  if (!result) return nullptr;
  const npy_intp rows = ndim == 1 ? 1 : PyArray_DIM(a, 0);
  if (rows > 0) {
    const Eigen::Map<const RowPoints> in(array_data(array.get()), rows, 3);
    Eigen::Map<RowPoints> out(array_data(result), rows, 3);
    const RowMatrix3 rotation_t = pose->rotation.toRotationMatrix().transpose();
    out.noalias() = in * rotation_t;
    out.rowwise() += pose->translation.transpose();
  }
  return result;
}

PyMethodDef pose_methods[] = {
    {"inverse", entry<pose_inverse>, METH_NOARGS,
     "inverse($self)\n--\n\n"
     "The inverse transform, as a new Pose.\n\n"
     "If this pose maps a point p of its child frame to R p + t in its parent\n"
     "frame, the inverse maps parent-frame points into the child frame:\n"
     "rotation R^T (the conjugate quaternion), translation -R^T t, in metres.\n"
     "The stored quaternion is normalised first; the result's quaternion is\n"
     "normalised. Raises ValueError if the pose contains non-finite values or a\n"
     "zero quaternion. Allocates only the result."},
    {"as_matrix", entry<pose_as_matrix>, METH_NOARGS,
     "as_matrix($self)\n--\n\n"
     "The homogeneous transform [[R, t], [0, 0, 0, 1]] as a new 4x4 float64\n"
     "C-ordered NumPy array, mapping child-frame to parent-frame coordinates\n"
     "(translation in metres). R is built from the normalised quaternion.\n"
     "Raises ValueError if the pose contains non-finite values or a zero\n"
     "quaternion. Allocates the array on every call."},
    {"from_matrix", fastcall_entry<pose_from_matrix>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_matrix($type, matrix)\n--\n\n"
     "The Pose of a 4x4 homogeneous rigid transform [[R, t], [0, 0, 0, 1]]\n"
     "that maps child-frame to parent-frame coordinates (t in metres).\n\n"
     "matrix is any 4x4 array-like of real numbers (bool, integer or float\n"
     "dtype; anything else is a TypeError, another shape a ValueError). It is\n"
     "accepted as a rigid transform only if all entries are finite, the bottom\n"
     "row is within 1e-12 of (0, 0, 0, 1), R is orthonormal (every entry of\n"
     "R^T R - I within 1e-9) and det R > 0; otherwise ValueError\n"
     "\"matrix is not a rigid transform: ...\" says which check failed. The\n"
     "quaternion is extracted from R by the largest-component method, then\n"
     "normalised and given w >= 0. Allocates a float64 copy of the matrix when\n"
     "it is not one already, and the result."},
    {"transform_points", fastcall_entry<pose_transform_points>(), METH_FASTCALL | METH_KEYWORDS,
     "transform_points($self, points)\n--\n\n"
     "Maps child-frame points to the parent frame: R p + t for each point.\n\n"
     "points is a (3,) or (N, 3) array-like of real numbers, one point per row,\n"
     "in metres (N may be 0). Returns a new float64 array of the same shape.\n"
     "TypeError if the elements are not real numbers, ValueError for any other\n"
     "shape, or if the pose contains non-finite values or a zero quaternion.\n"
     "Allocates the result, and a float64 copy of points unless it is already\n"
     "an aligned, C-contiguous float64 array."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef pose_getset[] = {
    {"translation", entry<pose_translation>, nullptr, "Translation (x, y, z) in metres, as stored.",
     nullptr},
    {"rotation_xyzw", entry<pose_rotation>, nullptr,
     "Rotation quaternion (x, y, z, w) as stored; it is normalised wherever the\n"
     "pose is used.",
     nullptr},
    {"rotation_matrix", entry<pose_rotation_matrix>, nullptr,
     "The rotation R as a new 3x3 float64 C-ordered NumPy array: column j is\n"
     "child-frame axis j in parent-frame coordinates. Built from the normalised\n"
     "quaternion; ValueError if the pose contains non-finite values or a zero\n"
     "quaternion. Allocates the array on every access.",
     nullptr},
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

PyObject* twist_repr(PyObject* self) {
  std::string text;
  if (!append_twist_repr(text, reinterpret_cast<TwistObject*>(self)->values)) return nullptr;
  return unicode_of(text);
}

PyGetSetDef twist_getset[] = {
    {"angular", entry<twist_angular>, nullptr,
     "Angular part (x, y, z): rad/s, or rad/s² for an acceleration.", nullptr},
    {"linear", entry<twist_linear>, nullptr, "Linear part (x, y, z): m/s, or m/s² for an acceleration.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- BaseState ----

const char* const base_state_names[] = {"frame", "velocity", "acceleration"};
constexpr Signature base_state_signature{"BaseState", base_state_names, 3, 0};

// None and an omitted argument select the default (see optional_instance).
bool given(PyObject* value) { return value != nullptr && value != Py_None; }

PyObject* base_state_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[3];
  if (!parse_arguments(base_state_signature, args, kwargs, arg)) return nullptr;
  const Types& t = types();
  if (!optional_instance(arg[0], t.pose, "frame") || !optional_instance(arg[1], t.twist, "velocity") ||
      !optional_instance(arg[2], t.twist, "acceleration"))
    return nullptr;
  auto* self = allocate<BaseStateObject>(type);
  if (!self) return nullptr;
  const double* frame = given(arg[0]) ? reinterpret_cast<PoseObject*>(arg[0])->values : identity_pose;
  std::copy(frame, frame + 7, self->frame);
  std::fill(self->velocity, self->velocity + 6, 0.0);
  std::fill(self->acceleration, self->acceleration + 6, 0.0);
  if (given(arg[1])) std::copy_n(reinterpret_cast<TwistObject*>(arg[1])->values, 6, self->velocity);
  if (given(arg[2])) std::copy_n(reinterpret_cast<TwistObject*>(arg[2])->values, 6, self->acceleration);
  return reinterpret_cast<PyObject*>(self);
}

// The 19 numbers of a base state as arrays hold them: the frame as a pose row
// [tx, ty, tz, qx, qy, qz, qw], the velocity [ωx, ωy, ωz, vx, vy, vz], then the
// acceleration in the same order. Stored poses keep the quaternion first.
constexpr Py_ssize_t base_state_size = 19;

void base_state_from_row(const double* row, double* frame, double* velocity, double* acceleration) {
  std::copy_n(row + 3, 4, frame);
  std::copy_n(row, 3, frame + 4);
  std::copy_n(row + 7, 6, velocity);
  std::copy_n(row + 13, 6, acceleration);
}

PyObject* base_state_from_array(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const char* const names[] = {"values"};
  static constexpr Signature signature{"BaseState.from_array", names, 1, 1};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  double row[base_state_size];  // float64 vectors are read directly (see read_numbers)
  if (!read_numbers(arg[0], "values", row, base_state_size)) return nullptr;
  auto* self = allocate<BaseStateObject>(reinterpret_cast<PyTypeObject*>(cls));
  if (self) base_state_from_row(row, self->frame, self->velocity, self->acceleration);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* base_state_from_configuration(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  static const char* const names[] = {"configuration", "velocity"};
  static constexpr Signature signature{"BaseState.from_configuration", names, 2, 1};
  PyObject* arg[2] = {};
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  double position[7];  // p, then the quaternion x, y, z, w
  double velocity[6] = {0, 0, 0, 0, 0, 0};
  if (!read_leading_numbers(arg[0], "configuration", position, 7)) return nullptr;
  if (given(arg[1]) && !read_leading_numbers(arg[1], "velocity", velocity, 6)) return nullptr;
  auto* self = allocate<BaseStateObject>(reinterpret_cast<PyTypeObject*>(cls));
  if (!self) return nullptr;
  std::copy_n(position + 3, 4, self->frame);
  std::copy_n(position, 3, self->frame + 4);
  std::copy_n(velocity, 6, self->velocity);
  std::fill(self->acceleration, self->acceleration + 6, 0.0);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* base_state_to_array(PyObject* self, PyObject*) {
  const auto* state = reinterpret_cast<BaseStateObject*>(self);
  npy_intp dims[1] = {base_state_size};
  PyObject* array = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (array == nullptr) return nullptr;
  auto* row = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
  std::copy_n(state->frame + 4, 3, row);
  std::copy_n(state->frame, 4, row + 3);
  std::copy_n(state->velocity, 6, row + 7);
  std::copy_n(state->acceleration, 6, row + 13);
  return array;
}

PyMethodDef base_state_methods[] = {
    {"from_array", fastcall_entry<base_state_from_array>(), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_array($type, values)\n--\n\n"
     "A BaseState from 19 numbers, the layout base-state arrays use: the frame\n"
     "as a pose row [tx, ty, tz, qx, qy, qz, qw] (metres; quaternion x, y, z, w),\n"
     "the velocity [wx, wy, wz, vx, vy, vz] and the acceleration [ax, ay, az, lx,\n"
     "ly, lz] (angular first, world axes, of the root-link origin). The fast way\n"
     "to turn a state held in an array into a BaseState: a float64 vector is read\n"
     "directly; any other sequence of numbers is converted as float() would.\n"
     "Values are checked when the state is used, as for the constructor. Raises\n"
     "ValueError for another length, TypeError for non-numbers."},
    {"from_configuration", fastcall_entry<base_state_from_configuration>(),
     METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_configuration($type, configuration, velocity=None)\n--\n\n"
     "The base argument of a FloatingRobot at a configuration array: the frame\n"
     "from its first 7 values (root-link position in metres, then the\n"
     "orientation quaternion x, y, z, w, as stored: normalised where used), the\n"
     "velocity from the first 6 values of a generalized velocity (angular, then\n"
     "the root-link origin's linear velocity, world axes; zero when None), the\n"
     "acceleration zero. Longer arrays (a whole configuration, a whole\n"
     "velocity) are fine; only the leading values are read. Values are checked\n"
     "when the state is used. Raises ValueError \"expected at least 7 elements\n"
     "in configuration, found k\", TypeError for non-numbers."},
    {"to_array", entry<base_state_to_array>, METH_NOARGS,
     "to_array($self)\n--\n\n"
     "The 19 numbers of from_array's layout, as a new float64 array."},
    {nullptr, nullptr, 0, nullptr},
};

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

PyObject* base_state_repr(PyObject* self) {
  const auto* state = reinterpret_cast<BaseStateObject*>(self);
  std::string text = Py_TYPE(self)->tp_name;
  text += "(frame=";
  if (!append_pose_repr(text, state->frame)) return nullptr;
  text += ", velocity=";
  if (!append_twist_repr(text, state->velocity)) return nullptr;
  text += ", acceleration=";
  if (!append_twist_repr(text, state->acceleration)) return nullptr;
  text += ')';
  return unicode_of(text);
}

PyGetSetDef base_state_getset[] = {
    {"frame", entry<base_state_frame>, nullptr, "World pose of the root link, as a new Pose.", nullptr},
    {"velocity", entry<base_state_velocity>, nullptr,
     "Angular velocity and linear velocity of the root-link origin, world axes\n"
     "(rad/s, m/s), as a new Twist.",
     nullptr},
    {"acceleration", entry<base_state_acceleration>, nullptr,
     "Angular and classical linear acceleration of the root-link origin, world\n"
     "axes (rad/s², m/s²), as a new Twist.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- type objects ----

constexpr unsigned value_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

PyType_Slot pose_slots[] = {
    {Py_tp_doc, const_cast<char*>("Pose(translation=..., rotation_xyzw=...)\n--\n\n"
                                  "A rigid transform: translation (x, y, z) in metres and\n"
                                  "rotation quaternion rotation_xyzw (x, y, z, w); the defaults\n"
                                  "give the identity. As a link or base pose it maps the child\n"
                                  "(link) frame into the parent (world) frame. The numbers are\n"
                                  "stored as given; wherever the pose is used (maths, computing\n"
                                  "arguments) its quaternion is normalised, and non-finite values\n"
                                  "or a zero quaternion raise ValueError \"pose contains\n"
                                  "non-finite values or a zero quaternion\".\n\n"
                                  "a @ b composes (its matrix is a.as_matrix() @ b.as_matrix());\n"
                                  "== compares the stored numbers; unhashable. Raises ValueError\n"
                                  "for sequences of another length (\"expected a sequence of\n"
                                  "length 3 (got 2)\"), TypeError for non-numbers.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<pose_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<pose_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, pose_getset},
    {Py_tp_methods, pose_methods},
    {Py_tp_repr, reinterpret_cast<void*>(entry<pose_repr>)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(entry<pose_matmul>)},
    {0, nullptr},
};
PyType_Spec pose_spec = {"velkor.Pose", sizeof(PoseObject), 0, value_flags, pose_slots};

PyType_Slot twist_slots[] = {
    {Py_tp_doc, const_cast<char*>("Twist(angular=..., linear=...)\n--\n\n"
                                  "A six-dimensional motion, angular part first: angular (x, y,\n"
                                  "z) and linear (x, y, z), zero by default. Velocities are in\n"
                                  "rad/s and m/s, accelerations in rad/s² and m/s² (classical\n"
                                  "linear acceleration of a point); results of the library are in\n"
                                  "world axes. Stored as given (a BaseState's values are checked\n"
                                  "when used); == compares the stored numbers; unhashable. Raises\n"
                                  "ValueError for sequences of another length, TypeError for\n"
                                  "non-numbers.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<twist_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<twist_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, twist_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<twist_repr>)},
    {0, nullptr},
};
PyType_Spec twist_spec = {"velkor.Twist", sizeof(TwistObject), 0, value_flags, twist_slots};

PyType_Slot base_state_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("BaseState(frame=None, velocity=None, acceleration=None)\n--\n\n"
                       "The state of a FloatingRobot's root link, the first argument of its\n"
                       "computing methods: frame, its world pose (default identity); velocity, the\n"
                       "angular velocity and the linear velocity of its origin (world axes,\n"
                       "default zero); acceleration, the angular and classical linear acceleration\n"
                       "of its origin (world axes, default zero). Values are checked when used:\n"
                       "ValueError for non-finite values or a zero quaternion (\"invalid base\n"
                       "velocity: must contain only finite values\"). Raises TypeError when an\n"
                       "argument is not a Pose, a Twist or None. == compares the stored numbers;\n"
                       "unhashable.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<base_state_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<base_state_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, base_state_getset},
    {Py_tp_methods, base_state_methods},
    {Py_tp_repr, reinterpret_cast<void*>(entry<base_state_repr>)},
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

bool append_float_repr(std::string& text, double value) {
  if (std::isnan(value)) {
    text += "float('nan')";
    return true;
  }
  if (std::isinf(value)) {
    text += value > 0 ? "float('inf')" : "-float('inf')";
    return true;
  }
  char* digits = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
  if (digits == nullptr) return false;
  text += digits;
  PyMem_Free(digits);
  return true;
}

bool append_float_tuple_repr(std::string& text, const double* values, std::size_t count) {
  text += '(';
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    if (!append_float_repr(text, values[i])) return false;
  }
  text += count == 1 ? ",)" : ")";
  return true;
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
  if (!pose) PyErr_SetString(PyExc_ValueError, "pose contains non-finite values or a zero quaternion");
  return pose;
}

Twist twist_of(const double* values) {
  return Twist{Vec3(values[0], values[1], values[2]), Vec3(values[3], values[4], values[5])};
}

// A base state from its stored numbers: acceptance of the frame, then the
// core's finiteness checks (InvalidBaseState as ValueError).
std::optional<BaseState> checked_base_state(const double* frame, const double* velocity,
                                            const double* acceleration) {
  const auto pose = accepted(frame);
  if (!pose) return std::nullopt;
  auto result = BaseState::create(*pose, twist_of(velocity), twist_of(acceleration));
  if (!result) {
    core_error(result.error());
    return std::nullopt;
  }
  return *result;
}

}  // namespace

bool check_pose_type(PyObject* value, const char* name) {
  if (Py_TYPE(value) == types().pose) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name, types().pose->tp_name,
               Py_TYPE(value)->tp_name);
  return false;
}

bool optional_instance(PyObject* value, PyTypeObject* type, const char* name) {
  if (value == nullptr || value == Py_None || Py_TYPE(value) == type) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s or None, got %s", name, type->tp_name,
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
  return checked_base_state(state->frame, state->velocity, state->acceleration);
}

std::optional<BaseState> base_state_of_row(const double* row) {
  double frame[7], velocity[6], acceleration[6];
  base_state_from_row(row, frame, velocity, acceleration);
  return checked_base_state(frame, velocity, acceleration);
}

}  // namespace velkor::py
