// The one computing-method skeleton of both handle kinds. A method is a small
// struct: a `description` of its parameters and result, and a `compute` that
// calls the core. `computing_method<CoreRobot, Method>` does the rest the same
// way for every method: parse, convert and check the arguments in one fixed
// order, lock, release the interpreter lock around the core call, build the
// result. A FloatingRobot method takes a leading `base` argument; a Robot method
// uses its base frame and a base at rest (see Base).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "constraint_set.hpp"
#include "finite.hpp"
#include "gil.hpp"
#include "handle.hpp"
#include "interrupt.hpp"
#include "loads.hpp"
#include "robot/base.hpp"
#include "robot/coupling.hpp"
#include "values.hpp"

namespace velkor::py {

// ---- the calling half: lock, call the core, build the result ----
// The method body has parsed and converted its arguments (steps 1-5). This
// locks, prepares the K `outs` of `lengths` values each (a tuple of them is
// returned when K > 1: `given`, the caller's, when there is one), releases the
// interpreter lock around the core call only, and returns the array. The core
// reads `inputs` from the workspace's copies unless `out` is private memory
// (see Calculation::copy_inputs and OutputArray::is_private). Failures found
// while the handle is locked are raised after it is released (see DeferredError).
// `settled`: how far the caller's outs are settled (see OutputArray::Settled).
template <std::size_t K, class CoreRobot, class Core>
PyObject* arrays_method(Handle<CoreRobot>& h, const std::array<PyObject*, K>& outs, PyObject* given,
                        const std::array<std::size_t, K>& lengths, const Inputs& inputs, Core&& core,
                        OutputArray::Settled settled = OutputArray::Settled::Unheld) {
  DeferredError error;
  std::array<OutputArray, K> output;  // released after the lock, when they are no longer written
  auto release = [&] {
    for (OutputArray& o : output) o.release_hold();
  };
  {
    auto guard = h.slot.lock(false);  // nothing unwinds through it: the body is guarded
    if (!guard) return nullptr;
    const bool ok = deferred_panic_guard(error, [&]() -> bool {
      std::array<double*, K> data{};
      bool all_private = true;
      for (std::size_t i = 0; i < K; ++i) {
        if (!output[i].prepare(outs[i], lengths[i], error, settled)) return false;
        data[i] = output[i].data();
        all_private = all_private && output[i].is_private();
      }
      std::expected<void, Error> result;
      {
        GilRelease released;
        Calculation<CoreRobot>& c = guard.calculation();
        result = core(c, data, all_private ? inputs : c.copy_inputs(inputs));
      }
      release();
      if (!result) error.set(std::move(result.error()));
      return result.has_value();
    });
    if (!ok) release();
  }
  if (error.is_set()) return error.raise();
  std::array<PyRef, K> results;
  for (std::size_t i = 0; i < K; ++i) results[i] = PyRef::steal(output[i].take());
  if (K > 1 && given != nullptr && given != Py_None) return Py_NewRef(given);  // the caller's tuple
  return one_or_tuple(results);
}

// arrays_method for the common call (see MethodCall::read_common): each out
// None or a plain writeable vector of its result's length, already held with
// the inputs. The same steps in the same order, without the checks and
// records only other calls need.
template <std::size_t K, class CoreRobot, class Core>
PyObject* common_arrays_method(Handle<CoreRobot>& h, const std::array<PyObject*, K>& outs,
                               PyObject* given, const std::array<std::size_t, K>& lengths,
                               const Inputs& inputs, Core&& core) {
  std::array<PyRef, K> results;
  std::optional<Error> failed;  // the core's error, raised once the handle is unlocked
  bool out_of_memory = false;
  try {
    // Unlocked before a handler runs: nothing unwinds through the lock but a fault.
    auto guard = h.slot.lock(false);
    if (!guard) return nullptr;
    std::array<double*, K> data;
    bool all_private = true;
    for (std::size_t i = 0; i < K && !out_of_memory; ++i) {
      if (outs[i] == nullptr || outs[i] == Py_None) {
        npy_intp dims[1] = {static_cast<npy_intp>(lengths[i])};
        results[i] = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
        out_of_memory = !results[i];
      } else {
        results[i] = PyRef::borrow(outs[i]);
        all_private = all_private && is_private_memory(reinterpret_cast<PyArrayObject*>(outs[i]));
      }
      if (!out_of_memory)
        data[i] = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(results[i].get())));
    }
    if (!out_of_memory) {
      GilRelease released;
      Calculation<CoreRobot>& c = guard.calculation();
      auto result = core(c, data, all_private ? inputs : c.copy_inputs(inputs));
      if (!result) failed.emplace(std::move(result.error()));
    }
  } catch (...) {
    DeferredError fault;
    fault.set_from_current_exception();
    return fault.raise();
  }
  if (out_of_memory) {
    PyErr_Clear();
    return PyErr_NoMemory();
  }
  if (failed) return core_error(*failed);
  if (K > 1 && given != nullptr && given != Py_None) return Py_NewRef(given);  // the caller's tuple
  return one_or_tuple(results);
}

