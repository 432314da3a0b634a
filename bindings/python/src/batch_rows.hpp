// The rows of a call over many states at once (a batch method, a rollout batch,
// a whole-body IK solve of many starts): their array input, the first failure,
// and the split of the rows over native threads with the interpreter lock
// released once for the whole call.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "arrays.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "handle.hpp"
#include "py_ref.hpp"

namespace velkor::py {

// An array argument of `dimensions` dimensions (two: one state per row): a
// C-contiguous, aligned float64 array (the caller's own when it is one, else
// NumPy's conversion).
class BatchInput {
 public:
  bool extract(PyObject* value, const char* name, int dimensions = 2) {
    PyObject* converted =
        PyArray_FromAny(value, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr);
    if (converted == nullptr) return false;
    array_ = PyRef::steal(converted);
    if (PyArray_NDIM(array()) != dimensions) {
      static constexpr const char* expected[] = {"", "a one-dimensional array",
                                                 "a two-dimensional array, one state per row",
                                                 "a three-dimensional array, one state per row"};
      PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s with %d dimensions", name,
                   expected[dimensions], Py_TYPE(value)->tp_name, PyArray_NDIM(array()));
      return false;
    }
    return true;
  }
  // The extent of dimension i.
  std::size_t dim(int i) const { return static_cast<std::size_t>(PyArray_DIM(array(), i)); }
  // All values, row-major.
  std::span<const double> values() const {
    return {static_cast<const double*>(PyArray_DATA(array())),
            static_cast<std::size_t>(PyArray_SIZE(array()))};
  }
  PyArrayObject* array() const { return reinterpret_cast<PyArrayObject*>(array_.get()); }
  // Reads the rows from a private copy from now on, unless they are private
  // memory already. False with MemoryError set.
  bool make_private() {
    if (is_private_memory(array())) return true;
    PyObject* copy = PyArray_NewCopy(array(), NPY_CORDER);
    if (copy == nullptr) return false;
    array_ = PyRef::steal(copy);
    return true;
  }
  std::size_t rows() const { return static_cast<std::size_t>(PyArray_DIM(array(), 0)); }
  // Row i: every value with first index i.
  std::span<const double> row(std::size_t i) const {
    const std::size_t size = rows() == 0 ? 0 : static_cast<std::size_t>(PyArray_SIZE(array())) / rows();
    return {static_cast<const double*>(PyArray_DATA(array())) + i * size, size};
  }

 private:
  PyRef array_;
};

// Adds " (what i)" to the message of the exception being raised: " (row 3)".
inline void add_index(const char* what, std::size_t row) {
#if PY_VERSION_HEX >= 0x030C0000
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  PyObject* type = raised ? reinterpret_cast<PyObject*>(Py_TYPE(raised.get())) : nullptr;
  PyRef text = PyRef::steal(raised ? PyObject_Str(raised.get()) : nullptr);
  PyRef message =
      PyRef::steal(text ? PyUnicode_FromFormat("%U (%s %zu)", text.get(), what, row) : nullptr);
  PyRef replaced = PyRef::steal(message ? PyObject_CallOneArg(type, message.get()) : nullptr);
  if (!replaced) {  // keep the original exception
    PyErr_Clear();
    PyErr_SetRaisedException(raised.release());
    return;
  }
  PyErr_SetObject(type, replaced.get());
#else
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
  PyRef message =
      PyRef::steal(text ? PyUnicode_FromFormat("%U (%s %zu)", text.get(), what, row) : nullptr);
  PyRef replaced = PyRef::steal(message ? PyObject_CallOneArg(type, message.get()) : nullptr);
  if (!replaced) {  // keep the original exception
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return;
  }
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_SetObject(type, replaced.get());
  Py_DECREF(type);
#endif
}
inline constexpr std::size_t no_step = static_cast<std::size_t>(-1);

// The first failure of a batch: its row (and a rollout's step) and error, a
// fault's message, or memory that ran out.
struct Failure {
  std::mutex mutex;
  std::atomic<std::size_t> row{static_cast<std::size_t>(-1)};
  std::size_t step = no_step;
  std::optional<Error> error;
  std::string fault;
  bool out_of_memory = false;

  void record(std::size_t i, std::optional<Error> e, std::string fault_message = {},
              std::size_t at_step = no_step, bool memory = false) {
    std::lock_guard lock(mutex);
    if (i >= row.load()) return;
    row.store(i);
    step = at_step;
    error = std::move(e);
    fault = std::move(fault_message);
    out_of_memory = memory;
  }

  // Records the C++ exception being handled at row i: std::bad_alloc as memory
  // that ran out, anything else as a fault. Call only from inside a catch handler.
  void record_exception(std::size_t i) noexcept {
    const auto [kind, message] = detail::classify_current_exception();
    bool memory = kind == detail::ExceptionKind::OutOfMemory;
    std::string text;
    try {
      if (!memory) text = message;
    } catch (...) {  // no room for the fault's text either
      memory = true;
    }
    record(i, std::nullopt, std::move(text), no_step, memory);
  }

