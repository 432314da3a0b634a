// Argument lists and small fixed-length number arguments, with CPython's own
// wording for argument-list errors.
#pragma once

#include <optional>

#include <cstddef>

#include "py_ref.hpp"
#include "python.hpp"

namespace velkor::py {

// A parameter list; every parameter may be given by keyword, and all but the
// last `keyword_only` ones by position too. One parameter may also be given by
// an alias keyword (an older name); giving both is a TypeError.
struct Signature {
  const char* function;            // as shown in messages, e.g. "Robot.jacobian"
  const char* const* names;        // parameter names in signature order
  Py_ssize_t count;                // number of parameters
  Py_ssize_t required;             // leading parameters without a default
  Py_ssize_t keyword_only = 0;     // trailing parameters that take a keyword only
  const char* alias = nullptr;     // a second keyword for the parameter at alias_of
  Py_ssize_t alias_of = -1;

  Py_ssize_t positional() const { return count - keyword_only; }
};

// One of a few fixed strings (`choices`, nullptr-terminated): its index, or -1
// with TypeError (not a str) or ValueError naming the argument and the choices.
int choice_argument(PyObject* value, const char* name, const char* const* choices);

// Fills out[0..count) with borrowed references (nullptr where omitted).
// METH_FASTCALL | METH_KEYWORDS form.
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** out);
// The same, with the common call (positional arguments only, all the
// required ones among them) placed inline.
inline bool parse_arguments_inline(const Signature& s, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames, PyObject** out) {
  if (kwnames != nullptr || nargs < s.required || nargs > s.positional())
    return parse_arguments(s, args, nargs, kwnames, out);
  for (Py_ssize_t i = 0; i < s.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
  return true;
}
// tp_new form (argument tuple and keyword dict).
bool parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** out);

// A count from `low` to `high`: any integer (operator.index), else TypeError
// "argument '{name}': expected None or an integer from {low} to {high}"; out of
// range (however large) ValueError "{name} must be between {low} and {high}, got {value}".
std::optional<long long> count_argument(PyObject* value, const char* name, long long low,
                                        long long high);

// Replaces the exception being raised with `type`("{where}: {its message}"),
// so that an error NumPy or float() raised names the argument it came from.
// Keeps the original when its message cannot be read.
void reraise_naming(PyObject* type, PyObject* where);

// One number converted as float() converts a number; TypeError naming the argument.
bool number_argument(PyObject* value, const char* name, double& out);

// Exactly `count` numbers from any sequence, each converted as float() would
// convert a number. TypeError names the argument; a wrong length is a ValueError.
bool read_numbers(PyObject* value, const char* name, double* out, Py_ssize_t count);
// The first `count` numbers of a one-dimensional array or a sequence of at
// least that many: ValueError "expected at least 7 elements in configuration,
// found 3", TypeError as read_numbers.
bool read_leading_numbers(PyObject* value, const char* name, double* out, Py_ssize_t count);

// A tuple of Python floats.
PyObject* float_tuple(const double* values, Py_ssize_t count);

// The items of a sequence as PySequence_Fast gives them (TypeError `message`
// for anything else), in a tuple: a list, the caller's own, is copied (under
// its lock on a free-threaded interpreter), so that neither another thread nor
// code run while its items are read can change or free them.
PyRef fixed_sequence(PyObject* value, const char* message);

}  // namespace velkor::py
