#include "batch.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "batch_rows.hpp"
#include "computing_method.hpp"
#include "configuration_methods.hpp"
#include "constrained_methods.hpp"
#include "dynamics_methods.hpp"
#include "kinematics_methods.hpp"
#include "method_list.hpp"
#include "robot/dynamics/rollout.hpp"

namespace velkor::py {
namespace {

template <class CoreRobot>
struct BatchObject {
  PyObject_HEAD PyObject* handle;  // the Robot or FloatingRobot, kept alive
  std::size_t threads;
  std::vector<Calculation<CoreRobot>>*
      workspaces;  // of threads 1 .. threads-1, used under the handle's lock
};

template <class CoreRobot>
BatchObject<CoreRobot>& batch_of(PyObject* self) {
  return *reinterpret_cast<BatchObject<CoreRobot>*>(self);
}

// One row of a batch, as the method structs read a call.
template <class CoreRobot>
struct RowCall {
  const MethodCall<CoreRobot>& shared;  // target, tool, loads, constraints and options of the batch
  const BaseState* state;               // the row's base state (FloatingRobot; unread for a Robot)
  Interrupt* stop;                      // the row's thread's (see run_rows)
  Base base(const Calculation<CoreRobot>& c) const { return base_of(c, *state); }
  Interrupt& interrupt() const { return *stop; }
  LinkId target() const { return shared.target(); }
  const Pose& tool() const { return shared.tool(); }
  std::span<const IndexedLoad> loads() const { return shared.loads(); }
  const ConstraintSet& constraints() const { return shared.constraints(); }
  std::size_t constraint_rows() const { return shared.constraint_rows(); }
  double number(const NumberOption& option) const { return shared.number(option); }
};

// The base states of a list or tuple of BaseState: 1 when read, 0 with the
// error (and its row) set, -1 when its items are not BaseState objects.
int listed_base_states(PyObject* value, std::vector<BaseState>& states) {
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(value);
  PyObject** items = PySequence_Fast_ITEMS(value);
  if (count != 0 && Py_TYPE(items[0]) != types().base_state) return -1;
  states.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto state = base_state_argument(items[i], "base");
    if (!state) {
      add_index("row", static_cast<std::size_t>(i));
      return 0;
    }
    states.push_back(*state);
  }
  return 1;
}

// Base states, one per row: a sequence of BaseState, or 19 numbers per row in
// the layout of BaseState.from_array. False with the error (and its row) set.
bool base_states(PyObject* value, std::vector<BaseState>& states) {
  if (PyList_Check(value) || PyTuple_Check(value)) {
    // A list is the caller's, which another thread may change: read under its lock.
    int listed = -1;
    Py_BEGIN_CRITICAL_SECTION(value);
    listed = listed_base_states(value, states);
    Py_END_CRITICAL_SECTION();
    if (listed >= 0) return listed == 1;
  }
  BatchInput rows;
  if (!rows.extract(value, "base")) return false;
  states.reserve(rows.rows());
  for (std::size_t i = 0; i < rows.rows(); ++i) {
    const std::span<const double> r = rows.row(i);
    if (r.size() != 19) {
      PyErr_Format(PyExc_ValueError, "expected 19 elements in base, found %zu (row %zu)", r.size(), i);
      return false;
    }
    auto state = base_state_of_row(r.data());
    if (!state) {
      add_index("row", i);
      return false;
    }
    states.push_back(*state);
  }
  return true;
}

static_assert(no_step == no_rollout_step, "a batch row's step is the rollout's");

// The R result arrays of `dimensions` dimensions, array r of shape shapes[r]:
// the caller's `out` (an array, or a tuple of R arrays; checked with the single
// calls' error classes, and refused when they share memory) or new arrays.
// False with the error set.
template <std::size_t R>
bool shaped_outputs(PyObject* out, int dimensions, const std::array<std::array<npy_intp, 3>, R>& shapes,
                    std::array<PyRef, R>& results) {
  static constexpr const char* named[] = {"", "one", "two", "three"};
  if (out != nullptr) {
    if constexpr (R > 1) {
      if (!PyTuple_Check(out) || PyTuple_GET_SIZE(out) != static_cast<Py_ssize_t>(R)) {
        PyErr_Format(PyExc_TypeError, "argument 'out': expected None or a tuple of %zu arrays, got %s",
                     R, Py_TYPE(out)->tp_name);
        return false;
      }
      for (std::size_t r = 0; r < R; ++r)
        results[r] = PyRef::borrow(PyTuple_GET_ITEM(out, static_cast<Py_ssize_t>(r)));
    } else {
      results[0] = PyRef::borrow(out);
    }
    for (std::size_t r = 0; r < R; ++r) {
      const PyRef& given = results[r];
      auto* o = reinterpret_cast<PyArrayObject*>(given.get());
      if (!PyArray_Check(given.get()) || !PyArray_EquivTypenums(PyArray_TYPE(o), NPY_DOUBLE) ||
          !PyArray_ISNOTSWAPPED(o) || PyArray_NDIM(o) != dimensions) {
        PyErr_Format(PyExc_TypeError,
                     "argument 'out': expected None or a %s-dimensional float64 numpy.ndarray, got %s",
                     named[dimensions], Py_TYPE(given.get())->tp_name);
        return false;
      }
      bool shaped = true;
      for (int i = 0; i < dimensions; ++i) shaped = shaped && PyArray_DIM(o, i) == shapes[r][i];
      if (!PyArray_IS_C_CONTIGUOUS(o) || !PyArray_ISALIGNED(o) || !PyArray_ISWRITEABLE(o) || !shaped) {
        if (dimensions == 2)
          PyErr_Format(PyExc_ValueError,
                       "out must be a writeable C-contiguous float64 array of shape (%zd, %zd)",
                       static_cast<Py_ssize_t>(shapes[r][0]), static_cast<Py_ssize_t>(shapes[r][1]));
        else
          PyErr_Format(PyExc_ValueError,
                       "out must be a writeable C-contiguous float64 array of shape (%zd, %zd, %zd)",
                       static_cast<Py_ssize_t>(shapes[r][0]), static_cast<Py_ssize_t>(shapes[r][1]),
                       static_cast<Py_ssize_t>(shapes[r][2]));
        return false;
      }
    }
    std::array<PyArrayObject*, R> given{};
    for (std::size_t r = 0; r < R; ++r) given[r] = reinterpret_cast<PyArrayObject*>(results[r].get());
    for (std::size_t r = 0; r < R; ++r)
      for (std::size_t earlier = 0; earlier < r; ++earlier)
        if (arrays_overlap(given[r], given[earlier])) {
          PyErr_SetString(PyExc_ValueError, "the arrays in out must not overlap");
          return false;
        }
    if (share_mapped_memory(given)) {  // two maps of one file, say
      PyErr_SetString(PyExc_ValueError, "the arrays in out must not overlap");
      return false;
    }
  }
  for (std::size_t r = 0; r < R; ++r) {
    PyRef& result = results[r];
    if (result) continue;
    npy_intp dims[3] = {shapes[r][0], shapes[r][1], shapes[r][2]};
    result = PyRef::steal(PyArray_SimpleNew(dimensions, dims, NPY_DOUBLE));
    if (!result) return false;
  }
  return true;
}

// The R result arrays of a batch of N rows, of K[r] values in array r.
template <std::size_t R>
bool batch_outputs(PyObject* out, std::size_t N, const std::array<std::size_t, R>& K,
                   std::array<PyRef, R>& results) {
  std::array<std::array<npy_intp, 3>, R> shapes{};
  for (std::size_t r = 0; r < R; ++r)
    shapes[r] = {static_cast<npy_intp>(N), static_cast<npy_intp>(K[r]), 0};
  return shaped_outputs<R>(out, 2, shapes, results);
}

// Write holds on the results and a read hold on the inputs, all or none
// ("The given array is already borrowed"); then, unless every result is
// NumPy's own memory, private copies of the inputs that are not either: a
// written row must never change a later row's input, and an `out` the caller
// passes can share memory with an input under another address (two maps of
// one file), which no overlap check sees. False with the error set.
template <std::size_t R>
bool hold_arrays(std::span<BatchInput> inputs, const std::array<PyRef, R>& results, Hold& reads,
                 std::array<Hold, R>& writes, std::array<double*, R>& out_data) {
  std::array<PyArrayObject*, 3> held{};
  for (std::size_t i = 0; i < inputs.size(); ++i) held[i] = inputs[i].array();
  bool held_all = reads.take_reads({held.data(), inputs.size()});
  for (std::size_t r = 0; r < R && held_all; ++r) {
    auto* array = reinterpret_cast<PyArrayObject*>(results[r].get());
    held_all = writes[r].take(array, Hold::Kind::Write);  // also refuses out arrays that overlap
    out_data[r] = static_cast<double*>(PyArray_DATA(array));
  }
  if (!held_all) {
    PyErr_SetString(PyExc_ValueError, "The given array is already borrowed");
    return false;
  }
  bool out_private = true;
  for (const PyRef& result : results)
    out_private = out_private && is_private_memory(reinterpret_cast<PyArrayObject*>(result.get()));
  for (std::size_t i = 0; i < inputs.size() && !out_private; ++i)
    if (!inputs[i].make_private()) return false;
  return true;
}

// The entry point of every batch method: the arguments as the handle's method
// takes them with one state per row, then the rows split over the threads.
template <class CoreRobot, class Method>
PyObject* batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const MethodDescription& d = Method::description;
  static_assert(d.result != Result::Pose && d.result != Result::Twist, "batches return arrays");
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + "Batch." +
                                      d.name;
  static const MethodSignature<CoreRobot> s(d);
  static const Signature signature = s.named(function.c_str());
  BatchObject<CoreRobot>& batch = batch_of<CoreRobot>(self);
  Handle<CoreRobot>& h = handle_of<CoreRobot>(batch.handle);
  constexpr Py_ssize_t b = base_arguments<CoreRobot>(d);

