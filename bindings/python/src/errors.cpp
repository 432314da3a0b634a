#include "errors.hpp"

#include <atomic>
#include <string_view>

#include "gil.hpp"
#include "py_ref.hpp"
#include "types.hpp"

namespace velkor::py {

Types& types() {
  static Types instance;
  return instance;
}

namespace {

// The attributes of a ModelError that say where in the description it points.
constexpr const char* place_attributes[] = {"element", "name", "line", "attribute"};

constexpr const char* model_error_doc =
    "A robot description that cannot become a model: the file does not parse, or what it\n"
    "describes is refused. The message is the loader's fixed sentence; the attributes say\n"
    "where it points, each None where not known (a file that cannot be read, an error\n"
    "raised after loading).\n"
    "\n"
    "``element`` (str or None): the element the message is about, as its path from\n"
    "<robot>: 'joint', 'joint/limit', 'joint/mimic', 'link/inertial/inertia',\n"
    "'link/visual/geometry/mesh'; 'robot' for <robot> itself, 'document' for the file as a\n"
    "whole (encoding, XML syntax). A missing element is reported at its parent.\n"
    "\n"
    "``name`` (str or None): the name of the link or joint (the robot's for 'robot').\n"
    "\n"
    "``line`` (int or None): the 1-based line of the element in the file or string.\n"
    "\n"
    "``attribute`` (str or None): the attribute at fault ('lower', 'xyz', 'type', ...);\n"
    "None when the element as a whole is.";

// ModelError's class dictionary: every place attribute None until an error sets it.
PyObject* model_error_dict() {
  PyObject* dict = PyDict_New();
  if (dict == nullptr) return nullptr;
  for (const char* attribute : place_attributes)
    if (PyDict_SetItemString(dict, attribute, Py_None) < 0) {
      Py_DECREF(dict);
      return nullptr;
    }
  return dict;
}

}  // namespace

bool create_exception_types() {
  Types& t = types();
  const auto create = [](PyObject*& slot, const char* name, PyObject* base, const char* doc = nullptr,
                         PyObject* dict = nullptr) {
    if (slot == nullptr) slot = PyErr_NewExceptionWithDoc(name, doc, base, dict);
    return slot != nullptr;
  };
  PyRef model_dict;
  if (t.model_error == nullptr && !(model_dict = PyRef::steal(model_error_dict()))) return false;
  return create(t.velkor_error, "_velkor.VelkorError", PyExc_RuntimeError) &&
         create(t.model_error, "_velkor.ModelError", t.velkor_error, model_error_doc,
                model_dict.get()) &&
         create(t.solver_error, "_velkor.SolverError", t.velkor_error) &&
         create(t.panic_error, "_velkor.PanicError", t.velkor_error);
}

namespace {

// Names come from files: never let a stray byte turn the error into a decode error.
PyRef text_of(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* raise(PyObject* type, std::string_view message) {
  if (PyRef text = text_of(message)) PyErr_SetObject(type, text.get());
  return nullptr;
}

// A text field of a place, None when empty.
PyRef optional_text(std::string_view text) {
  return text.empty() ? PyRef::borrow(Py_None) : text_of(text);
}

// Raises `type` (a ModelError) with `message` and the place's fields as attributes.
PyObject* raise_placed(PyObject* type, std::string_view message, const SourcePlace& place) {
  PyRef text = text_of(message);
  if (!text) return nullptr;
  PyRef error = PyRef::steal(PyObject_CallOneArg(type, text.get()));
  if (!error) return nullptr;
  const PyRef values[] = {
      optional_text(place.element), optional_text(place.name),
      place.line == 0 ? PyRef::borrow(Py_None) : PyRef::steal(PyLong_FromSize_t(place.line)),
      optional_text(place.attribute)};
  for (std::size_t k = 0; k < std::size(values); ++k)
    if (!values[k] || PyObject_SetAttrString(error.get(), place_attributes[k], values[k].get()) < 0)
      return nullptr;
  PyErr_SetObject(type, error.get());
  return nullptr;
}

// Faults that leave a method outside any panic guard; deliberately not a
// VelkorError, so ordinary error handling does not swallow them.
// Made on first use without holding any lock while Python runs: a thread
// waiting for another's initialisation could block the interpreter lock's
// hand-over or, without it, a stop-the-world pause. Two threads that race
// here both make one and keep the first.
PyObject* escaped_fault_type() {
  static std::atomic<PyObject*> made{nullptr};
  if (PyObject* type = made.load(std::memory_order_acquire)) return type;
  PyObject* type = PyErr_NewException("_velkor.NativeFault", PyExc_BaseException, nullptr);
  if (type == nullptr) return nullptr;
  PyObject* first = nullptr;
  if (made.compare_exchange_strong(first, type, std::memory_order_acq_rel)) return type;
  Py_DECREF(type);
  return first;
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
  if (const SourcePlace* place = error.place()) return raise_placed(type, error.message(), *place);
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
