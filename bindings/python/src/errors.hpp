// Exception hierarchy, the single translation of core errors into Python
// exceptions, and the guards that keep C++ exceptions from crossing into Python.
#pragma once

#include <new>
#include <optional>
#include <string>
#include <type_traits>

#include "error.hpp"
#include "fault.hpp"
#include "python.hpp"

namespace velkor::py {

// Creates VelkorError and its three subclasses unless they exist; false with an
// exception set on failure.
bool create_exception_types();

// Raises the Python exception of a core error; always returns nullptr.
PyObject* core_error(const Error& error);

// Raises PanicError(message); always returns nullptr.
PyObject* raise_panic(const char* message);

// An error decided while a handle is locked, raised once the lock is released.
// Raising creates an exception object, which can start the cycle collector and
// run finalizers, and a finalizer may call the very handle that is locked.
class DeferredError {
 public:
  void set(Error error) { error_.emplace(std::move(error)); }
  void set(PyObject* type, std::string message) {
    type_ = type;
    message_ = std::move(message);
  }
  bool is_set() const { return error_.has_value() || type_ != nullptr; }
  // Raises what was recorded; always returns nullptr.
  PyObject* raise() const;
  // What panic_guard raises, recorded instead: the fault's text, or MemoryError.
  void set_from_current_exception();

 private:
  std::optional<Error> error_;
  PyObject* type_ = nullptr;
  std::string message_;
};

// panic_guard for lock-held work whose failures are deferred: a fault is
// recorded in `error` and the body's failure value returned.
template <class F>
auto deferred_panic_guard(DeferredError& error, F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    error.set_from_current_exception();
    return decltype(body()){};
  }
}

namespace detail {
enum class ExceptionKind { Panic, OutOfMemory };
struct ClassifiedException {
  ExceptionKind kind;
  // A fault's or std::exception's what(), "native velkor panic" for a fault without a
  // message or an exception of another type, "" for std::bad_alloc. It may point into the
  // exception object, so it is valid only while the handler that called the classifier runs.
  const char* message;
};
// The one classification of the C++ exception being handled, shared by the guards below and
// DeferredError; call it only from inside a catch handler.
ClassifiedException classify_current_exception() noexcept;

// Raises the Python counterpart of the C++ exception being handled: PanicError, or
// NativeFault (a BaseException) for one that escaped a method; MemoryError for bad_alloc.
void raise_guarded_exception();
void raise_escaped_exception();

template <class R>
R failure_value() {
  if constexpr (std::is_pointer_v<R>) return nullptr;
  else return static_cast<R>(-1);
}
}  // namespace detail

// Runs the lock-held part of a method. An internal fault becomes PanicError with
// the fault's text or "native velkor panic"; locals of the body are unwound first.
template <class F>
auto panic_guard(F&& body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    detail::raise_guarded_exception();
    return detail::failure_value<decltype(body())>();
  }
}

// Wraps every function handed to CPython: a C++ exception that escapes the
// method is raised as an internal BaseException subclass instead of unwinding
// through the interpreter.
template <auto Function>
struct Entry;

template <class R, class... A, R (*Function)(A...)>
struct Entry<Function> {
  static R call(A... args) noexcept {
    try {
      return Function(args...);
    } catch (...) {
      detail::raise_escaped_exception();
      return detail::failure_value<R>();
    }
  }
};

template <auto Function>
inline constexpr auto entry = &Entry<Function>::call;

// A METH_FASTCALL | METH_KEYWORDS entry in a method table, which stores every
// method as a PyCFunction.
template <auto Function>
inline PyCFunction fastcall_entry() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Function>));
}

}  // namespace velkor::py
