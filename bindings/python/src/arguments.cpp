#include "arguments.hpp"

#include <cstring>
#include <string>

#include "numpy.hpp"
#include "py_ref.hpp"

namespace velkor::py {
namespace {

bool keyword_is(PyObject* key, const char* name) {
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

void too_many_positional(const Signature& s, Py_ssize_t given) {
  const char* were = given == 1 ? "was" : "were";
  const Py_ssize_t positional = s.positional();
  if (s.required == positional)
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", s.function,
                 positional, positional == 1 ? "" : "s", given, were);
  else
    PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                 s.function, s.required, positional, given, were);
}

// "missing 2 required positional arguments: 'q' and 'target'"
bool check_required(const Signature& s, PyObject** out) {
  Py_ssize_t missing = 0;
  for (Py_ssize_t i = 0; i < s.required; ++i) missing += out[i] == nullptr;
  if (missing == 0) return true;
  std::string names;
  Py_ssize_t listed = 0;
  for (Py_ssize_t i = 0; i < s.required; ++i) {
    if (out[i] != nullptr) continue;
    if (listed > 0) names += missing == 2 ? " and " : (listed == missing - 1 ? ", and " : ", ");
    names += std::string("'") + s.names[i] + "'";
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", s.function,
               missing, missing == 1 ? "" : "s", names.c_str());
  return false;
}

bool place_keyword(const Signature& s, PyObject* key, PyObject* value, PyObject** out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", s.function);
    return false;
  }
  for (Py_ssize_t i = 0; i < s.count; ++i) {
    if (!keyword_is(key, s.names[i])) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", s.function,
                   s.names[i]);
      return false;
    }
    out[i] = value;
    return true;
  }
  if (s.alias != nullptr && keyword_is(key, s.alias)) {
    PyObject*& slot = out[s.alias_of];
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s' ('%s' is its alias)",
                   s.function, s.names[s.alias_of], s.alias);
      return false;
    }
    slot = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.function, key);
  return false;
}

}  // namespace

// As CPython does for Python functions: keyword errors first, then the
// positional count, then missing arguments.
bool parse_arguments(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     PyObject** out) {
  for (Py_ssize_t i = 0; i < s.count; ++i) out[i] = i < nargs && i < s.positional() ? args[i] : nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k)
      if (!place_keyword(s, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out)) return false;
  }
  if (nargs > s.positional()) {
    too_many_positional(s, nargs);
    return false;
  }
  return check_required(s, out);
}

bool parse_arguments(const Signature& s, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < s.count; ++i)
    out[i] = i < nargs && i < s.positional() ? PyTuple_GET_ITEM(args, i) : nullptr;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value))
      if (!place_keyword(s, key, value, out)) return false;
  }
  if (nargs > s.positional()) {
    too_many_positional(s, nargs);
    return false;
  }
  return check_required(s, out);
}

int choice_argument(PyObject* value, const char* name, const char* const* choices) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", name, Py_TYPE(value)->tp_name);
    return -1;
  }
  std::string listed;
  for (int i = 0; choices[i] != nullptr; ++i) {
    if (PyUnicode_CompareWithASCIIString(value, choices[i]) == 0) return i;
    listed += (i == 0                      ? "'"
               : choices[i + 1] == nullptr ? " or '"
                                           : ", '") +
              std::string(choices[i]) + "'";
  }
  PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, listed.c_str(), value);
  return -1;
}

void reraise_naming(PyObject* type, PyObject* where) {
#if PY_VERSION_HEX >= 0x030C0000
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  PyRef reason = PyRef::steal(raised ? PyObject_Str(raised.get()) : nullptr);
  if (!reason) {
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
    return;
  }
#else
  PyObject *raised_type, *raised, *traceback;
  PyErr_Fetch(&raised_type, &raised, &traceback);
  PyErr_NormalizeException(&raised_type, &raised, &traceback);
  PyRef held_type = PyRef::steal(raised_type), held = PyRef::steal(raised),
        held_traceback = PyRef::steal(traceback);
  PyRef reason = PyRef::steal(raised ? PyObject_Str(raised) : nullptr);
  if (!reason) {
    PyErr_Clear();
    PyErr_Restore(held_type.release(), held.release(), held_traceback.release());
    return;
  }
#endif
  PyErr_Format(type, "%U: %U", where, reason.get());
}

