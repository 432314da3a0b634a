// Pickling of both handle kinds: `__reduce__` records the URDF document a handle
// was loaded from, its load options and its settings (base frame, gravity), and
// the class method `_restore` builds the same handle from them again.
#pragma once

#include "python.hpp"

namespace velkor::py {

// type._restore(xml, mimic, massless_root, frame or None, gravity[,
// inertia_tolerance]): loads xml with the options, then sets the base frame and
// gravity as recorded. The tolerance is recorded only when one was given, so the
// pickle of a handle loaded without it is the same as before the option.
template <class CoreRobot>
PyObject* handle_reduce(PyObject* self, PyObject*);

// Rebuilds a handle from what handle_reduce recorded; each argument is checked,
// since a pickle may come from anywhere.
template <class CoreRobot>
PyObject* handle_restore(PyObject* cls, PyObject* const* args, Py_ssize_t nargs);

}  // namespace velkor::py
