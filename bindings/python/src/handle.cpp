#include "handle.hpp"

namespace velkor::py {

std::optional<std::string> path_argument(PyObject* value) {
  PyRef path = PyRef::steal(PyOS_FSPath(value));
  if (!path) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return std::nullopt;
    PyErr_Clear();
  }
  if (!path || !PyUnicode_Check(path.get())) {
    PyErr_Format(PyExc_TypeError, "argument 'path': expected str or os.PathLike giving str, got %s",
                 Py_TYPE(path ? path.get() : value)->tp_name);
    return std::nullopt;
  }
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return std::nullopt;
  return std::string(PyBytes_AS_STRING(encoded.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

std::optional<std::string> xml_argument(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument 'xml': expected str, got %s", Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
  if (!encoded) return std::nullopt;
  return std::string(PyBytes_AS_STRING(encoded.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

bool load_options(PyObject* mimic, PyObject* massless_root, PyObject* inertia_tolerance,
                  LoadOptions& options) {
  static const char* const mimic_choices[] = {"reject", "independent", "couple", nullptr};
  static const char* const root_choices[] = {"reject", "allow", nullptr};
  if (mimic != nullptr) {
    const int choice = choice_argument(mimic, "mimic", mimic_choices);
    if (choice < 0) return false;
    constexpr MimicPolicy policies[] = {MimicPolicy::Reject, MimicPolicy::Independent,
                                        MimicPolicy::Couple};
    options.import.mimic = policies[choice];
  }
  if (massless_root != nullptr) {
    const int choice = choice_argument(massless_root, "massless_root", root_choices);
    if (choice < 0) return false;
    options.massless_root = choice == 0 ? MasslessRoot::Reject : MasslessRoot::Allow;
  }
  if (inertia_tolerance != nullptr) {
    double tolerance = 0.0;
    if (PyLong_Check(inertia_tolerance)) {
      // An int too large for a double is out of range like any other large value.
      tolerance = PyLong_AsDouble(inertia_tolerance);
      if (tolerance == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        PyErr_SetString(
            PyExc_ValueError,
            "inertia_tolerance must be a number from 0 to 0.001, got an int too large for a float");
        return false;
      }
    } else if (!number_argument(inertia_tolerance, "inertia_tolerance", tolerance)) {
      return false;
    }
    static_assert(max_inertia_tolerance == 1e-3, "the message states the bound");
    if (!(tolerance >= 0.0 && tolerance <= max_inertia_tolerance)) {
      PyErr_Format(PyExc_ValueError, "inertia_tolerance must be a number from 0 to 0.001, got %R",
                   inertia_tolerance);
      return false;
    }
    options.import.inertia_tolerance = tolerance + 0.0;  // -0.0 is the default
  }
  return true;
}

std::optional<unsigned long long> link_index_argument(PyObject* value, const char* name) {
  // True is no link: a bool is refused like any other non-integer.
  PyRef index = PyRef::steal(PyBool_Check(value) ? nullptr : PyNumber_Index(value));
  if (!index) {
    if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': expected an integer link id, got %s", name,
                   Py_TYPE(value)->tp_name);
    }
    return std::nullopt;
  }
  const unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // negative, or beyond any robot: no link has that id
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "invalid link id %R", index.get());
    return std::nullopt;
  }
  return id;
}

std::optional<LinkId> target_link(const LinkTable& table, unsigned long long id) {
  if (id >= table.size()) {
    PyErr_Format(PyExc_ValueError, "invalid link id %llu", id);
    return std::nullopt;
  }
  return table[id];
}

}  // namespace velkor::py
