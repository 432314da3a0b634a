// The immutable value classes Pose, Twist and BaseState, and their conversion
// into core values when they are arguments.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base_state.hpp"
#include "python.hpp"
#include "spatial.hpp"

namespace velkor::py {

// tp_dealloc of the value classes, which own no references.
void dealloc_value(PyObject* self);

// Creates the three types unless they exist; false with an exception set.
bool create_value_types();

// Results: new objects holding the core's numbers unchanged.
PyObject* new_pose(const Pose& pose);
PyObject* new_twist(const Twist& twist);

// A Pose argument: TypeError naming the argument unless it is a Pose; then the
// pose acceptance rule (ValueError "pose contains non-finite values or a zero
// quaternion"); the result is normalised.
std::optional<Pose> pose_argument(PyObject* value, const char* name);

// An optional argument of one value class: omitted (nullptr), None, or an
// instance of `type`; else TypeError "argument '{name}': expected {type} or None".
bool optional_instance(PyObject* value, PyTypeObject* type, const char* name);

// The two halves of pose_argument, for methods that check the type during
// argument extraction and accept the pose later.
bool check_pose_type(PyObject* value, const char* name);
std::optional<Pose> accepted_pose(PyObject* pose);

// Appends Python's repr of `value` (the shortest text that reads back as the
// same double, as float.__repr__ writes it); non-finite values as
// float('nan'), float('inf') and -float('inf'), so reprs stay valid
// expressions. False with MemoryError set.
bool append_float_repr(std::string& text, double value);
// "(a, b, c)": `count` numbers written by append_float_repr.
bool append_float_tuple_repr(std::string& text, const double* values, std::size_t count);

// A BaseState argument: type check, acceptance of its frame, then the core's
// finiteness checks (InvalidBaseState as ValueError).
std::optional<BaseState> base_state_argument(PyObject* value, const char* name);
// The same for a row of 19 numbers in BaseState.from_array's layout.
std::optional<BaseState> base_state_of_row(const double* row);

}  // namespace velkor::py
