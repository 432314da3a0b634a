#include "ik_options.hpp"

#include <climits>
#include <string>

#include "arguments.hpp"
#include "errors.hpp"
#include "types.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

struct IkOptionsObject {
  PyObject_HEAD IkOptions options;
};

IkOptions& options_of(PyObject* self) { return reinterpret_cast<IkOptionsObject*>(self)->options; }

bool read_max_iterations(PyObject* value, std::uint64_t& out) {
  if (value == nullptr || value == Py_None) return true;
  long long number = -1;
  if (!PyBool_Check(value)) {
    number = PyLong_AsLongLong(value);  // integers and objects with __index__
    if (number == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "max_iterations must be an integer");
      return false;
    }
  } else {
    PyErr_SetString(PyExc_TypeError, "max_iterations must be an integer");
    return false;
  }
  if (number <= 0) {
    PyErr_SetString(PyExc_ValueError, "max_iterations must be greater than zero");
    return false;
  }
  out = static_cast<std::uint64_t>(number);
  return true;
}

bool read_float(PyObject* value, const char* name, double& out) {
  return value == nullptr || number_argument(value, name, out);
}

const char* const names[] = {"max_iterations", "translation_tolerance", "rotation_tolerance", "damping",
                             "max_step_norm"};
constexpr Signature signature{"IkOptions", names, 5, 0};

PyObject* ik_options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[5];
  if (!parse_arguments(signature, args, kwargs, arg)) return nullptr;
  IkOptions options;
  if (!read_max_iterations(arg[0], options.max_iterations) ||
      !read_float(arg[1], names[1], options.translation_tolerance) ||
      !read_float(arg[2], names[2], options.rotation_tolerance) ||
      !read_float(arg[3], names[3], options.damping) ||
      !read_float(arg[4], names[4], options.max_step_norm))
    return nullptr;
  auto* self = reinterpret_cast<IkOptionsObject*>(type->tp_alloc(type, 0));
  if (self) self->options = options;
  return reinterpret_cast<PyObject*>(self);
}

PyObject* compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = options_of(self) == options_of(other);  // IEEE: NaN fields differ
  return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* get_max_iterations(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(options_of(self).max_iterations);
}

template <double IkOptions::* Field>
PyObject* get_float(PyObject* self, void*) {
  return PyFloat_FromDouble(options_of(self).*Field);
}

// velkor.IkOptions(max_iterations=100, translation_tolerance=1e-06, ...) in
// signature order. max_iterations is written as the number it stands for: None
// and the default 100 are the same options.
PyObject* repr(PyObject* self) {
  const IkOptions& options = options_of(self);
  std::string text = Py_TYPE(self)->tp_name;
  text += "(max_iterations=" + std::to_string(options.max_iterations);
  const double values[4] = {options.translation_tolerance, options.rotation_tolerance, options.damping,
                            options.max_step_norm};
  for (int i = 0; i < 4; ++i) {
    text += std::string(", ") + names[i + 1] + '=';
    if (!append_float_repr(text, values[i])) return nullptr;
  }
  text += ')';
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef getset[] = {
    {"max_iterations", entry<get_max_iterations>, nullptr,
     "Maximum number of update steps before the solve raises SolverError (100 when\n"
     "None was given).",
     nullptr},
    {"translation_tolerance", entry<get_float<&IkOptions::translation_tolerance>>, nullptr,
     "Convergence bound on the distance from the target origin to the desired\n"
     "position, metres; finite and greater than zero.",
     nullptr},
    {"rotation_tolerance", entry<get_float<&IkOptions::rotation_tolerance>>, nullptr,
     "Convergence bound on the rotation angle between the target axes and the\n"
     "desired rotation, radians; finite and greater than zero.",
     nullptr},
    {"damping", entry<get_float<&IkOptions::damping>>, nullptr,
     "Damping λ of the least-squares step (λ² is added to the diagonal of J J^T);\n"
     "finite and greater than zero.",
     nullptr},
    {"max_step_norm", entry<get_float<&IkOptions::max_step_norm>>, nullptr,
     "Bound on the Euclidean norm of one joint update (rad or m): longer steps are\n"
     "scaled down to it; finite and greater than zero.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("IkOptions(max_iterations=None, translation_tolerance=1.0e-6, "
                       "rotation_tolerance=1.0e-6, damping=1.0e-3, max_step_norm=0.5)\n--\n\n"
                       "Settings of Robot.inverse_kinematics. max_iterations: update steps before\n"
                       "the solve gives up with SolverError (None: 100); translation_tolerance (m)\n"
                       "and rotation_tolerance (rad): the solve converges when both errors are\n"
                       "within them; damping: λ of the step J^T (J J^T + λ² I)^-1 e; max_step_norm:\n"
                       "bound on the norm of one joint update. max_iterations raises TypeError when\n"
                       "not an integer, ValueError when not positive; the other values must be\n"
                       "finite and greater than zero, which inverse_kinematics checks (ValueError\n"
                       "\"invalid inverse-kinematics option ...\"). Immutable; == compares;\n"
                       "unhashable. The whole-body solver (robot.ik_problem, IkProblem.solve)\n"
                       "takes its options as keywords under the same names where they mean the\n"
                       "same (max_iterations, damping) and refuses a bad one with the same\n"
                       "ValueError; the docs' whole-body page sets the two side by side.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<ik_options_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<repr>)},
    {0, nullptr},
};

PyType_Spec type_spec = {"velkor.IkOptions", sizeof(IkOptionsObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};

}  // namespace

bool create_ik_options_type() {
  Types& t = types();
  if (t.ik_options == nullptr)
    t.ik_options = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
  return t.ik_options != nullptr;
}

std::optional<IkOptions> ik_options_argument(PyObject* value, const char* name) {
  if (value == nullptr || value == Py_None) return IkOptions{};
  if (Py_TYPE(value) == types().ik_options) return options_of(value);
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s or None, got %s", name,
               types().ik_options->tp_name, Py_TYPE(value)->tp_name);
  return std::nullopt;
}

}  // namespace velkor::py
