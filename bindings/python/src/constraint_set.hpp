// The Contact and LoopClosure value classes, the ConstraintSet class made by
// robot.constraint_set(), and the conversion of a `constraints` argument.
#pragma once

#include <memory>

#include "handle.hpp"
#include "robot/constraints.hpp"

namespace velkor::py {

bool create_constraint_types();

// robot.constraint_set(items, *, baumgarte=(0.0, 0.0)) for both handle kinds.
template <class CoreRobot>
PyObject* handle_constraint_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);

// The core set of a `constraints` argument, shared with its object; nullptr with
// TypeError naming the argument unless it is a ConstraintSet.
std::shared_ptr<const ConstraintSet> constraint_set_argument(PyObject* value, const char* name);

// ValueError "the constraint set belongs to another robot model" unless `set`
// was made for the model whose link ids `links` holds (a handle's or its forks').
bool constraint_set_of_model(const ConstraintSet& set, const LinkTable& links);

}  // namespace velkor::py