// The same with one result array.
template <class CoreRobot, class Core>
PyObject* array_method(Handle<CoreRobot>& h, PyObject* out, std::size_t length, const Inputs& inputs,
                       Core&& core) {
  return arrays_method<1>(h, std::array<PyObject*, 1>{out}, nullptr, std::array<std::size_t, 1>{length},
                          inputs,
                          [&](Calculation<CoreRobot>& c, const std::array<double*, 1>& data,
                              const Inputs& in) { return core(c, data[0], in); });
}

// The same for methods whose result is a value object built from the core's result.
template <class CoreRobot, class Core, class Build>
PyObject* value_method(Handle<CoreRobot>& h, Core&& core, Build&& build) {
  std::optional<decltype(core(std::declval<Calculation<CoreRobot>&>()))> result;
  const bool ok = with_locked(h, [&](Calculation<CoreRobot>& calculation, DeferredError& error) {
    {
      GilRelease released;
      result.emplace(core(calculation));
    }
    if (!*result) error.set(std::move(result->error()));
  });
  if (!ok) return nullptr;
  return build(**result);
}

template <class CoreRobot>
inline constexpr bool is_floating = std::is_same_v<CoreRobot, FloatingRobot>;

// What a method returns: a value object, or a float64 array of a length the
// handle fixes (the constraint rows and sides: a length the call's constraint
// set fixes).
enum class Result {
  Pose,
  Twist,
  Number,
  Point,
  Six,
  Generalized,
  GeneralizedSquare,
  PointJacobian,
  Jacobian,
  LinkPoses,
  ConstraintRows,      // m: one value per constraint row
  ConstraintJacobian,  // m·N
  ConstraintPoses,     // 7 per constraint side
  Configuration        // C: a configuration (n, or 7 + n for a FloatingRobot)
};

// The most parameters a method takes after the FloatingRobot's `base`.
inline constexpr std::size_t max_parameters = 7;

// A number option among a method's parameters: its index and what it takes.
struct NumberParameter {
  int index = -1;  // -1: an unused slot
  const struct NumberOption* option = nullptr;
};
inline constexpr std::size_t max_numbers = 2;

// A method's parameters after the FloatingRobot's `base`. Joint vectors come
// first (q, then qd, qdd or forces); an index of -1 means the method has no such
// parameter.
struct MethodDescription {
  const char* name;
  std::array<const char*, max_parameters> parameters;  // unused entries nullptr
  Py_ssize_t required;
  std::size_t vectors;        // parameters [0, vectors) are joint vectors
  Result result;
  std::size_t results = 1;    // arrays returned (a tuple of them when more than one)
  Result tail_result = Result::ConstraintRows;  // what the last `tail` arrays returned are
  std::size_t tail = 0;
  std::size_t unmatched = 0;  // trailing joint vectors of another length than q (forces)
  int target = -1;
  int tool = -1;
  int loads = -1;
  int constraints = -1;  // a ConstraintSet of the robot's model
  // The number options (see NumberOption), read and checked in this order.
  std::array<NumberParameter, max_numbers> numbers{};
  int out = -1;
  Py_ssize_t keyword_only = 0;  // trailing parameters given by keyword only
  bool takes_base = true;  // false: a FloatingRobot method without the leading `base`
  // true: a long computation (O(m³) in its rows) that polls call.interrupt(),
  // so that a signal handler that raises (Ctrl-C) ends it.
  bool interruptible = false;
  // A second keyword the parameter at alias_of also takes (an older name).
  const char* alias = nullptr;
  int alias_of = -1;
};

// What result array i of a method is.
constexpr Result result_of(const MethodDescription& d, std::size_t i) {
  return i + d.tail >= d.results ? d.tail_result : d.result;
}

// The description of `name`, the partial derivatives of the method `of`
// describes: its parameters, `results` N·N arrays.
constexpr MethodDescription derivatives_of(const MethodDescription& of, const char* name,
                                           std::size_t results) {
  MethodDescription d = of;
  d.name = name;
  d.result = Result::GeneralizedSquare;
  d.results = results;
  return d;
}

