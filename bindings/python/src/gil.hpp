// The one place that releases and re-takes the interpreter lock, and the
// signal polling of long computations that builds on it.
#pragma once

#include <utility>

#include "interrupt.hpp"
#include "python.hpp"

namespace velkor::py {

// Takes the interpreter lock back for `state`. Once an interpreter's shutdown
// has begun (after its exit callbacks), the lock is never granted again to a
// thread other than the one that runs the shutdown: Python before 3.13.8 ends
// the asking thread with a forced unwind, which would run destructors that
// touch Python objects without the lock and abort in noexcept frames; Python
// 3.13.8 and later (3.14 too) hang it for good inside PyEval_RestoreThread,
// with whatever it holds. Either way the thread is parked for good here after
// running the park hook (the module sets it to release the handle locks the
// thread holds, so that finalizers can still use those handles): before
// asking, when the shutdown has begun (see watch_exit), and from the forced
// unwind. A thread that began to wait for the lock before the shutdown and
// still waits when it begins is hung by Python 3.13.8+ before this code runs
// again, and keeps its handle locks.
void restore_thread(PyThreadState* state) noexcept;

// What a thread runs before it is parked for good; set once by the module.
void set_park_hook(void (*hook)());

// Registers the exit callback that tells restore_thread which thread runs the
// exit, and that a shutdown may come (an atexit callback: the callbacks run
// before the shutdown, on the thread that then runs it). False with an
// exception set. Call with the interpreter lock held, once per module copy.
bool watch_exit();

// Releases the interpreter lock for its lifetime, also while unwinding.
class GilRelease {
 public:
  GilRelease();
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease();

  // Runs `body` with the interpreter lock of this thread, which has released
  // it, taken back for the moment.
  template <class F>
  static auto reacquired(F&& body) -> decltype(body()) {
    restore_thread(PyGILState_GetThisThreadState());
    struct Release {
      ~Release() { PyEval_SaveThread(); }
    } release;
    return std::forward<F>(body)();
  }

 private:
  PyThreadState* state_;
};

// For a computation that runs with the interpreter lock released: on the main
// thread, an Interrupt that every few milliseconds takes the lock back briefly
// and runs the pending signal handlers. When one raises (KeyboardInterrupt for
// Ctrl-C), the poll says stop and core_error raises that exception for the
// computation's `Interrupted` error. Elsewhere, where CPython runs no signal
// handlers, an Interrupt that never polls. Call with the interpreter lock held.
Interrupt signal_interrupt();

// The exception a signal handler raised during a poll, kept for core_error.
void stash_signal_exception();
// Raises the kept exception, or KeyboardInterrupt when none is kept.
void raise_signal_exception();

// Forgets which thread is the main one (the forking thread is, in a child).
void reset_main_thread();

}  // namespace velkor::py
