#include "errors.hpp"

#include <string_view>

#include "gil.hpp"
#include "py_ref.hpp"
#include "types.hpp"

namespace velkor::py {

Types& types() {
  static Types instance;
  return instance;
}

bool create_exception_types() {
  Types& t = types();
  const auto create = [](PyObject*& slot, const char* name, PyObject* base) {
    if (slot == nullptr) slot = PyErr_NewExceptionWithDoc(name, nullptr, base, nullptr);
    return slot != nullptr;
  };
  return create(t.velkor_error, "_velkor.VelkorError", PyExc_RuntimeError) &&
         create(t.model_error, "_velkor.ModelError", t.velkor_error) &&
         create(t.solver_error, "_velkor.SolverError", t.velkor_error) &&
         create(t.panic_error, "_velkor.PanicError", t.velkor_error);
}

namespace {

PyObject* raise(PyObject* type, std::string_view message) {
  // Names come from files: never let a stray byte turn the error into a decode error.
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

// Faults that leave a method outside any panic guard; deliberately not a
// VelkorError, so ordinary error handling does not swallow them.
PyObject* escaped_fault_type() {
  static PyObject* type = PyErr_NewException("_velkor.NativeFault", PyExc_BaseException, nullptr);
  return type;
}

}  // namespace

PyObject* core_error(const Error& error) {
  const Types& t = types();
  PyObject* type = nullptr;
  switch (error.python_class()) {
    case ErrorClass::ModelError: type = t.model_error; break;
    case ErrorClass::SolverError: type = t.solver_error; break;
    case ErrorClass::ValueError: type = PyExc_ValueError; break;
    case ErrorClass::Interrupted: raise_signal_exception(); return nullptr;
  }
  return raise(type, error.message());
}

PyObject* raise_panic(const char* message) { return raise(types().panic_error, message); }

PyObject* DeferredError::raise() const {
  if (error_) return core_error(*error_);
  if (type_ == PyExc_MemoryError) return PyErr_NoMemory();
  return py::raise(type_ ? type_ : types().panic_error, message_);
}

void DeferredError::set_from_current_exception() {
  const auto [kind, message] = detail::classify_current_exception();
  if (kind == detail::ExceptionKind::OutOfMemory) set(PyExc_MemoryError, "");
  else set(types().panic_error, message);
}

namespace detail {

ClassifiedException classify_current_exception() noexcept {
  static constexpr const char* unnamed = "native velkor panic";
  try {
    throw;
  } catch (const Fault& fault) {
    return {ExceptionKind::Panic, fault.has_message() ? fault.what() : unnamed};
  } catch (const std::bad_alloc&) {
    return {ExceptionKind::OutOfMemory, ""};
  } catch (const std::exception& e) {
    return {ExceptionKind::Panic, e.what()};
  } catch (...) {
    return {ExceptionKind::Panic, unnamed};
  }
}

void raise_guarded_exception() {
  const auto [kind, message] = classify_current_exception();
  if (kind == ExceptionKind::OutOfMemory) PyErr_NoMemory();
  else raise_panic(message);
}

void raise_escaped_exception() {
  const auto [kind, message] = classify_current_exception();
  if (kind == ExceptionKind::OutOfMemory) PyErr_NoMemory();
  else if (PyObject* type = escaped_fault_type()) raise(type, message);
}

}  // namespace detail
}  // namespace velkor::py