  PyObject* arg[max_parameters + 1] = {};
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  std::vector<BaseState> states;
  if constexpr (b == 1)
    if (!base_states(arg[0], states)) return nullptr;
  std::array<BatchInput, 3> inputs;
  for (std::size_t i = 0; i < d.vectors; ++i)
    if (!inputs[i].extract(arg[b + static_cast<Py_ssize_t>(i)], d.parameters[i])) return nullptr;
  const std::size_t N = inputs[0].rows();
  for (std::size_t i = 1; i < d.vectors; ++i)
    if (inputs[i].rows() != N) {
      PyErr_Format(PyExc_ValueError, "%s and %s must have the same number of rows", d.parameters[0],
                   d.parameters[i]);
      return nullptr;
    }
  if (b == 1 && states.size() != N) {
    PyErr_SetString(PyExc_ValueError, "base must have one state per row of q");
    return nullptr;
  }
  // target, loads, constraints, options and out as single calls take them (q's checks are
  // per row, in the core)
  // Zeroed first: GCC 16 cannot see that the options are engaged only once read.
  MethodCall<CoreRobot> shared{};
  if (!shared.template read_shared<d>(arg + b, *h.link_table)) return nullptr;
  PyObject* out = d.out >= 0 ? arg[b + d.out] : nullptr;
  if (out == Py_None) out = nullptr;
  const auto K = result_lengths<d>(h, shared);
  constexpr std::size_t R = d.results;
  std::array<PyRef, R> results;
  if (!batch_outputs<R>(out, N, K, results)) return nullptr;
  Hold reads;
  std::array<Hold, R> writes;
  std::array<double*, R> out_data{};
  if (!hold_arrays<R>({inputs.data(), d.vectors}, results, reads, writes, out_data)) return nullptr;