std::optional<long long> count_argument(PyObject* value, const char* name, long long low,
                                        long long high) {
  PyRef count = PyRef::steal(PyNumber_Index(value));
  if (!count) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': expected None or an integer from %lld to %lld, got %s", name, low,
                   high, Py_TYPE(value)->tp_name);
    }
    return std::nullopt;
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(count.get(), &overflow);
  if (number == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow != 0 || number < low || number > high) {
    PyErr_Format(PyExc_ValueError, "%s must be between %lld and %lld, got %R", name, low, high,
                 count.get());
    return std::nullopt;
  }
  return number;
}

bool number_argument(PyObject* value, const char* name, double& out) {
  if (PyFloat_CheckExact(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return true;
  }
  out = PyFloat_AsDouble(value);
  if (out != -1.0 || !PyErr_Occurred()) return true;
  if (PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': must be real number, not %s", name,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  // e.g. an int too large for a float: keep the reason, name the argument
  PyRef where = PyRef::steal(PyUnicode_FromFormat("argument '%s'", name));
  if (where) reraise_naming(PyExc_TypeError, where.get());
  return false;
}

namespace {

// The first `count` items of a sequence, each read as float() reads it.
bool read_items(PyObject* value, const char* name, double* out, Py_ssize_t count) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(value, i));
    if (!item) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': item %zd cannot be read", name, i);
      return false;
    }
    if (!number_argument(item.get(), name, out[i])) return false;
  }
  return true;
}

}  // namespace

bool read_leading_numbers(PyObject* value, const char* name, double* out, Py_ssize_t count) {
  Py_ssize_t length = -1;
  if (PyArray_Check(value)) {
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(array) == 1) length = PyArray_DIM(array, 0);
  } else if (PySequence_Check(value)) {
    length = PySequence_Size(value);
    if (length < 0) PyErr_Clear();
  }
  if (length < 0) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of at least %zd numbers, got %s",
                 name, count, Py_TYPE(value)->tp_name);
    return false;
  }
  if (length < count) {
    PyErr_Format(PyExc_ValueError, "expected at least %zd elements in %s, found %zd", count, name,
                 length);
    return false;
  }
  return read_items(value, name, out, count);
}

bool read_numbers(PyObject* value, const char* name, double* out, Py_ssize_t count) {
  // A float64 vector of the right length is read directly, the common case
  // that would otherwise make a NumPy scalar per item.
  if (PyArray_Check(value)) {
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    if (PyArray_NDIM(array) == 1 && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
        PyArray_DIM(array, 0) == count) {
      const char* data = static_cast<const char*>(PyArray_DATA(array));
      for (Py_ssize_t i = 0; i < count; ++i)
        std::memcpy(out + i, data + i * PyArray_STRIDE(array, 0), sizeof(double));
      return true;
    }
  }
  if (!PySequence_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of %zd numbers, got %s", name,
                 count, Py_TYPE(value)->tp_name);
    return false;
  }
  const Py_ssize_t length = PySequence_Size(value);
  if (length < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of %zd numbers, got %s", name,
                 count, Py_TYPE(value)->tp_name);
    return false;
  }
  if (length != count) {
    PyErr_Format(PyExc_ValueError, "expected a sequence of length %zd (got %zd)", count, length);
    return false;
  }
  return read_items(value, name, out, count);
}

PyObject* float_tuple(const double* values, Py_ssize_t count) {
  PyRef tuple = PyRef::steal(PyTuple_New(count));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* number = PyFloat_FromDouble(values[i]);
    if (number == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i, number);
  }
  return tuple.release();
}

PyRef fixed_sequence(PyObject* value, const char* message) {
  PyRef sequence = PyRef::steal(PySequence_Fast(value, message));
  if (!sequence || !PyList_Check(sequence.get())) return sequence;
  return PyRef::steal(PyList_AsTuple(sequence.get()));
}

}  // namespace velkor::py
