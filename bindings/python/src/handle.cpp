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

std::optional<unsigned long long> link_index_argument(PyObject* value, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': expected an integer link id, got %s", name,
                   Py_TYPE(value)->tp_name);
    }
    return std::nullopt;
  }
  const unsigned long long id = PyLong_AsUnsignedLongLong(index.get());
  if (id == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
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