// A number option: finite, from `low` to `high` (`range` says so in errors),
// `fallback` when omitted (shown as `shown` in the text signature; empty for
// a required one).
struct NumberOption {
  const char* name;
  double low;
  double high;
  const char* range;
  double fallback = 0.0;
  const char* shown = "=0.0";
};
inline constexpr double infinite = std::numeric_limits<double>::infinity();
inline constexpr NumberOption regularization_option{"regularization", 0.0, infinite,
                                                    "a finite number, 0 or more"};
inline constexpr NumberOption restitution_option{"restitution", 0.0, 1.0, "a number from 0 to 1"};
inline constexpr NumberOption dt_option{"dt", -infinite, infinite, "a finite number", 1.0, "=1.0"};
inline constexpr NumberOption t_option{"t", -infinite, infinite, "a finite number", 0.0, ""};
inline constexpr NumberOption step_option{
    "dt", std::numeric_limits<double>::denorm_min(), infinite, "a finite number above 0", 0.0, ""};

// ---- the method table row: its text signature written from the description ----

// Writes `text` at out + at (counts only, when out is nullptr); returns the new end.
constexpr std::size_t put_text(char* out, std::size_t at, std::string_view text) {
  if (out != nullptr) std::copy(text.begin(), text.end(), out + at);
  return at + text.size();
}

// "jacobian($self, base, q, target, out=None)\n--\n\n" followed by `doc`: the
// header CPython reads __text_signature__ (and so inspect.signature) from, with
// the parameters the call parses (see MethodSignature), `base` first on a
// FloatingRobot (unless the method takes none), "*, " before the keyword-only
// ones, each number option's default (none for a required one) and None as
// that of the other optional ones.
// Returns the length.
template <class CoreRobot>
constexpr std::size_t method_text(const MethodDescription& d, std::string_view doc, char* out) {
  std::size_t count = 0;
  while (count < d.parameters.size() && d.parameters[count] != nullptr) ++count;
  const std::size_t first_keyword = count - static_cast<std::size_t>(d.keyword_only);
  std::size_t at = put_text(out, 0, d.name);
  at = put_text(out, at, is_floating<CoreRobot> && d.takes_base ? "($self, base, " : "($self, ");
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) at = put_text(out, at, ", ");
    if (i == first_keyword) at = put_text(out, at, "*, ");
    at = put_text(out, at, d.parameters[i]);
    const int index = static_cast<int>(i);
    // (found by index: comparing the option's address with nullptr is not a
    // constant expression under -fsanitize=undefined)
    bool is_number = false;
    for (const NumberParameter& p : d.numbers)
      if (p.index == index) {
        is_number = true;
        at = put_text(out, at, p.option->shown);
      }
    if (!is_number && static_cast<Py_ssize_t>(i) >= d.required) at = put_text(out, at, "=None");
  }
  at = put_text(out, at, ")\n--\n\n");
  return put_text(out, at, doc);
}

// The docstring of Method's row, built at compile time into static storage;
// Doc is a captureless lambda returning the prose.
template <class CoreRobot, class Method, class Doc>
inline constexpr auto method_doc = [] {
  constexpr std::size_t length = method_text<CoreRobot>(Method::description, Doc{}(), nullptr);
  std::array<char, length + 1> text{};  // NUL-terminated
  method_text<CoreRobot>(Method::description, Doc{}(), text.data());
  return text;
}();

template <class CoreRobot, class Method, auto Function, class Doc>
PyMethodDef method_row(Doc) {
  return {Method::description.name, fastcall_entry<Function>(), METH_FASTCALL | METH_KEYWORDS,
          method_doc<CoreRobot, Method, Doc>.data()};
}

// The method table row of methods::name on a CoreRobot handle, called through
// Entry<CoreRobot, methods::name> (computing_method, or a batch's entry), with
// the prose `doc` after the text signature.
#define VELKOR_METHOD_ROW(Entry, CoreRobot, name, doc) \
  method_row<CoreRobot, methods::name, Entry<CoreRobot, methods::name>>([] { return doc; })

