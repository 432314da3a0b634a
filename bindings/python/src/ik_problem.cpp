#include "ik_problem.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "batch_rows.hpp"
#include "computing_method.hpp"
#include "ik_tasks.hpp"
#include "robot/ik/whole_body_ik.hpp"

namespace velkor::py {
namespace {

// ---- the IkResult record ----

PyStructSequence_Field ik_result_fields[] = {
    {"converged", "True when every task error ended at most the tolerance"},
    {"iterations", "the iterations run (steps taken)"},
    {"task_errors", "a tuple of one float per task, in task order, at the solution"},
    {"limited", "True when a joint bound was active in the last step"},
    {"restarts", "the fresh starts the solve took (an int)"},
    {"out_of_time", "True when a restart was due after time_budget had run out"},
    {nullptr, nullptr},
};

PyStructSequence_Desc ik_result_desc = {
    "velkor.IkResult",
    "How a whole-body inverse-kinematics solve ended: IkResult(converged,\n"
    "iterations, task_errors, limited), a named tuple from IkProblem.solve and\n"
    "IkProblem.solve_many. converged: every task error is at most the tolerance;\n"
    "iterations: the steps taken; task_errors: one float per task in task order\n"
    "at the solution (a PoseTask's ‖S·e‖ in rad and m as its weights mix them, a\n"
    "CenterOfMassTask's distance in m, a ConstraintTask's largest row error);\n"
    "limited: a joint bound (position, or velocity with dt) was active in the\n"
    "last step, so a limit may have stopped progress where converged is False.\n"
    "Two more fields, by name only (not in the tuple): restarts, the fresh\n"
    "starts taken (an int), and out_of_time, True when a restart was due after\n"
    "time_budget had run out, so the solve ended there.",
    ik_result_fields,
    4,  // in the tuple; restarts and out_of_time by name only
};

// A new IkResult of `outcome` and the task errors.
PyObject* new_ik_result(const IkOutcome& outcome, std::span<const double> errors) {
  PyRef record = PyRef::steal(PyStructSequence_New(types().ik_result));
  if (!record) return nullptr;
  PyObject* fields[] = {PyBool_FromLong(outcome.converged),
                        PyLong_FromUnsignedLongLong(outcome.iterations),
                        float_tuple(errors.data(), static_cast<Py_ssize_t>(errors.size())),
                        PyBool_FromLong(outcome.limited),
                        PyLong_FromUnsignedLongLong(outcome.restarts),
                        PyBool_FromLong(outcome.out_of_time)};
  bool ok = true;
  for (Py_ssize_t f = 0; f < 6; ++f) {
    ok = ok && fields[f] != nullptr;
    PyStructSequence_SetItem(record.get(), f, fields[f] ? fields[f] : Py_NewRef(Py_None));
  }
  return ok ? record.release() : nullptr;
}

// ---- the IkProblem object ----

// The C++ side of an IkProblem: the checked problem, and what solve_many's
// rows on threads 1 .. T-1 use: a fork of the robot's calculation and a copy
// of the problem (its own solver scratch) each. The forks and copies are
// grown, never shrunk, and used under the robot handle's lock only, as is the
// problem itself (its solver scratch).
struct IkProblemState {
  explicit IkProblemState(IkProblem made) : problem(std::move(made)) {}
  IkProblem problem;
  std::vector<IkProblem> copies;
  std::vector<Calculation<Robot>> robot_forks;
  std::vector<Calculation<FloatingRobot>> floating_forks;