  const BaseState no_state{};  // the rows of a Robot, or of a method without a base, have none
  Failure failure;
  bool interrupted = false;
  const bool ran = run_rows<CoreRobot>(
      batch.threads, *batch.workspaces, h, N, failure, interrupted,
      [&](Calculation<CoreRobot>& c, std::size_t i, Interrupt& stop, std::size_t&) {
        const RowCall<CoreRobot> call{shared, b == 1 ? &states[i] : &no_state, &stop};
        const Inputs row{inputs[0].row(i), d.vectors > 1 ? inputs[1].row(i) : std::span<const double>(),
                         d.vectors > 2 ? inputs[2].row(i) : std::span<const double>()};
        std::array<double*, R> at;
        for (std::size_t r = 0; r < R; ++r) at[r] = out_data[r] + i * K[r];
        return compute_arrays<Method>(c, call, at, K, row);
      });
  if (!ran) return nullptr;
  reads.release();
  for (Hold& write : writes) write.release();
  if (interrupted) return core_error(errors::Interrupted{});
  if (failure.row.load() != static_cast<std::size_t>(-1)) return failure.raise(true);
  if (R > 1 && out != nullptr) return Py_NewRef(out);  // the caller's tuple
  return one_or_tuple(results);
}

// ---- rollouts: a row per step ----