// "Robot.jacobian" with parameters (q, target, out), or "FloatingRobot.jacobian"
// with (base, q, target, out).
template <class CoreRobot>
struct MethodSignature {
  explicit MethodSignature(const MethodDescription& d)
      : function(std::string(HandleTraits<CoreRobot>::class_name) + "." + d.name) {
    const Py_ssize_t base = is_floating<CoreRobot> && d.takes_base ? 1 : 0;
    if (base != 0) names.push_back("base");
    for (const char* p : d.parameters)
      if (p != nullptr) names.push_back(p);
    const Py_ssize_t alias_of = d.alias_of < 0 ? -1 : d.alias_of + base;
    signature = Signature{function.c_str(),  names.data(),   static_cast<Py_ssize_t>(names.size()),
                          d.required + base, d.keyword_only, d.alias,
                          alias_of};
  }
  // The same parameters shown under another function name (a batch's).
  Signature named(const char* other) const {
    Signature renamed = signature;
    renamed.function = other;
    return renamed;
  }
  std::string function;
  std::vector<const char*> names;
  Signature signature;
};

// "q and {name} must have the same length"
inline bool same_length(const InputArray& q, const InputArray& other, const char* name) {
  if (other.size() == q.size()) return true;
  PyErr_Format(PyExc_ValueError, "q and %s must have the same length", name);
  return false;
}

// How many arguments come before a method's own: the FloatingRobot's `base`, or none.
template <class CoreRobot>
constexpr Py_ssize_t base_arguments(const MethodDescription& d) {
  return is_floating<CoreRobot> && d.takes_base ? 1 : 0;
}

// The base a call computes with: the Robot's own (its base frame), or the
// FloatingRobot's `state` (the call's argument, or a batch row's).
template <class CoreRobot>
std::conditional_t<is_floating<CoreRobot>, Base, const Base&> base_of(const Calculation<CoreRobot>& c,
                                                                      const BaseState& state) {
  if constexpr (is_floating<CoreRobot>) return free_base(c.robot, state);
  else return fixed_base(c.robot);
}

// The converted arguments of one call.
template <class CoreRobot>
class MethodCall {
 public:
  // Parses and converts in the order every method reports errors in: the
  // argument list, base (FloatingRobot), the joint vectors in order, a hold on
  // their memory, target's type, tool's type, constraints' type, the number
  // options' types, out's type, the joint-vector lengths, target against the
  // robot's links, constraints against its model, loads, tool's values, the
  // number options' values. False with an exception set.
  template <const MethodDescription& d>
  bool read(const Signature& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
            const LinkTable& links) {
    if (read_common<d>(args, nargs, kwnames, links)) return true;
    base_count_ = base_arguments<CoreRobot>(d);
    std::fill(std::begin(values_), std::end(values_), nullptr);
    if (!parse_arguments_inline(s, args, nargs, kwnames, values_)) return false;
    if constexpr (base_arguments<CoreRobot>(d) == 1) {
      auto state = base_state_argument(values_[0], "base");
      if (!state) return false;
      base_ = *state;
    }
    for (std::size_t i = 0; i < d.vectors; ++i)
      if (!vectors_[i].extract(argument(i), d.parameters[i])) return false;
    if (!hold_arrays<d>()) return false;
    return read_rest<d>(links, [&] {
      if constexpr (d.out >= 0) {
        if constexpr (d.results > 1) {
          if (!OutputArray::check_tuple(out<d>(), d.results)) return false;
        } else if (!OutputArray::check_type(out<d>())) {
          return false;
        }
      }
      for (std::size_t i = 1; i < d.vectors - d.unmatched; ++i)
        if (!same_length(vectors_[0], vectors_[i], d.parameters[i])) return false;
      return true;
    });
  }

  // What a batch shares between its rows: target, tool, constraints, loads and
  // the number options, from `values` (the arguments after base), in the order
  // of `read`.
  template <const MethodDescription& d>
  bool read_shared(PyObject* const* values, const LinkTable& links) {
    base_count_ = base_arguments<CoreRobot>(d);
    std::fill(std::begin(values_), std::end(values_), nullptr);
    std::copy_n(values, max_parameters, values_ + base_count_);
    return read_rest<d>(links, [] { return true; });
  }