  template <class CoreRobot>
  std::vector<Calculation<CoreRobot>>& forks() {
    if constexpr (is_floating<CoreRobot>) return floating_forks;
    else return robot_forks;
  }
};

struct IkProblemObject {
  PyObject_HEAD PyObject* robot;  // the Robot or FloatingRobot it was made on (strong reference)
  PyObject* tasks;                // the tuple of task values it was made from
  IkProblemState* state;
};

IkProblemObject& problem_object(PyObject* self) { return *reinterpret_cast<IkProblemObject*>(self); }
const IkProblem& core_problem(PyObject* self) { return problem_object(self).state->problem; }

void ik_problem_dealloc(PyObject* self) {
  IkProblemObject& o = problem_object(self);
  delete o.state;
  Py_XDECREF(o.tasks);
  Py_XDECREF(o.robot);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- the arguments of the solves ----

// Doubles a call needs beside its arguments and results: on the stack up to a
// few hundred, else allocated once, before the handle is locked.
class Scratch {
 public:
  explicit Scratch(std::size_t size) {
    if (size > local_.size()) heap_.resize(size);
    data_ = size > local_.size() ? heap_.data() : local_.data();
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  // The next `count` values.
  std::span<double> take(std::size_t count) {
    const std::span<double> taken(data_ + used_, count);
    used_ += count;
    return taken;
  }

 private:
  std::array<double, 256> local_;
  std::vector<double> heap_;
  double* data_ = nullptr;
  std::size_t used_ = 0;
};

constexpr NumberOption tolerance_option{"tolerance", std::numeric_limits<double>::denorm_min(),
                                        infinite,    "a finite number above 0",
                                        1e-10,       "=1e-10"};

// ValueError "{name} must be {range}, got {value}" unless `value` is in the option's range.
bool option_in_range(const NumberOption& option, double value) {
  if (std::isfinite(value) && value >= option.low && value <= option.high) return true;
  PyRef shown = PyRef::steal(PyFloat_FromDouble(value));
  if (shown)
    PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", option.name, option.range, shown.get());
  return false;
}

// A count (count_argument) that is not a bool: True is no number of threads,
// restarts or seed. TypeError as count_argument's for another type.
std::optional<long long> count_option(PyObject* value, const char* name, long long low, long long high) {
  if (PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected None or an integer from %lld to %lld, got bool", name, low,
                 high);
    return std::nullopt;
  }
  return count_argument(value, name, low, high);
}

// What solve and solve_many do when not told otherwise: up to default_restarts
// fresh starts (seed 0) while the default time budget lasts, all within
// default_iterations steps.
constexpr std::uint64_t default_iterations = 500;
constexpr std::uint64_t default_restarts = 50;
constexpr double default_time_budget = 0.05;  // seconds
IkSolveOptions default_solve_options() {
  IkSolveOptions options;
  options.max_iterations = default_iterations;
  options.restarts = default_restarts;
  options.time_budget = default_time_budget;
  return options;
}

// max_iterations, tolerance and dt of a solve: their types first (read), then
// their values (check), in the order of every method's checks.
class SolveArguments {
 public:
  // `values`: max_iterations, tolerance, dt (nullptr where omitted).
  bool read(PyObject* const* values) {
    if (values[0] != nullptr && !read_iterations(values[0])) return false;
    if (values[1] != nullptr && !number_argument(values[1], "tolerance", options_.tolerance))
      return false;
    if (values[2] != nullptr && values[2] != Py_None) {
      double dt = 0.0;
      if (!number_argument(values[2], "dt", dt)) return false;
      options_.dt = dt;
    }
    return true;
  }
  // restarts, seed and time_budget (nullptr where omitted): integers from 0
  // (operator.index, not a bool), and None or seconds from 0. After read: a
  // step bounded by dt moves from where the robot is, so restarts, which jump
  // away from it, are 0 there unless asked for.
  bool read_restarts(PyObject* restarts, PyObject* seed, PyObject* budget) {
    constexpr long long most = std::numeric_limits<long long>::max();
    if (restarts != nullptr && restarts != Py_None) {
      const auto count = count_option(restarts, "restarts", 0, most);
      if (!count) return false;
      options_.restarts = static_cast<std::uint64_t>(*count);
    } else if (options_.dt) {
      options_.restarts = 0;
    }
    if (seed != nullptr && seed != Py_None) {
      const auto value = count_option(seed, "seed", 0, most);
      if (!value) return false;
      options_.seed = static_cast<std::uint64_t>(*value);
    }
    if (budget == nullptr) return true;
    if (budget == Py_None) {
      options_.time_budget.reset();
      return true;
    }
    double seconds = 0.0;
    if (PyBool_Check(budget)) {
      PyErr_SetString(PyExc_TypeError,
                      "argument 'time_budget': must be None or a real number, not bool");
      return false;
    }
    if (!number_argument(budget, "time_budget", seconds)) return false;
    budget_ = seconds;
    options_.time_budget = seconds;
    return true;
  }
  bool check() const {
    if (too_few_) {
      PyErr_Format(PyExc_ValueError, "max_iterations must be an integer, 1 or more, got %R",
                   given_.get());
      return false;
    }
    if (budget_ && !(*budget_ >= 0.0)) {  // NaN too; inf: no budget
      PyRef shown = PyRef::steal(PyFloat_FromDouble(*budget_));
      if (shown)
        PyErr_Format(PyExc_ValueError,
                     "time_budget must be None or a number of seconds, 0 or more, got %R", shown.get());
      return false;
    }
    return option_in_range(tolerance_option, options_.tolerance) &&
           (!options_.dt || option_in_range(step_option, *options_.dt));
  }
  // The name of the start in the errors of a start that is not a configuration.
  void name_start(Label name) { options_.start_name = name; }
  const IkSolveOptions& options() const { return options_; }
  std::optional<double> dt() const { return options_.dt; }

 private:
  // Any integer but a bool (operator.index); a count beyond 2⁶⁴ - 1 stands for
  // the most iterations there can be.
  bool read_iterations(PyObject* value) {
    given_ = PyRef::steal(PyBool_Check(value) ? nullptr : PyNumber_Index(value));
    if (!given_) {
      if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument 'max_iterations': expected an integer, got %s",
                   Py_TYPE(value)->tp_name);
      return false;
    }
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(given_.get(), &overflow);
    if (count == -1 && PyErr_Occurred()) return false;
    too_few_ = overflow < 0 || (overflow == 0 && count < 1);
    options_.max_iterations = overflow > 0 || too_few_ ? std::numeric_limits<std::uint64_t>::max()
                                                       : static_cast<std::uint64_t>(count);
    return true;
  }

  PyRef given_;  // max_iterations as an int, when given
  bool too_few_ = false;
  std::optional<double> budget_;  // time_budget as given
  IkSolveOptions options_ = default_solve_options();
};

// ValueError "expected {length} elements in {name}, found {size}" unless they agree.
bool has_length(const InputArray& vector, std::size_t length, const char* name) {
  if (vector.size() == length) return true;
  PyErr_Format(PyExc_ValueError, "expected %zu elements in %s, found %zu", length, name, vector.size());
  return false;
}

// A configuration of the problem's layout from a call's joints: a Robot's are
// the configuration; a FloatingRobot's follow the root link's world position
// and quaternion (x, y, z, w) from the base's frame, written into `into`.
template <class CoreRobot>
std::span<const double> configuration_of(const BaseState& base, std::span<const double> joints,
                                         std::span<double> into) {
  if constexpr (!is_floating<CoreRobot>) {
    return joints;
  } else {
    const Pose& frame = base.frame;
    const double pose[7] = {frame.translation.x(), frame.translation.y(), frame.translation.z(),
                            frame.rotation.x(),    frame.rotation.y(),    frame.rotation.z(),
                            frame.rotation.w()};
    std::copy_n(pose, 7, into.begin());
    std::copy(joints.begin(), joints.end(), into.begin() + 7);
    return into;
  }
}

// The SolverError NonFiniteResult naming `what` unless every value is finite.
std::expected<void, Error> finite_values(std::span<const double> values, Label what) {
  if (!all_finite(values)) return std::unexpected(errors::NonFiniteResult{what});
  return {};
}

// The arguments of a call that takes a FloatingRobot's base first: its
// parameter names, with "base" in front on a FloatingRobot.
template <class CoreRobot, std::size_t K>
struct Parameters {
  static constexpr Py_ssize_t lead = is_floating<CoreRobot> ? 1 : 0;
  explicit Parameters(const std::array<const char*, K>& own) {
    if (lead == 1) names[0] = "base";
    std::copy(own.begin(), own.end(), names.begin() + lead);
  }
  std::array<const char*, K + 1> names{};
};

// A solve's or a step's state: a FloatingRobot's leading base, then the joint
// vector `name`, held for reading. False with an exception set.
template <class CoreRobot>
bool read_state(PyObject* const* arg, const char* name, BaseState& base, InputArray& vector,
                Hold& held) {
  constexpr Py_ssize_t lead = Parameters<CoreRobot, 1>::lead;
  if constexpr (lead == 1) {
    auto state = base_state_argument(arg[0], "base");
    if (!state) return false;
    base = *state;
  }
  return vector.extract(arg[lead], name) && InputArray::hold({&vector, 1}, held);
}

// The call of a solve or a step: its K parameters (`own`, a FloatingRobot's
// "base" in front; the state required, the last `keyword_only` by keyword
// only) parsed into arg, then its state read into base and q (read_state).
template <class CoreRobot, std::size_t K>
struct StateCall {
  static constexpr Py_ssize_t lead = Parameters<CoreRobot, K>::lead;
  PyObject* arg[K + 1] = {};
  BaseState base;
  InputArray q;
  Hold held;