// The rollout's arguments after parsing, as a single call and a batch take
// them: configuration, velocity and forces of `dimensions` (1, 1, 2 for a
// single call; one more each for a batch), then constraints, regularization,
// dt and out as MethodCall reads them. False with the error set.
template <class CoreRobot>
struct RolloutCall {
  static constexpr const MethodDescription& d = methods::rollout::description;

  bool read(PyObject* const* arg, int extra, const Handle<CoreRobot>& h) {
    batch = extra == 1;
    if (!inputs[0].extract(arg[0], "configuration", 1 + extra) ||
        !inputs[1].extract(arg[1], "velocity", 1 + extra) ||
        !inputs[2].extract(arg[2], "forces", 2 + extra))
      return false;
    if (extra == 1) {
      const std::size_t B = inputs[0].rows();
      for (std::size_t i = 1; i < 3; ++i)
        if (inputs[i].rows() != B) {
          PyErr_Format(PyExc_ValueError, "configuration and %s must have the same number of rows",
                       d.parameters[i]);
          return false;
        }
    }
    if (!shared.template read_shared<d>(arg, *h.link_table)) return false;
    const std::size_t columns = inputs[2].dim(1 + extra);
    if (columns != h.generalized_count) {
      PyErr_Format(PyExc_ValueError, "expected %zu elements in each row of forces, found %zu",
                   h.generalized_count, columns);
      return false;
    }
    steps = inputs[2].dim(extra);
    out = arg[d.out] == Py_None ? nullptr : arg[d.out];
    return true;
  }

  // The two results, (T+1, C) and (T+1, N) with a leading row per state in a
  // batch: the caller's out or new arrays, held with the inputs (see
  // hold_arrays). False with the error set.
  bool hold_results(const Handle<CoreRobot>& h) {
    sizes = {(steps + 1) * h.configuration_count, (steps + 1) * h.generalized_count};
    const auto T = static_cast<npy_intp>(steps + 1), C = static_cast<npy_intp>(h.configuration_count),
               N = static_cast<npy_intp>(h.generalized_count);
    const std::array<std::array<npy_intp, 3>, 2> shapes =
        batch ? std::array<std::array<npy_intp, 3>, 2>{{{static_cast<npy_intp>(inputs[0].rows()), T, C},
                                                        {static_cast<npy_intp>(inputs[0].rows()), T, N}}}
              : std::array<std::array<npy_intp, 3>, 2>{{{T, C, 0}, {T, N, 0}}};
    return shaped_outputs<2>(out, batch ? 3 : 2, shapes, results) &&
           hold_arrays<2>(inputs, results, reads, writes, out_data);
  }

  // Releases the holds, then the results: the caller's tuple or the new pair.
  void release() {
    reads.release();
    for (Hold& write : writes) write.release();
  }
  PyObject* returned() {
    release();
    if (out != nullptr) return Py_NewRef(out);  // the caller's tuple
    return one_or_tuple(results);
  }

  // Row i's rollout (the whole of a single call's) into its result rows.
  std::expected<void, Error> run(Calculation<CoreRobot>& c, std::size_t i, Interrupt& interrupt,
                                 std::size_t& step) const {
    const auto values = [&](std::size_t k) { return batch ? inputs[k].row(i) : inputs[k].values(); };
    const RolloutInput input{values(0),
                             values(1),
                             values(2),
                             steps,
                             shared.number(step_option),
                             shared.constraints_or_none(),
                             shared.number(regularization_option)};
    return velkor::rollout(c.model(), base_of(c, BaseState{}), c.workspace, input, interrupt,
                           {out_data[0] + i * sizes[0], sizes[0]},
                           {out_data[1] + i * sizes[1], sizes[1]}, step);
  }

