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

// The thread that runs the exit callbacks and then the shutdown, once it has
// begun the callbacks (0 before): until then restore_thread costs one load.
std::atomic<unsigned long> exiting_thread{0};

PyObject* note_exit(PyObject*, PyObject*) {
  exiting_thread.store(PyThread_get_thread_ident(), std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef note_exit_method = {"_velkor_note_exit", note_exit, METH_NOARGS, nullptr};

bool interpreter_finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

void restore_or_park(PyThreadState* state) noexcept {
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // The C function throws nothing of its own: this is the forced unwind
    // (abi::__forced_unwind, which has no exception object to bind to) by which
    // Python before 3.13.8 ends a thread that asks for the lock during the
    // shutdown. The handler never returns, so the unwind is neither finished
    // nor swallowed.
    park_thread();
  }
}

// Once the exit callbacks have begun. While they run, every thread still gets
// the lock back (a callback may be waiting for a thread that computes); once
// the shutdown proper has begun, only the thread that runs it does.
[[gnu::cold, gnu::noinline]] void restore_near_exit(PyThreadState* state) noexcept {
  if (interpreter_finalizing() &&
      PyThread_get_thread_ident() != exiting_thread.load(std::memory_order_acquire))
    park_thread();
  restore_or_park(state);
}

}  // namespace

void restore_thread(PyThreadState* state) noexcept {
  // Checked before asking: Python 3.13.8+ and 3.14 hang a thread that asks
  // during the shutdown inside PyEval_RestoreThread, where no hook runs.
  if (exiting_thread.load(std::memory_order_relaxed) != 0) [[unlikely]]
    return restore_near_exit(state);
  restore_or_park(state);
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

bool watch_exit() {
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  PyRef callback = atexit ? PyRef::steal(PyCFunction_New(&note_exit_method, nullptr)) : PyRef();
  PyRef done = callback
                   ? PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()))
                   : PyRef();
  return static_cast<bool>(done);
}

void reset_main_thread() { main_thread_ident.store(0, std::memory_order_relaxed); }

}  // namespace velkor::py
