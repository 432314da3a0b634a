// Rebuilding a pickled handle: the class method `_restore` of both handle kinds.
#pragma once

#include "python.hpp"

namespace velkor::py {

template <class CoreRobot>
PyObject* handle_restore(PyObject* cls, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velkor::py