  std::array<BatchInput, 3> inputs;
  // Zeroed first: GCC 16 cannot see that the options are engaged only once read.
  MethodCall<CoreRobot> shared{};
  std::size_t steps = 0;
  bool batch = false;  // inputs with a row per state
  PyObject* out = nullptr;
  std::array<std::size_t, 2> sizes{};  // values per row of each result
  std::array<PyRef, 2> results;
  Hold reads;
  std::array<Hold, 2> writes;
  std::array<double*, 2> out_data{};
};

// The rollout's error: the core's, with " (step t)" when a step failed.
PyObject* raise_rollout_error(const Error& error, std::size_t step) {
  core_error(error);
  if (step != no_rollout_step && !error.is<errors::Interrupted>()) add_index("step", step);
  return nullptr;
}

}  // namespace

template <class CoreRobot, class Method>
PyObject* rollout_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s(Method::description);
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  PyObject* arg[max_parameters + 1] = {};
  if (!parse_arguments(s.signature, args, nargs, kwnames, arg)) return nullptr;
  RolloutCall<CoreRobot> call;
  if (!call.read(arg, 0, h)) return nullptr;
  if (!call.hold_results(h)) return nullptr;
  Interrupt interrupt = signal_interrupt();
  std::optional<std::expected<void, Error>> result;
  std::size_t step = no_rollout_step;
  if (!with_locked(h, [&](Calculation<CoreRobot>& c, DeferredError&) {
        GilRelease released;
        result.emplace(call.run(c, 0, interrupt, step));
      }))
    return nullptr;
  if (!*result) {
    call.release();
    return raise_rollout_error(result->error(), step);
  }
  return call.returned();
}

template PyObject* rollout_method<Robot, methods::rollout>(PyObject*, PyObject* const*, Py_ssize_t,
                                                           PyObject*);
template PyObject* rollout_method<FloatingRobot, methods::rollout>(PyObject*, PyObject* const*,
                                                                   Py_ssize_t, PyObject*);