  // The base of the call: the Robot's own, or the FloatingRobot's argument.
  std::conditional_t<is_floating<CoreRobot>, Base, const Base&> base(
      const Calculation<CoreRobot>& c) const {
    if constexpr (is_floating<CoreRobot>) return free_base(c.robot, base_);
    else return fixed_base(c.robot);
  }
  Inputs inputs() const { return {vectors_[0].values(), vectors_[1].values(), vectors_[2].values()}; }
  LinkId target() const { return target_; }
  const Pose& tool() const {
    static const Pose identity = Pose::identity();
    return options_ && options_->tool ? *options_->tool : identity;
  }
  std::span<const IndexedLoad> loads() const {
    return options_ ? options_->loads.loads() : std::span<const IndexedLoad>();
  }
  const ConstraintSet& constraints() const { return *options_->constraints; }
  // The constraint set, none when an optional one was omitted.
  const ConstraintSet* constraints_or_none() const {
    return options_ ? options_->constraints.get() : nullptr;
  }
  // m, the rows of the constraint set (0 for a method without one).
  std::size_t constraint_rows() const {
    const ConstraintSet* set = constraints_or_none();
    return set != nullptr ? set->count() : 0;
  }
  // The value of number option `option` (its fallback when the call gave none).
  double number(const NumberOption& option) const {
    if (options_)
      for (std::size_t i = 0; i < max_numbers; ++i)
        if (options_->numbers[i].option == &option) return options_->values[i];
    return option.fallback;
  }
  template <const MethodDescription& d>
  PyObject* out() const {
    return d.out >= 0 ? argument(d.out) : nullptr;
  }
  // How far the caller's outs are settled before the lock.
  OutputArray::Settled outs_settled() const { return outs_settled_; }
  // What the core polls to stop early: the calling thread's signals for an
  // interruptible method (see set_interrupt), else one that never stops.
  Interrupt& interrupt() const { return interrupt_; }
  // Polls for signals from now on (see signal_interrupt). Call with the
  // interpreter lock held.
  void poll_signals() { interrupt_ = signal_interrupt(); }
  // Whether read_common read the call.
  bool common() const { return common_; }

 private:
  // The common call, read in one pass that raises nothing: positional
  // arguments only; the joint vectors plain float64 vectors (plain_vector),
  // those of q's length equal; out None or plain writeable float64 vectors
  // (a method with several results: a tuple of them, NumPy's own memory);
  // target an int naming a link; every other parameter omitted or None, the
  // number options omitted. The arrays are held in one visit to the
  // registry. False, with nothing held or set but what `read` sets again,
  // for any other call, which `read` then reads with its errors in order.
  template <const MethodDescription& d>
  bool read_common(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const LinkTable& links) {
    constexpr Py_ssize_t base = base_arguments<CoreRobot>(d);
    constexpr Py_ssize_t positional = [] {
      Py_ssize_t count = 0;
      for (const char* p : d.parameters) count += p != nullptr;
      return count - d.keyword_only;
    }();
    // A method that needs a constraint set reads it (and refuses None) the general way.
    if constexpr (d.constraints >= 0 && d.constraints < d.required) return false;
    if (kwnames != nullptr || nargs < base + d.required || nargs > base + positional) return false;
    const auto given = [&](int i) {  // the i-th parameter after base, or nullptr
      return i >= 0 && base + i < nargs && args[base + i] != Py_None ? args[base + i] : nullptr;
    };
    for (const NumberParameter& p : d.numbers)
      if (p.index >= 0 && base + p.index < nargs) return false;
    if (given(d.tool) != nullptr || given(d.loads) != nullptr || given(d.constraints) != nullptr)
      return false;
    std::array<Extent, 3 + d.results> extents;
    Py_ssize_t q_length = 0;
    for (std::size_t i = 0; i < d.vectors; ++i) {
      PyArrayObject* array = plain_vector(args[base + static_cast<Py_ssize_t>(i)], extents[i]);
      if (array == nullptr) return false;
      if (i == 0) q_length = PyArray_DIM(array, 0);
      else if (i < d.vectors - d.unmatched && PyArray_DIM(array, 0) != q_length) return false;
    }
    std::size_t writes = 0;
    constexpr bool array_result = d.result != Result::Pose && d.result != Result::Twist &&
                                  d.result != Result::Number;
    if constexpr (d.out >= 0 && array_result) {
      if (PyObject* out = given(d.out)) {
        if constexpr (d.results == 1) {
          if (plain_vector(out, extents[d.vectors], true) == nullptr) return false;
        } else {
          if (!PyTuple_CheckExact(out) || PyTuple_GET_SIZE(out) != Py_ssize_t{d.results}) return false;
          for (std::size_t i = 0; i < d.results; ++i) {
            PyArrayObject* array = plain_vector(PyTuple_GET_ITEM(out, static_cast<Py_ssize_t>(i)),
                                                extents[d.vectors + i], true);
            if (array == nullptr || !is_private_memory(array)) return false;
          }
        }
        writes = d.results;
      }
    }
    if constexpr (d.target >= 0) {
      PyObject* value = given(d.target);
      if (value == nullptr || !PyLong_CheckExact(value)) return false;
      int overflow = 0;
      const long long id = PyLong_AsLongLongAndOverflow(value, &overflow);
      if (overflow != 0 || id < 0 || static_cast<unsigned long long>(id) >= links.size()) return false;
      target_ = links[static_cast<std::size_t>(id)];
    }
    if constexpr (base == 1) {
      auto state = base_state_argument(args[0], "base");
      if (!state) {
        PyErr_Clear();  // read reports it
        return false;
      }
      base_ = *state;
    }
    if (!input_hold_.take_fixed<d.vectors, d.results>(extents.data(), writes > 0)) return false;
    base_count_ = base;
    // Only out is read from the arguments later: the rest are omitted or None.
    if constexpr (d.out >= 0) values_[base + d.out] = given(d.out);
    for (std::size_t i = 0; i < d.vectors; ++i) {
      auto* array = reinterpret_cast<PyArrayObject*>(args[base + static_cast<Py_ssize_t>(i)]);
      vectors_[i].use({static_cast<const double*>(PyArray_DATA(array)),
                       static_cast<std::size_t>(PyArray_DIM(array, 0))});
    }
    if (writes > 0) outs_settled_ = OutputArray::Settled::Checked;
    common_ = true;
    return true;
  }