  // False with an exception set.
  bool read(const char* function, const std::array<const char*, K>& own, Py_ssize_t keyword_only,
            PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const Parameters<CoreRobot, K> p(own);
    const Signature signature{function, p.names.data(), K + lead, 1 + lead, keyword_only};
    return parse_arguments(signature, args, nargs, kwnames, arg) &&
           read_state<CoreRobot>(arg, own[0], base, q, held);
  }
};

// ---- solve ----

template <class CoreRobot>
PyObject* solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  StateCall<CoreRobot, 8> call;
  if (!call.read("IkProblem.solve",
                 {"q0", "max_iterations", "tolerance", "dt", "out", "restarts", "seed", "time_budget"},
                 7, args, nargs, kwnames))
    return nullptr;
  constexpr Py_ssize_t b = decltype(call)::lead;
  PyObject* const* arg = call.arg;
  const BaseState& base = call.base;
  const InputArray& q0 = call.q;
  SolveArguments options;
  PyObject* out = arg[b + 4];
  if (!options.read(arg + b + 1) || !OutputArray::check_type(out) ||
      !options.read_restarts(arg[b + 5], arg[b + 6], arg[b + 7]))
    return nullptr;
  IkProblemObject& o = problem_object(self);
  IkProblem& problem = o.state->problem;
  const std::size_t C = problem.configuration_count(), T = problem.tasks().size();
  const std::size_t n = C - Calculation<CoreRobot>::base_configuration;
  if (!has_length(q0, n, "q0") || !options.check()) return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(o.robot);
  Scratch scratch(T + C + (b == 1 ? C : 0));
  const std::span<double> errors = scratch.take(T), solution = scratch.take(C);
  const std::span<const double> start =
      configuration_of<CoreRobot>(base, q0.values(), b == 1 ? scratch.take(C) : std::span<double>());
  IkOutcome outcome;
  // Solves can be long (the iteration bound is the caller's): Ctrl-C ends them.
  Interrupt interrupt = signal_interrupt();
  PyRef q = PyRef::steal(array_method(
      h, out, n, {start},
      [&](Calculation<CoreRobot>& c, double* joints, const Inputs& in) -> std::expected<void, Error> {
        const auto done = problem.solve(c.model(), base_of(c, BaseState{}), c.workspace, in[0],
                                        options.options(), solution, errors, interrupt);
        if (!done) return std::unexpected(done.error());
        VELKOR_TRY(finite_values(solution, "solve"));
        outcome = *done;
        std::copy(solution.end() - static_cast<std::ptrdiff_t>(n), solution.end(), joints);
        return {};
      }));
  if (!q) return nullptr;
  PyRef result = PyRef::steal(new_ik_result(outcome, errors));
  if (!result) return nullptr;
  if constexpr (b == 0) {
    return PyTuple_Pack(2, q.get(), result.get());
  } else {
    const Pose frame{Quat(solution[6], solution[3], solution[4], solution[5]),
                     Vec3(solution[0], solution[1], solution[2])};
    PyRef pose = PyRef::steal(new_pose(frame));
    if (!pose) return nullptr;
    PyRef solved =
        PyRef::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(types().base_state), pose.get()));
    if (!solved) return nullptr;
    return PyTuple_Pack(3, solved.get(), q.get(), result.get());
  }
}