namespace {

template <class CoreRobot, class Method>
PyObject* batch_rollout(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + "Batch.rollout";
  static const MethodSignature<CoreRobot> s(Method::description);
  static const Signature signature = s.named(function.c_str());
  BatchObject<CoreRobot>& batch = batch_of<CoreRobot>(self);
  Handle<CoreRobot>& h = handle_of<CoreRobot>(batch.handle);
  PyObject* arg[max_parameters + 1] = {};
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  RolloutCall<CoreRobot> call;
  if (!call.read(arg, 1, h)) return nullptr;
  if (!call.hold_results(h)) return nullptr;
  Failure failure;
  bool interrupted = false;
  const bool ran = run_rows<CoreRobot>(
      batch.threads, *batch.workspaces, h, call.inputs[0].rows(), failure, interrupted,
      [&](Calculation<CoreRobot>& c, std::size_t i, Interrupt& stop, std::size_t& step) {
        return call.run(c, i, stop, step);  // no_step and no_rollout_step are the same value
      });
  call.release();
  if (!ran) return nullptr;
  if (interrupted) return core_error(errors::Interrupted{});
  if (failure.row.load() != static_cast<std::size_t>(-1)) return failure.raise(true);
  return call.returned();
}

template <class CoreRobot>
void dealloc_batch(PyObject* self) {
  BatchObject<CoreRobot>& batch = batch_of<CoreRobot>(self);
  delete batch.workspaces;
  Py_XDECREF(batch.handle);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

template <class CoreRobot>
PyObject* batch_threads(PyObject* self, void*) {
  return PyLong_FromSize_t(batch_of<CoreRobot>(self).threads);
}

// The batch rows, one per BATCHED entry of the method list: the text signature
// of the handle's method, then the prose.
#define VELKOR_NO_BATCH(name)
#define VELKOR_BATCH_TABLE_ROW(Entry, name, doc) VELKOR_METHOD_ROW(Entry, CoreRobot, name, doc),
template <class CoreRobot>
PyMethodDef batch_methods[] = {VELKOR_COMPUTING_METHODS(
    VELKOR_NO_BATCH, VELKOR_NO_BATCH, VELKOR_BATCH_TABLE_ROW){nullptr, nullptr, 0, nullptr}};
#undef VELKOR_BATCH_TABLE_ROW
#undef VELKOR_NO_BATCH

template <class CoreRobot>
PyGetSetDef batch_getset[] = {{"threads", entry<batch_threads<CoreRobot>>, nullptr,
                               "Number of native threads a call uses at most.", nullptr},
                              {nullptr, nullptr, nullptr, nullptr, nullptr}};

constexpr const char* batch_doc =
    "The array methods of a handle over many states at once (robot.batch()).\n\n"
    "Each method takes what the handle's method takes, with one state per row:\n"
    "joint arguments as (N, n) arrays (any array-like is converted), a\n"
    "FloatingRobot's base as an (N, 19) array in BaseState.from_array's layout or\n"
    "a sequence of N BaseState; target, loads, constraints, the keyword options\n"
    "and out as for single calls, applied to every row. Results are (N, K)\n"
    "float64 arrays, row i bit-identical to the single call on row i; out= takes\n"
    "a C-contiguous (N, K) float64 array (a tuple of them, each of its own K,\n"
    "where the method returns several arrays).\n"
    "Rows are split over up to `threads` native threads, each with its own\n"
    "workspace, the interpreter lock released once for the whole batch; the\n"
    "handle's lock and the hold registry protect a batch like any call, and\n"
    "Ctrl-C ends it (on the main thread) at the next row. A thread the system\n"
    "cannot start is no error: its rows run on the calling thread. When an out\n"
    "array is not NumPy's own memory (a memory map), inputs that are not either\n"
    "are copied first, so a written row never changes a later row's input.\n"
    "Errors: the first failing row raises\n"
    "the single call's error with \" (row i)\" added; out then holds the rows\n"
    "computed before the threads stopped, the others are unspecified. Cost: no\n"
    "allocation per row; one thread start per extra thread and call.";

template <class CoreRobot>
PyType_Slot batch_slots[] = {{Py_tp_doc, const_cast<char*>(batch_doc)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_batch<CoreRobot>)},
                             {Py_tp_methods, batch_methods<CoreRobot>},
                             {Py_tp_getset, batch_getset<CoreRobot>},
                             {0, nullptr}};

constexpr unsigned batch_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE |
                                 Py_TPFLAGS_DISALLOW_INSTANTIATION;
PyType_Spec robot_batch_spec = {"velkor.RobotBatch", sizeof(BatchObject<Robot>), 0, batch_flags,
                                batch_slots<Robot>};
PyType_Spec floating_batch_spec = {"velkor.FloatingRobotBatch", sizeof(BatchObject<FloatingRobot>), 0,
                                   batch_flags, batch_slots<FloatingRobot>};

PyTypeObject* robot_batch_type = nullptr;
PyTypeObject* floating_batch_type = nullptr;

}  // namespace

bool create_batch_types() {
  if (robot_batch_type == nullptr)
    robot_batch_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&robot_batch_spec));
  if (floating_batch_type == nullptr)
    floating_batch_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&floating_batch_spec));
  return robot_batch_type != nullptr && floating_batch_type != nullptr;
}

constexpr int max_batch_threads = 1024;

template <class CoreRobot>
PyObject* handle_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"threads"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".batch";
  static const Signature signature{function.c_str(), names, 1, 0};
  PyObject* arg[1] = {};
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  std::size_t threads =
      std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, max_batch_threads);
  if (arg[0] != nullptr && arg[0] != Py_None) {
    const auto count = count_argument(arg[0], "threads", 1, max_batch_threads);
    if (!count) return nullptr;
    threads = static_cast<std::size_t>(*count);
  }
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  auto workspaces = std::make_unique<std::vector<Calculation<CoreRobot>>>();
  if (!with_locked(h, [&](Calculation<CoreRobot>& c, DeferredError&) {
        workspaces->reserve(threads - 1);
        for (std::size_t t = 1; t < threads; ++t) workspaces->emplace_back(c.robot);
      }))
    return nullptr;
  PyTypeObject* type = is_floating<CoreRobot> ? floating_batch_type : robot_batch_type;
  auto* object = reinterpret_cast<BatchObject<CoreRobot>*>(type->tp_alloc(type, 0));
  if (object == nullptr) return nullptr;
  object->handle = Py_NewRef(self);
  object->threads = threads;
  object->workspaces = workspaces.release();
  return reinterpret_cast<PyObject*>(object);
}

template PyObject* handle_batch<Robot>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* handle_batch<FloatingRobot>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace velkor::py