  // The read hold on the joint vectors. The write holds on the caller's outs
  // join it, in the same visit to the registry, when they look usable (float64
  // vectors) and nothing conflicts: the common call then visits the registry
  // once to take and once to release. Otherwise the outs are held under the
  // handle's lock (OutputArray::prepare), which reports a conflict in its
  // place among out's errors.
  template <const MethodDescription& d>
  bool hold_arrays() {
    const std::span<InputArray> vectors(vectors_.data(), d.vectors);
    if constexpr (d.out >= 0 && d.result != Result::Pose && d.result != Result::Twist &&
                  d.result != Result::Number) {
      std::array<Extent, d.results> writes{};
      PyObject* given = out<d>();
      bool usable = given != nullptr && given != Py_None;
      const auto add = [&](std::size_t i, PyObject* value) {
        PyArrayObject* array = float_vector(value);
        if (array != nullptr) writes[i] = extent_of(array);
        return array != nullptr;
      };
      if constexpr (d.results == 1) {
        usable = usable && add(0, given);
      } else {
        usable = usable && PyTuple_Check(given) && PyTuple_GET_SIZE(given) == Py_ssize_t{d.results};
        for (std::size_t i = 0; usable && i < d.results; ++i)
          usable = add(i, PyTuple_GET_ITEM(given, static_cast<Py_ssize_t>(i)));
      }
      if (usable && InputArray::try_hold(vectors, writes, input_hold_)) {
        outs_settled_ = OutputArray::Settled::Held;
        return true;
      }
    }
    return InputArray::hold(vectors, input_hold_);
  }

  // The types of target, tool, constraints and the number options, then
  // `between` (out's type, the lengths), then target against the links,
  // constraints against the model, loads, tool's values and the options' values.
  template <const MethodDescription& d, class Between>
  bool read_rest(const LinkTable& links, Between&& between) {
    Options& o = options_.emplace();
    std::optional<unsigned long long> index;
    if constexpr (d.target >= 0)
      if (!(index = link_index_argument(argument(d.target), "target"))) return false;
    PyObject* tool = nullptr;
    if constexpr (d.tool >= 0) {
      if (argument(d.tool) != Py_None) tool = argument(d.tool);
      if (tool != nullptr && !check_pose_type(tool, "tool")) return false;
    }
    if constexpr (d.constraints >= 0) {
      PyObject* set = argument(d.constraints);
      const bool omitted = d.constraints >= d.required && (set == nullptr || set == Py_None);
      if (!omitted && !(o.constraints = constraint_set_argument(set, "constraints"))) return false;
    }
    o.numbers = d.numbers;
    for (std::size_t i = 0; i < max_numbers; ++i)
      if (d.numbers[i].index >= 0 &&
          !read_option(argument(d.numbers[i].index), *d.numbers[i].option, o.values[i]))
        return false;
    if (!between()) return false;
    if constexpr (d.target >= 0) {
      const auto link = target_link(links, *index);
      if (!link) return false;
      target_ = *link;
    }
    if constexpr (d.constraints >= 0)
      if (o.constraints && !constraint_set_of_model(*o.constraints, links)) return false;
    if constexpr (d.loads >= 0)
      if (!o.loads.convert(argument(d.loads), links)) return false;
    if constexpr (d.tool >= 0) {
      if (tool != nullptr) {
        const auto pose = accepted_pose(tool);
        if (!pose) return false;
        o.tool = *pose;
      }
    }
    for (std::size_t i = 0; i < max_numbers; ++i)
      if (d.numbers[i].index >= 0 && !option_in_range(*d.numbers[i].option, o.values[i])) return false;
    return true;
  }

