// Batch evaluators: the array methods of a handle over many states at once, one
// state per row, split over native threads with the interpreter lock released
// once for the whole batch.
#pragma once

#include "python.hpp"

namespace velkor::py {

bool create_batch_types();

// robot.batch(threads=None) for both handle kinds.
template <class CoreRobot>
PyObject* handle_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velkor::py
