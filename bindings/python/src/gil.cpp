#include "gil.hpp"

#include <unistd.h>

#include <atomic>

#include "py_ref.hpp"

namespace velkor::py {
namespace {

// Owned reference; raised and cleared on the same thread by core_error.
thread_local PyObject* signal_exception = nullptr;

std::atomic<unsigned long> main_thread_ident{0};

std::atomic<void (*)()> park_hook{nullptr};

[[noreturn]] void park_thread() {
  if (void (*hook)() = park_hook.load()) hook();
  while (true) ::pause();
}

// Needs the interpreter lock.
bool on_main_thread() {
  unsigned long main = main_thread_ident.load(std::memory_order_relaxed);
  if (main == 0) {
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    PyRef thread = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr))
                             : PyRef();
    PyRef ident = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "ident")) : PyRef();
    main = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
      PyErr_Clear();  // no signal polling then; the call itself is unaffected
      return false;
    }
    main_thread_ident.store(main, std::memory_order_relaxed);
  }
  return PyThread_get_thread_ident() == main;
}

// Called with the interpreter lock released (the computation runs in a GilRelease).
bool poll_signals(void*) {
  return GilRelease::reacquired([] {
    if (PyErr_CheckSignals() == 0) return false;
    stash_signal_exception();
    return true;
  });
}

}  // namespace

void restore_thread(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // The C function throws nothing of its own: this is the forced unwind
    // (abi::__forced_unwind, which has no exception object to bind to). The
    // handler never returns, so the unwind is neither finished nor swallowed.
    park_thread();
  }
}

GilRelease::GilRelease() : state_(PyEval_SaveThread()) {}

GilRelease::~GilRelease() { restore_thread(state_); }

Interrupt signal_interrupt() {
  return on_main_thread() ? Interrupt(poll_signals, nullptr) : Interrupt();
}

void stash_signal_exception() {
  Py_CLEAR(signal_exception);
#if PY_VERSION_HEX >= 0x030C0000
  signal_exception = PyErr_GetRaisedException();
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  signal_exception = value;
#endif
}

void raise_signal_exception() {
  PyObject* exception = std::exchange(signal_exception, nullptr);
  if (exception == nullptr) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return;
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exception);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exception))), exception,
                PyException_GetTraceback(exception));
#endif
}

void set_park_hook(void (*hook)()) { park_hook.store(hook); }

void reset_main_thread() { main_thread_ident.store(0, std::memory_order_relaxed); }

}  // namespace velkor::py