  // A number option's value as float() reads it (TypeError naming it); its
  // fallback when omitted.
  static bool read_option(PyObject* value, const NumberOption& option, double& out) {
    out = option.fallback;
    return value == nullptr || number_argument(value, option.name, out);
  }

  // ValueError naming the option unless `value` is finite and from low to high.
  static bool option_in_range(const NumberOption& option, double value) {
    if (std::isfinite(value) && value >= option.low && value <= option.high) return true;
    PyRef shown = PyRef::steal(PyFloat_FromDouble(value));
    if (shown)
      PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", option.name, option.range, shown.get());
    return false;
  }

  // The i-th parameter after `base`; nullptr when omitted.
  PyObject* argument(auto i) const { return values_[base_count_ + static_cast<Py_ssize_t>(i)]; }

  // Set by the read that succeeded: all by read and read_shared, out's alone by
  // read_common (the only one read later). Left unset here: the common call
  // should not pay for clearing what it never reads.
  PyObject* values_[max_parameters + 1];
  struct NoBase {};
  [[no_unique_address]] std::conditional_t<is_floating<CoreRobot>, BaseState, NoBase>
      base_;  // a FloatingRobot's
  std::array<InputArray, 3> vectors_;
  Hold input_hold_;  // released before the arrays it covers
  LinkId target_{};
  // The options a call gave; the common call gives none (read_common).
  struct Options {
    std::optional<Pose> tool;  // none: the identity
    LoadsArgument loads;
    std::shared_ptr<const ConstraintSet> constraints;  // the argument's, shared
    std::array<NumberParameter, max_numbers> numbers{};  // the method's
    std::array<double, max_numbers> values{};
  };
  std::optional<Options> options_;  // none: every option at its default
  Py_ssize_t base_count_ = 0;  // base_arguments of the method read
  OutputArray::Settled outs_settled_ = OutputArray::Settled::Unheld;
  bool common_ = false;
  mutable Interrupt interrupt_;  // polled by the core while the call computes
};

// Whether every given out (None: none given) has its result's length.
template <std::size_t K>
bool lengths_match(const std::array<PyObject*, K>& outs, const std::array<std::size_t, K>& lengths) {
  for (std::size_t i = 0; i < K; ++i)
    if (outs[i] != nullptr && outs[i] != Py_None &&
        PyArray_DIM(reinterpret_cast<PyArrayObject*>(outs[i]), 0) != static_cast<npy_intp>(lengths[i]))
      return false;
  return true;
}

// The length of an array result on handle `h`, for a call whose constraint
// set has m rows (the sides' poses: see result_lengths).
template <class CoreRobot>
std::size_t result_length(Result result, const Handle<CoreRobot>& h, std::size_t m) {
  const std::size_t N = h.generalized_count;
  switch (result) {
    case Result::Generalized: return N;
    case Result::GeneralizedSquare: return N * N;
    case Result::Jacobian: return 6 * N;
    case Result::PointJacobian: return 3 * N;
    case Result::Point: return 3;
    case Result::Six: return 6;
    case Result::Number: return 1;
    case Result::LinkPoses: return 7 * h.link_count;
    case Result::ConstraintRows: return m;
    case Result::ConstraintJacobian: return m * N;
    case Result::Configuration: return h.configuration_count;
    default: return 0;
  }
}

// Whether one of a method's results is the constraint sides' poses.
constexpr bool returns_sides(const MethodDescription& d) {
  for (std::size_t i = 0; i < d.results; ++i)
    if (result_of(d, i) == Result::ConstraintPoses) return true;
  return false;
}

// The lengths of the `results` arrays of a method on handle `h` for `call`:
// 7 per side of its constraint set for the sides' poses, which are then the
// method's only result.
template <const MethodDescription& d, class CoreRobot>
std::array<std::size_t, d.results> result_lengths(const Handle<CoreRobot>& h,
                                                  const MethodCall<CoreRobot>& call) {
  std::array<std::size_t, d.results> lengths{};
  if constexpr (returns_sides(d)) {
    static_assert(d.results == 1, "the sides' poses are a method's only result");
    lengths[0] = 7 * call.constraints().side_count();
  } else {
    const std::size_t m = call.constraint_rows();
    for (std::size_t i = 0; i < d.results; ++i) lengths[i] = result_length(result_of(d, i), h, m);
  }
  return lengths;
}