// ---- step_qp ----

// A new float64 array of the given shape (C order).
PyRef new_array(std::initializer_list<std::size_t> shape) {
  std::array<npy_intp, 2> dims{};
  std::size_t d = 0;
  for (const std::size_t extent : shape) dims[d++] = static_cast<npy_intp>(extent);
  return PyRef::steal(PyArray_SimpleNew(static_cast<int>(shape.size()), dims.data(), NPY_DOUBLE));
}

std::span<double> values_of(const PyRef& array) {
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  return {static_cast<double*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_SIZE(a))};
}

template <class CoreRobot>
PyObject* step_qp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  StateCall<CoreRobot, 2> call;
  if (!call.read("IkProblem.step_qp", {"q", "dt"}, 1, args, nargs, kwnames)) return nullptr;
  constexpr Py_ssize_t b = decltype(call)::lead;
  const BaseState& base = call.base;
  const InputArray& q = call.q;
  SolveArguments options;
  PyObject* given[3] = {nullptr, nullptr, call.arg[b + 1]};
  if (!options.read(given)) return nullptr;
  IkProblemObject& o = problem_object(self);
  IkProblem& problem = o.state->problem;
  const std::size_t C = problem.configuration_count(), N = problem.generalized_count(),
                    m = problem.equality_rows();
  if (!has_length(q, C - Calculation<CoreRobot>::base_configuration, "q") || !options.check())
    return nullptr;
  // H, g, A, b, lower, upper, step
  std::array<PyRef, 7> results = {new_array({N, N}), new_array({N}), new_array({m, N}), new_array({m}),
                                  new_array({N}),    new_array({N}), new_array({N})};
  for (const PyRef& r : results)
    if (!r) return nullptr;
  std::array<std::span<double>, 7> at;
  for (std::size_t i = 0; i < at.size(); ++i) at[i] = values_of(results[i]);
  Scratch scratch(b == 1 ? C : 0);
  const std::span<const double> c =
      configuration_of<CoreRobot>(base, q.values(), b == 1 ? scratch.take(C) : std::span<double>());
  Handle<CoreRobot>& h = handle_of<CoreRobot>(o.robot);
  if (!with_locked(h, [&](Calculation<CoreRobot>& calculation, DeferredError& error) {
        GilRelease released;
        const auto done = problem.step_qp(calculation.model(), base_of(calculation, BaseState{}),
                                          calculation.workspace, c, options.dt(), at[0], at[1], at[2],
                                          at[3], at[4], at[5], at[6]);
        if (!done) error.set(done.error());
      }))
    return nullptr;
  PyRef tuple = PyRef::steal(PyTuple_New(7));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < results.size(); ++i)
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), results[i].release());
  return tuple.release();
}

// ---- solve_many ----

constexpr long long max_solve_threads = 1024;