  // Raises the recorded failure: the error (MemoryError for memory that ran
  // out, PanicError for a fault), " (step t)" for a rollout's, and " (row i)"
  // in a batch. nullptr.
  PyObject* raise(bool batch) const {
    if (out_of_memory) {
      if (batch) PyErr_Format(PyExc_MemoryError, "out of memory (row %zu)", row.load());
      else PyErr_NoMemory();
      return nullptr;
    }
    if (error) core_error(*error);
    else raise_panic(fault.c_str());
    if (step != no_step) add_index("step", step);
    if (batch) add_index("row", row.load());
    return nullptr;
  }
};

// An Interrupt for a batch thread: a worker's stops when `stop` is set; the
// calling thread's also polls for signals, and a signal sets `stop`.
struct StopPoll {
  std::atomic<bool>* stop;
  Interrupt* signals;  // the calling thread's signal poll; nullptr on a worker
  bool* interrupted;

  static bool poll(void* context) {
    auto& self = *static_cast<StopPoll*>(context);
    if (self.stop->load(std::memory_order_relaxed)) return true;
    if (self.signals == nullptr || !self.signals->poll()) return false;
    *self.interrupted = true;
    self.stop->store(true);
    return true;
  }
};

// Runs the N rows, split in chunks over up to `threads` threads, each on a
// workspace of its own (chunk 0 on the handle's, chunk t on others[t - 1],
// given the handle's settings first): row(c, i, stop, step) computes
// row i on calculation c, may poll `stop` (an Interrupt) inside a long row, and
// sets `step` when it fails at a step. The first failing row lands in
// `failure`; `interrupted` when a signal handler asked to stop. False with the
// error set when the handle cannot be locked (closed, poisoned) or memory runs out.
template <class CoreRobot, class Row>
bool run_rows(std::size_t threads, std::vector<Calculation<CoreRobot>>& others, Handle<CoreRobot>& h,
              std::size_t N, Failure& failure, bool& interrupted, Row&& row) {
  std::vector<std::thread> workers;
  try {
    workers.reserve(threads - 1);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  std::atomic<bool> stop{false};
  Interrupt interrupt = signal_interrupt();
  {
    auto guard = h.slot.lock();
    if (!guard) return false;
    Calculation<CoreRobot>& first = guard.calculation();
    for (Calculation<CoreRobot>& c : others) c.robot = first.robot;  // the handle's settings now
    // Chunk t of the rows runs on workspace t (0: the handle's own).
    const std::size_t T = std::max<std::size_t>(1, std::min(threads, N));
    const std::size_t chunk = (N + T - 1) / T;
    const auto workspace = [&](std::size_t t) -> Calculation<CoreRobot>& {
      return t == 0 ? first : others[t - 1];
    };
    // Only this thread polls for signals (CPython runs their handlers on the main thread alone).
    const auto stopped = [&](bool polls) {
      if (polls && interrupt.due()) {
        interrupted = true;
        stop.store(true);
      }
      return stop.load(std::memory_order_relaxed);
    };
    auto run = [&](std::size_t t, bool polls) {
      Calculation<CoreRobot>& c = workspace(t);
      const std::size_t begin = t * chunk, end = std::min(N, (t + 1) * chunk);
      StopPoll context{&stop, polls ? &interrupt : nullptr, &interrupted};
      Interrupt inside(StopPoll::poll, &context);
      std::size_t i = begin;  // the row an exception leaves
      try {
        for (; i < end; ++i) {
          if (stopped(polls) || failure.row.load(std::memory_order_relaxed) < i) return;
          std::size_t step = no_step;
          const std::expected<void, Error> done = row(c, i, inside, step);
          if (!done) {
            if (!done.error().is<errors::Interrupted>()) failure.record(i, done.error(), {}, step);
            return;
          }
        }
      } catch (...) {
        failure.record_exception(i);
      }
    };
    std::mutex finished_mutex;
    std::condition_variable finished;
    std::size_t running = 0;  // worker threads still computing
    GilRelease released;
    // A thread the system cannot start (a thread or address-space limit) is no
    // error: its chunk and the later ones run on this thread instead.
    std::size_t started = 1;
    for (; started < T; ++started) {
      {
        std::lock_guard lock(finished_mutex);
        ++running;
      }
      try {
        workers.emplace_back([&, t = started] {
          run(t, false);
          std::lock_guard lock(finished_mutex);
          --running;
          finished.notify_one();
        });
      } catch (...) {
        std::lock_guard lock(finished_mutex);
        --running;
        break;
      }
    }
    run(0, true);
    for (std::size_t t = started; t < T; ++t) run(t, true);
    // Waiting for the workers, this thread still answers Ctrl-C: they stop at their next row.
    {
      std::unique_lock lock(finished_mutex);
      while (running > 0) {
        if (!interrupt.polls()) {
          finished.wait(lock);
          continue;
        }
        if (finished.wait_for(lock, Interrupt::period, [&] { return running == 0; })) break;
        lock.unlock();
        if (!interrupted && interrupt.poll()) {
          interrupted = true;
          stop.store(true);
        }
        lock.lock();
      }
    }
    for (std::thread& w : workers) w.join();
  }
  return true;
}

}  // namespace velkor::py