// K result arrays of `lengths` values, as the core writes them.
template <std::size_t K>
std::array<std::span<double>, K> spans(const std::array<double*, K>& data,
                                       const std::array<std::size_t, K>& lengths) {
  std::array<std::span<double>, K> out;
  for (std::size_t i = 0; i < K; ++i) out[i] = std::span<double>(data[i], lengths[i]);
  return out;
}

// Every result a call hands back is finite: an overflow on accepted inputs
// (a velocity of 1e200, a gravity of 1e308) is the SolverError
// NonFiniteResult naming the method, never inf or NaN returned as an answer.
// One pass over the result; an `out` the caller gave then holds that result.
inline std::expected<void, Error> finite_result(const MethodDescription& d,
                                                std::span<const double> values) {
  if (!all_finite(values)) return std::unexpected(errors::NonFiniteResult{d.name});
  return {};
}

// Method::compute into `lengths[i]` values at each `data[i]`, checked finite.
// The core takes and returns the caller's coordinates (a coupled model's free ones).
template <class Method, class CoreRobot, class Call, std::size_t K>
std::expected<void, Error> compute_arrays(Calculation<CoreRobot>& c, const Call& call,
                                          const std::array<double*, K>& data,
                                          const std::array<std::size_t, K>& lengths, const Inputs& in) {
  if constexpr (K == 1) VELKOR_TRY(Method::compute(c, call, std::span<double>(data[0], lengths[0]), in));
  else VELKOR_TRY(Method::compute(c, call, spans<K>(data, lengths), in));
  for (std::size_t i = 0; i < K; ++i)
    VELKOR_TRY(finite_result(Method::description, {data[i], lengths[i]}));
  return {};
}

// The entry point of every computing method. Method::compute(c, call, inputs)
// returns the core's expected Pose or Twist for a value result; a Number result
// is computed into one double and returned as a float;
// Method::compute(c, call, out, inputs) fills `out` for an array result (an
// array of `results` spans when there are several). Value
// results have no `out` that could alias an input, so they read the inputs in place.
template <class CoreRobot, class Method>
PyObject* computing_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const MethodDescription& d = Method::description;
  static const MethodSignature<CoreRobot> s(d);
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  MethodCall<CoreRobot> call;
  if (!call.template read<Method::description>(s.signature, args, nargs, kwnames, *h.link_table))
    return nullptr;
  if constexpr (d.interruptible) call.poll_signals();
  if constexpr (d.result == Result::Number) {
    return value_method(
        h,
        [&](Calculation<CoreRobot>& c) -> std::expected<double, Error> {
          double value = 0.0;
          const std::array<double*, 1> data{&value};
          const auto done =
              compute_arrays<Method>(c, call, data, std::array<std::size_t, 1>{1}, call.inputs());
          if (!done) return std::unexpected(done.error());
          return value;
        },
        PyFloat_FromDouble);
  } else if constexpr (d.result == Result::Pose || d.result == Result::Twist) {
    return value_method(
        h,
        [&](Calculation<CoreRobot>& c) {
          auto value = Method::compute(c, call, call.inputs());
          if (value && !value->all_finite())
            return decltype(value)(std::unexpected(errors::NonFiniteResult{d.name}));
          return value;
        },
        [](const auto& value) {
          if constexpr (Method::description.result == Result::Pose) return new_pose(value);
          else return new_twist(value);
        });
  } else {
    constexpr std::size_t K = d.results;
    std::array<PyObject*, K> outs{};
    PyObject* given = call.template out<Method::description>();
    if constexpr (K == 1) outs[0] = given;
    else if (given != nullptr && given != Py_None)
      for (std::size_t i = 0; i < K; ++i) outs[i] = PyTuple_GET_ITEM(given, static_cast<Py_ssize_t>(i));
    const auto lengths = result_lengths<Method::description>(h, call);
    if (call.common() && lengths_match(outs, lengths))
      return common_arrays_method<K>(
          h, outs, K > 1 ? given : nullptr, lengths, call.inputs(),
          [&](Calculation<CoreRobot>& c, const std::array<double*, K>& data, const Inputs& in) {
            return compute_arrays<Method>(c, call, data, lengths, in);
          });
    return arrays_method<K>(
        h, outs, K > 1 ? given : nullptr, lengths, call.inputs(),
        [&](Calculation<CoreRobot>& c, const std::array<double*, K>& data, const Inputs& in) {
          return compute_arrays<Method>(c, call, data, lengths, in);
        },
        call.outs_settled());
  }
}

}  // namespace velkor::py