template <class CoreRobot>
PyObject* solve_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"starts",  "max_iterations", "tolerance", "dt",
                                      "threads", "restarts",       "seed",      "time_budget"};
  static constexpr Signature signature{"IkProblem.solve_many", names, 8, 1, 7};
  PyObject* arg[8] = {};
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  BatchInput starts;
  if (!starts.extract(arg[0], "starts")) return nullptr;
  SolveArguments options;
  if (!options.read(arg + 1)) return nullptr;
  std::size_t threads = 1;
  if (!options.read_restarts(arg[5], arg[6], arg[7])) return nullptr;
  options.name_start("starts");  // a row's errors name the rows, not solve's q0
  if (arg[4] != nullptr && arg[4] != Py_None) {
    const auto count = count_option(arg[4], "threads", 1, max_solve_threads);
    if (!count) return nullptr;
    threads = static_cast<std::size_t>(*count);
  }
  IkProblemObject& o = problem_object(self);
  IkProblemState& state = *o.state;
  const std::size_t C = state.problem.configuration_count(), T = state.problem.tasks().size();
  if (starts.dim(1) != C) {
    PyErr_Format(PyExc_ValueError, "expected %zu elements in each row of starts, found %zu", C,
                 starts.dim(1));
    return nullptr;
  }
  if (!options.check()) return nullptr;
  const std::size_t k = starts.rows();
  PyRef solutions = new_array({k, C});
  if (!solutions) return nullptr;
  const std::span<double> solved = values_of(solutions);
  std::vector<double> errors(k * T);
  std::vector<IkOutcome> outcomes(k);
  Hold reads;
  PyArrayObject* read[1] = {starts.array()};
  if (!reads.take_reads(read)) {
    PyErr_SetString(PyExc_ValueError, "The given array is already borrowed");
    return nullptr;
  }
  Handle<CoreRobot>& h = handle_of<CoreRobot>(o.robot);
  std::vector<Calculation<CoreRobot>>& forks = state.forks<CoreRobot>();
  // The forks and copies of the threads beyond the first, made on the handle's
  // robot; looked at under its lock only, which another call may hold.
  const std::size_t extra = std::min(threads, std::max<std::size_t>(k, 1)) - 1;
  if (!with_locked(h, [&](Calculation<CoreRobot>& c, DeferredError&) {
        if (forks.size() < extra) forks.reserve(extra);
        while (forks.size() < extra) forks.emplace_back(c.robot);
        if (state.copies.size() < extra) state.copies.reserve(extra);
        while (state.copies.size() < extra) state.copies.push_back(state.problem);
      }))
    return nullptr;
  Failure failure;
  bool interrupted = false;
  const bool ran = run_rows<CoreRobot>(
      threads, forks, h, k, failure, interrupted,
      [&](Calculation<CoreRobot>& c, std::size_t i, Interrupt& stop,
          std::size_t&) -> std::expected<void, Error> {
        // chunk 0 runs on the handle's calculation with the problem itself,
        // chunk t on fork t - 1 with copy t - 1
        const std::less<const Calculation<CoreRobot>*> before;
        const bool own = before(&c, forks.data()) || !before(&c, forks.data() + forks.size());
        IkProblem& problem = own ? state.problem
                                 : state.copies[static_cast<std::size_t>(&c - forks.data())];
        const std::span<double> out = solved.subspan(i * C, C);
        const auto done = problem.solve(c.model(), base_of(c, BaseState{}), c.workspace, starts.row(i),
                                        options.options(), out,
                                        std::span<double>(errors).subspan(i * T, T), stop);
        if (!done) return std::unexpected(done.error());
        outcomes[i] = *done;
        return finite_values(out, "solve_many");
      });
  reads.release();
  if (!ran) return nullptr;
  if (interrupted) return core_error(errors::Interrupted{});
  if (failure.row.load() != static_cast<std::size_t>(-1)) return failure.raise(true);
  PyRef results = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(k)));
  if (!results) return nullptr;
  for (std::size_t i = 0; i < k; ++i) {
    PyObject* record = new_ik_result(outcomes[i], std::span<const double>(errors).subspan(i * T, T));
    if (record == nullptr) return nullptr;
    PyList_SET_ITEM(results.get(), static_cast<Py_ssize_t>(i), record);
  }
  return PyTuple_Pack(2, solutions.get(), results.get());
}

// The entry of a method: the implementation of the problem's robot kind.
template <PyObject* (*Fixed)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*),
          PyObject* (*Floating)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* by_kind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return core_problem(self).floating() ? Floating(self, args, nargs, kwnames)
                                       : Fixed(self, args, nargs, kwnames);
}

// ---- attributes ----

PyObject* problem_tasks(PyObject* self, void*) { return Py_NewRef(problem_object(self).tasks); }

template <std::size_t (IkProblem::*Count)() const>
PyObject* problem_count(PyObject* self, void*) {
  return PyLong_FromSize_t((core_problem(self).*Count)());
}

PyObject* problem_task_count(PyObject* self, void*) {
  return PyLong_FromSize_t(core_problem(self).tasks().size());
}

template <double IkProblemOptions::* Field>
PyObject* problem_setting(PyObject* self, void*) {
  return PyFloat_FromDouble(core_problem(self).settings().*Field);
}

// <velkor.IkProblem of 2 tasks (N=13, C=14, 6 equality rows) on <velkor.FloatingRobot ...>>
PyObject* problem_repr(PyObject* self) {
  const IkProblem& p = core_problem(self);
  const std::size_t T = p.tasks().size(), m = p.equality_rows();
  return PyUnicode_FromFormat("<%s of %zu task%s (N=%zu, C=%zu, %zu equality row%s) on %R>",
                              Py_TYPE(self)->tp_name, T, T == 1 ? "" : "s", p.generalized_count(),
                              p.configuration_count(), m, m == 1 ? "" : "s", problem_object(self).robot);
}

#define VELKOR_IK_SOLVE_OPTIONS                                                     \
  "max_iterations: an integer, 1 or more; tolerance: a finite number above 0\n"     \
  "(the task errors' rad and m); dt: None, or a finite number of seconds above 0\n" \
  "that bounds each step's joint motion by dt·velocity_limits; a joint whose\n"     \
  "velocity limit is 0 (the URDF gives none: velocity_limits reads 0) has no\n"     \
  "velocity bound.\n"

