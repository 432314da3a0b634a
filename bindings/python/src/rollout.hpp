// The rollout's entry on both handle kinds. It shares the batch machinery
// (array arguments with a row per step, threads for batches of rollouts), so
// batch.cpp defines it.
#pragma once

#include "python.hpp"

namespace velkor::py {

// robot.rollout(...) (Method: methods::rollout, whose description gives the signature).
template <class CoreRobot, class Method>
PyObject* rollout_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace velkor::py