#define VELKOR_IK_OPTION_ERRORS                                                    \
  "max_iterations (\"max_iterations must be an integer, 1 or more, got 0\"),\n"    \
  "tolerance (\"tolerance must be a finite number above 0, got 0.0\"), dt (\"dt\n" \
  "must be a finite number above 0, got -1.0\")"

PyMethodDef problem_methods[] = {
    {"solve", fastcall_entry<by_kind<solve<Robot>, solve<FloatingRobot>>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "solve($self, *args, max_iterations=500, tolerance=1e-10, dt=None, out=None, restarts=50, seed=0, time_budget=0.05)\n--\n\n"
     "A Robot's problem: solve(q0, ...) -> (q, result). A FloatingRobot's:\n"
     "solve(base, q0, ...) -> (base, q, result). The options are keyword-only.\n\n"
     "Runs the problem's iterations from q0, the n joint positions (rad or m, DOF\n"
     "order), on a FloatingRobot from the configuration [p, quaternion x, y, z,\n"
     "w, q0] of base.frame, the root link's world pose (base's velocities are\n"
     "not read); joints outside their position limits are first clamped into\n"
     "them. A Robot's base frame (set_base_frame) places it in the world the\n"
     "targets are given in. The solve converges when every task error is at\n"
     "most tolerance; it stops without converging when a step is below\n"
     "tolerance or after max_iterations (steps in all). An unreachable target is\n"
     "no error: of the configurations met whose contacts hold to tolerance, the\n"
     "one with the lowest task cost is returned (the smallest contact miss when\n"
     "none holds), with\n"
     "result.converged False.\n\n"
     "restarts (an integer from 0; 50 by default, 0 when dt is given, since a\n"
     "velocity-bounded step moves from where the robot is): fresh starts allowed\n"
     "when the solve stalls (the task cost not a tenth lower in 10 steps, or a\n"
     "step below tolerance) before it converges, each from joint positions drawn\n"
     "uniformly within their limits (within ±π of 0 where a limit is wider) by a\n"
     "generator seeded with seed (an integer from 0, 0 by default), the base where\n"
     "the solve started; restart k's draws depend on seed and k alone. time_budget\n"
     "(None, or seconds from 0; 0.05 by default): no restart begins once that long\n"
     "has passed since the solve began (the clock is read only when a restart is\n"
     "due; the attempt under way runs to its end, and a stalled one then ends the\n"
     "solve). So by default a solve from q0 is the local solve first, then up to\n"
     "50 restarts while 50 ms last, all within 500 steps (max_iterations): for a\n"
     "given seed the result depends on the clock only through how many restarts\n"
     "ran (result.restarts; result.out_of_time says the budget stopped them).\n"
     "time_budget=None makes it depend on nothing but the arguments; restarts=0 is\n"
     "the purely local solve a control loop wants (the solution nearest to q0),\n"
     "and restarts=0, max_iterations=100 what solve did by default before it\n"
     "restarted.\n" VELKOR_IK_SOLVE_OPTIONS
     "Returns q, the n solved joint positions (out when given: a writeable\n"
     "float64 array of n values, else a new array), on a FloatingRobot after the\n"
     "solved base, a velkor.BaseState whose frame is the root link's solved world\n"
     "pose (velocity and acceleration zero), and result, a velkor.IkResult\n"
     "(converged, iterations, task_errors: one float per task, limited: a joint\n"
     "bound was active in the last step; by name only, restarts and\n"
     "out_of_time).\n\n"
     "On a robot loaded with mimic='couple', q0 and q are its free coordinates\n"
     "(the joints that follow their leaders move with them), and each free\n"
     "joint's bounds are its own limits intersected with the limits of the\n"
     "joints that follow it, mapped through their couplings, so no joint, leader\n"
     "or follower, leaves its limits.\n\n"
     "Raises SolverError when the contact rows cannot be met or the solution is\n"
     "not finite; ValueError for q0 (\"expected n elements in q0, found m\",\n"
     "non-finite values), base, " VELKOR_IK_OPTION_ERRORS ", restarts and seed\n"
     "(\"restarts must be between 0 and ...\"), time_budget (\"time_budget must be\n"
     "None or a number of seconds, 0 or more, got -1.0\"), out (\"out must\n"
     "contain exactly n elements\"); TypeError for wrong types (a bool for\n"
     "restarts, seed or time_budget among them); RuntimeError\n"
     "\"robot is closed\"; PanicError on an internal fault. out is written only on\n"
     "success. On the main thread signal handlers run every 5 ms; one that raises\n"
     "(Ctrl-C) ends the solve with its exception. Cost: per iteration the tasks'\n"
     "Jacobians, the QP's assembly O(N²·T) and its solve O(N³); holds the robot\n"
     "handle's lock, releases the interpreter lock while computing; nothing is\n"
     "allocated inside the iterations, only the result objects (and q unless\n"
     "out= is given)."},
    {"step_qp", fastcall_entry<by_kind<step_qp<Robot>, step_qp<FloatingRobot>>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "step_qp($self, *args, dt=None)\n--\n\n"
     "A Robot's problem: step_qp(q, dt=None). A FloatingRobot's: step_qp(base, q,\n"
     "dt=None). dt is keyword-only.\n\n"
     "The QP of one iteration at the configuration q (n joint positions; on a\n"
     "FloatingRobot after base.frame's position and quaternion), for checking\n"
     "each iteration against other QP solvers: a tuple (H, g, A, b, lower, upper,\n"
     "step) of new float64 arrays for\n\n"
     "    minimise ½·Δvᵀ·H·Δv + gᵀ·Δv  subject to  A·Δv = b, lower ≤ Δv ≤ upper\n\n"
     "in the tangent step Δv (N = generalized_count values: a free base's 6\n"
     "first, angular then linear, world axes, then the joints). H is (N, N) and A\n"
     "(m, N), m = equality_rows (the ConstraintTask rows in task order), both\n"
     "two-dimensional C-order arrays; g, b, lower, upper and step are\n"
     "one-dimensional, lower and upper -inf and inf where there is no bound (the\n"
     "base's); step is the Δv the solver takes. dt as for solve.\n\n"
     "Raises SolverError when the contact rows cannot be met; ValueError for q\n"
     "(\"expected n elements in q, found m\", non-finite values), base, dt (\"dt\n"
     "must be a finite number above 0, got -1.0\"); TypeError for wrong types;\n"
     "RuntimeError \"robot is closed\"; PanicError on an internal fault. Cost: one\n"
     "iteration's assembly and QP solve; holds the robot handle's lock, releases\n"
     "the interpreter lock while computing; allocates the seven arrays and an m·N\n"
     "scratch."},
    {"solve_many", fastcall_entry<by_kind<solve_many<Robot>, solve_many<FloatingRobot>>>(),
     METH_FASTCALL | METH_KEYWORDS,
     "solve_many($self, starts, *, max_iterations=500, tolerance=1e-10, dt=None, threads=1, restarts=50, seed=0, time_budget=0.05)\n--\n\n"
     "solve from each row of starts, a two-dimensional array (any array-like is\n"
     "converted) of k configurations of C = configuration_count values: a\n"
     "Robot's n joint positions, a FloatingRobot's root-link world position (m),\n"
     "orientation quaternion (x, y, z, w) and n joint positions. Returns\n"
     "(solutions, results): a new (k, C) float64 array of the solved\n"
     "configurations in the same layout, row i what solve gives from row i, and\n"
     "a list of k velkor.IkResult. max_iterations, tolerance, dt, restarts, seed\n"
     "and time_budget as for solve, the same for every row (each row's budget\n"
     "runs from its own start). threads (1 to 1024, not a bool): the rows are split\n"
     "over that many native threads, each on a fork of the robot handle's\n"
     "calculation (with its settings) and a copy of the problem, made the first\n"
     "time a thread count needs them and kept; the interpreter lock is released\n"
     "once for all rows, and Ctrl-C (on the main thread) ends the call within an\n"
     "iteration.\n\n"
     "Raises the first failing row's error with \" (row i)\" added; TypeError when\n"
     "starts is not two-dimensional (\"argument 'starts': expected a\n"
     "two-dimensional array, one state per row, ...\") or threads not an integer;\n"
     "ValueError for rows of another length (\"expected C elements in each row of\n"
     "starts, found k\"), a row with non-finite values (\"starts contains a\n"
     "non-finite value (row 1)\"), " VELKOR_IK_OPTION_ERRORS ", restarts, seed,\n"
     "time_budget as for solve, threads outside 1..1024 (\"threads must be\n"
     "between 1 and 1024, got 0\"); TypeError for threads=True;\n"
     "RuntimeError \"robot is closed\"; PanicError on an internal fault. Cost: k\n"
     "solves; allocates the results and the rows' task errors; nothing inside\n"
     "the iterations."},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($cls, item, /)\n--\n\n"
     "IkProblem[Robot] and IkProblem[FloatingRobot], the annotations of the\n"
     "problems of each handle kind (a types.GenericAlias)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef problem_getset[] = {
    {"tasks", entry<problem_tasks>, nullptr,
     "The tuple of task values (velkor.PoseTask, velkor.CenterOfMassTask,\n"
     "velkor.ConstraintTask) the problem was made from, in task order.",
     nullptr},
    {"task_count", entry<problem_task_count>, nullptr,
     "T, the number of tasks: the length of an IkResult's task_errors.", nullptr},
    {"generalized_count", entry<problem_count<&IkProblem::generalized_count>>, nullptr,
     "N, the length of the tangent step Δv: a FloatingRobot's 6 base coordinates\n"
     "(angular, then linear, world axes), then the n joints.",
     nullptr},
    {"configuration_count", entry<problem_count<&IkProblem::configuration_count>>, nullptr,
     "C, the length of a configuration (a row of solve_many): n joint positions,\n"
     "or a FloatingRobot's 7 + n (root-link world position, quaternion x, y, z,\n"
     "w, then the joints).",
     nullptr},
    {"equality_rows", entry<problem_count<&IkProblem::equality_rows>>, nullptr,
     "m, the rows the ConstraintTasks hold exactly: the rows of step_qp's A.", nullptr},
    {"damping", entry<problem_setting<&IkProblemOptions::damping>>, nullptr,
     "λ, added to each step's cost as λ·‖Δv‖² (a float).", nullptr},
    {"posture_weight", entry<problem_setting<&IkProblemOptions::posture_weight>>, nullptr,
     "w_p, the weight that draws the joints to the posture (a float; 0.0 without\n"
     "a posture).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot problem_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("A whole-body inverse-kinematics problem made by robot.ik_problem(tasks,\n"
                       "...): its tasks, damping and posture, checked against one robot handle.\n"
                       "solve() runs the iterations from a start, step_qp() gives the QP of one\n"
                       "iteration, solve_many() solves from many starts on native threads.\n\n"
                       "A configuration holds C = configuration_count values: a Robot's n joint\n"
                       "positions (DOF order); a FloatingRobot's root-link world position (m),\n"
                       "orientation quaternion (x, y, z, w) and n joint positions. A step holds\n"
                       "N = generalized_count values: a free base's angular then linear\n"
                       "coordinates (world axes), then the joints. Targets are in world axes,\n"
                       "metres and radians.\n\n"
                       "The problem keeps its robot handle alive and computes on it: every call\n"
                       "locks the handle as a computing call does (RuntimeError \"robot is\n"
                       "closed\" after robot.close(), PanicError on a poisoned handle), uses its\n"
                       "workspace and settings and releases the interpreter lock while computing.\n"
                       "Not instantiable directly; does not pickle or copy (make it again with\n"
                       "robot.ik_problem()).\n\n"
                       "Options and failures read as Robot.inverse_kinematics's (IkOptions):\n"
                       "max_iterations and damping under those names, a bad option a ValueError\n"
                       "\"invalid inverse-kinematics option NAME: ...\", a solver that cannot go\n"
                       "on a SolverError naming the iteration or the task. Unlike it, this solver\n"
                       "never leaves the joint limits, and an unconverged solve is no error:\n"
                       "result.converged is False.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(ik_problem_dealloc)},
    {Py_tp_methods, problem_methods},
    {Py_tp_getset, problem_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<problem_repr>)},
    {0, nullptr},
};
PyType_Spec problem_spec = {
    "velkor.IkProblem", sizeof(IkProblemObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, problem_slots};

// ---- robot.ik_problem ----

PyObject* new_problem_object(PyObject* robot, PyRef tasks, IkProblem problem) {
  PyTypeObject* type = types().ik_problem;
  auto state = std::make_unique<IkProblemState>(std::move(problem));
  auto* self = reinterpret_cast<IkProblemObject*>(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->robot = Py_NewRef(robot);
  self->tasks = tasks.release();
  self->state = state.release();
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace

bool create_ik_problem_types() {
  Types& t = types();
  if (t.ik_problem == nullptr)
    t.ik_problem = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&problem_spec));
  if (t.ik_result == nullptr) t.ik_result = PyStructSequence_NewType(&ik_result_desc);
  return t.ik_problem != nullptr && t.ik_result != nullptr;
}

template <class CoreRobot>
PyObject* handle_ik_problem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"tasks", "damping", "posture", "posture_weight"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".ik_problem";
  static const Signature signature{function.c_str(), names, 4, 1, 3};
  PyObject* arg[4];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  PyRef tasks = ik_task_tuple(arg[0]);
  if (!tasks) return nullptr;
  IkProblemOptions settings;
  if (arg[1] != nullptr && !number_argument(arg[1], "damping", settings.damping)) return nullptr;
  InputArray posture;
  Hold held;
  const bool has_posture = arg[2] != nullptr && arg[2] != Py_None;
  if (has_posture && (!posture.extract(arg[2], "posture") || !InputArray::hold({&posture, 1}, held)))
    return nullptr;
  if (arg[3] != nullptr && !number_argument(arg[3], "posture_weight", settings.posture_weight))
    return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  if (has_posture) {
    if (!has_length(posture, h.configuration_count, "posture")) return nullptr;
    settings.posture.assign(posture.values().begin(), posture.values().end());
  }
  held.release();
  std::vector<IkTask> core_tasks(static_cast<std::size_t>(PyTuple_GET_SIZE(tasks.get())));
  for (std::size_t i = 0; i < core_tasks.size(); ++i) {
    const auto at = static_cast<Py_ssize_t>(i);
    if (!core_ik_task(PyTuple_GET_ITEM(tasks.get(), at), at, *h.link_table, core_tasks[i]))
      return nullptr;
  }
  std::optional<IkProblem> problem;
  if (!with_locked(h, [&](Calculation<CoreRobot>& c, DeferredError& error) {
        auto made = IkProblem::make(c.model(), is_floating<CoreRobot>, std::move(core_tasks),
                                    std::move(settings));
        if (made) problem.emplace(std::move(*made));
        else error.set(std::move(made.error()));
      }))
    return nullptr;
  return new_problem_object(self, std::move(tasks), std::move(*problem));
}

template PyObject* handle_ik_problem<Robot>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* handle_ik_problem<FloatingRobot>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace velkor::py
