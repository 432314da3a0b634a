// What Robot and FloatingRobot handles share: loading, fork, close, the context
// manager, the cached properties, link ids and `target` resolution, and the
// computing-method skeleton every computing method reuses.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "calculation.hpp"
#include "errors.hpp"
#include "model_info.hpp"
#include "py_ref.hpp"
#include "robot/coupling.hpp"
#include "robot/link_id.hpp"
#include "types.hpp"

namespace velkor::py {

using LinkTable = std::vector<LinkId>;

template <class CoreRobot>
struct HandleTraits;

// The import choices of the constructors, given as keyword-only arguments.
struct LoadOptions {
  ImportOptions import;
  MasslessRoot massless_root = MasslessRoot::Reject;
};

// mimic=, for FloatingRobot massless_root=, and inertia_tolerance= (nullptr: not
// given); false with TypeError or ValueError set.
bool load_options(PyObject* mimic, PyObject* massless_root, PyObject* inertia_tolerance,
                  LoadOptions& options);

template <>
struct HandleTraits<Robot> {
  static constexpr const char* class_name = "Robot";
  static constexpr std::size_t base_dofs = 0;
  static constexpr std::size_t base_configuration = 0;  // configuration values of the base
  static constexpr Py_ssize_t option_count = 2;  // mimic, inertia_tolerance
  static PyTypeObject* type() { return types().robot; }
  static std::expected<Robot, Error> make(RobotModel model, const LoadOptions&) {
    return Robot(std::move(model));
  }
};

template <>
struct HandleTraits<FloatingRobot> {
  static constexpr const char* class_name = "FloatingRobot";
  static constexpr std::size_t base_dofs = 6;
  static constexpr std::size_t base_configuration = 7;  // position, quaternion x, y, z, w
  static constexpr Py_ssize_t option_count = 3;  // mimic, massless_root, inertia_tolerance
  static PyTypeObject* type() { return types().floating_robot; }
  static std::expected<FloatingRobot, Error> make(RobotModel model, const LoadOptions& options) {
    return FloatingRobot::create(std::move(model), options.massless_root);
  }
};

// Fields fixed at construction, plus the locked calculation slot.
template <class CoreRobot>
struct Handle {
  Handle(std::string robot_name, std::shared_ptr<const LinkTable> links, std::size_t dofs,
         Calculation<CoreRobot> calculation, const LoadOptions& load_options)
      : name(std::move(robot_name)),
        link_table(std::move(links)),
        dof_count(dofs),
        generalized_count(dofs + HandleTraits<CoreRobot>::base_dofs),
        configuration_count(dofs + HandleTraits<CoreRobot>::base_configuration),
        link_count(link_table->size()),
        options(load_options),
        slot(std::move(calculation)) {}

  const std::string name;
  const std::shared_ptr<const LinkTable> link_table;  // shared with forks
  const std::size_t dof_count;  // n; Python calls it joint_count
  const std::size_t generalized_count;  // N
  const std::size_t configuration_count;  // C: Python's configuration_size
  const std::size_t link_count;
  const LoadOptions options;  // as loaded: pickling loads the same way
  CalculationSlot<CoreRobot> slot;
};

template <class CoreRobot>
struct HandleObject {
  PyObject_HEAD Handle<CoreRobot>* handle;
};

template <class CoreRobot>
Handle<CoreRobot>& handle_of(PyObject* self) {
  return *reinterpret_cast<HandleObject<CoreRobot>*>(self)->handle;
}

// The lock-held part of a method that needs no output array. Locks the handle, runs
// `body(Calculation<CoreRobot>&, DeferredError&)` inside deferred_panic_guard, releases the
// lock, then raises what was recorded.
// - The body returns nothing. It records a failure with error.set(...) and returns; it never
//   raises a Python exception itself (raising can run finalizers that re-enter the locked
//   handle, see DeferredError). Results go out through variables it captures by reference.
// - Returns true when the body ran to its end with nothing recorded, so its results are set.
// - Returns false with a Python exception set when the lock was refused (closed, poisoned, or
//   held by this thread), when the body recorded an error, or when it threw (PanicError, or
//   MemoryError for bad_alloc; the handle is not poisoned). Callers return their failure
//   value then, and build any Python result only after a true return:
//     std::optional<T> value;
//     if (!with_locked(h, [&](Calculation<CoreRobot>& c, DeferredError&) { value.emplace(...); }))
//       return nullptr;
//     return build(std::move(*value));
template <class CoreRobot, class Body>
bool with_locked(Handle<CoreRobot>& h, Body&& body) {
  DeferredError error;
  {
    auto guard = h.slot.lock(false);  // nothing unwinds through it: the body is guarded
    if (!guard) return false;
    deferred_panic_guard(error, [&] {
      body(guard.calculation(), error);
      return true;
    });
  }
  if (!error.is_set()) return true;
  error.raise();
  return false;
}

// ---- helpers implemented in handle.cpp ----

// `path`: str or os.PathLike giving str, encoded with the file-system encoding.
std::optional<std::string> path_argument(PyObject* value);
// A link id argument (`target`, or a load's link id) as an unsigned integer:
// TypeError naming the argument for a bool or a non-integer; ValueError
// "invalid link id {id}" when negative or too large for any robot.
std::optional<unsigned long long> link_index_argument(PyObject* value, const char* name);
// Resolves a link id against the handle's table: ValueError "invalid link id {id}".
std::optional<LinkId> target_link(const LinkTable& table, unsigned long long id);

template <class CoreRobot>
PyObject* new_handle_object(PyTypeObject* type, std::unique_ptr<Handle<CoreRobot>> handle) {
  auto* object = reinterpret_cast<HandleObject<CoreRobot>*>(type->tp_alloc(type, 0));
  if (object == nullptr) return nullptr;
  object->handle = handle.release();
  return reinterpret_cast<PyObject*>(object);
}

template <class CoreRobot>
void dealloc_handle(PyObject* self) {
  delete reinterpret_cast<HandleObject<CoreRobot>*>(self)->handle;
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Where a description comes from: a file's path, or the document itself.
enum class Source { File, Text };

// Construction: import, floating-base check, workspace, robot value, link table.
// Runs without the interpreter lock, polling for signals (see signal_interrupt).
template <class CoreRobot>
std::expected<std::unique_ptr<Handle<CoreRobot>>, Error> build_handle(Source source,
                                                                      const std::string& input,
                                                                      Interrupt& interrupt,
                                                                      const LoadOptions& options) {
  auto model = source == Source::File ? RobotModel::from_urdf(input, interrupt, options.import)
                                      : RobotModel::from_urdf_string(input, interrupt, options.import);
  if (!model) return std::unexpected(std::move(model.error()));
  auto robot = HandleTraits<CoreRobot>::make(*model, options);
  if (!robot) return std::unexpected(std::move(robot.error()));
  const Model& m = model->model();
  auto table = std::make_shared<LinkTable>();
  table->reserve(m.link_count());
  for (std::size_t i = 0; i < m.link_count(); ++i) table->push_back(LinkId{m.id, i});
  return std::make_unique<Handle<CoreRobot>>(m.name, std::move(table), coordinate_count(m),
                                             Calculation<CoreRobot>(std::move(*robot)), options);
}

// `xml`: a str, encoded as UTF-8 (lone surrogates pass through, so the reader
// refuses them as invalid UTF-8 the way it refuses such a file).
std::optional<std::string> xml_argument(PyObject* value);

// Reading and building can take long (large files, FIFOs), so other threads run
// meanwhile. `arg` holds the source argument, then the options in the order of
// load_signature.
template <class CoreRobot>
PyObject* load_handle(PyTypeObject* type, Source source, PyObject* const* arg) {
  const auto input = source == Source::File ? path_argument(arg[0]) : xml_argument(arg[0]);
  if (!input) return nullptr;
  LoadOptions options;
  constexpr Py_ssize_t last = HandleTraits<CoreRobot>::option_count;
  if (!load_options(arg[1], last > 2 ? arg[2] : nullptr, arg[last], options)) return nullptr;
  Interrupt interrupt = signal_interrupt();
  std::expected<std::unique_ptr<Handle<CoreRobot>>, Error> handle;
  {
    GilRelease released;
    handle = build_handle<CoreRobot>(source, *input, interrupt, options);
  }
  if (!handle) return core_error(handle.error());
  return new_handle_object(type, std::move(*handle));
}

// The parameters of the loading functions: the source, then the keyword-only options.
template <class CoreRobot>
Signature load_signature(const char* function, const char* source) {
  static const char* const path_names[] = {"path", "mimic", "massless_root", "inertia_tolerance"};
  static const char* const xml_names[] = {"xml", "mimic", "massless_root", "inertia_tolerance"};
  static const char* const fixed_path_names[] = {"path", "mimic", "inertia_tolerance"};
  static const char* const fixed_xml_names[] = {"xml", "mimic", "inertia_tolerance"};
  constexpr Py_ssize_t options = HandleTraits<CoreRobot>::option_count;
  constexpr bool floating = options > 2;
  const bool xml = std::string_view(source) == "xml";
  const char* const* names = floating ? (xml ? xml_names : path_names)
                                      : (xml ? fixed_xml_names : fixed_path_names);
  return Signature{function, names, 1 + options, 1, options};
}

template <class CoreRobot>
PyObject* handle_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const Signature signature =
      load_signature<CoreRobot>(HandleTraits<CoreRobot>::class_name, "path");
  PyObject* arg[4] = {};
  if (!parse_arguments(signature, args, kwargs, arg)) return nullptr;
  return load_handle<CoreRobot>(type, Source::File, arg);
}

template <class CoreRobot>
PyObject* handle_from_urdf(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".from_urdf";
  static const Signature signature = load_signature<CoreRobot>(function.c_str(), "path");
  PyObject* arg[4] = {};
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  return load_handle<CoreRobot>(reinterpret_cast<PyTypeObject*>(cls), Source::File, arg);
}

template <class CoreRobot>
PyObject* handle_from_urdf_string(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) +
                                      ".from_urdf_string";
  static const Signature signature = load_signature<CoreRobot>(function.c_str(), "xml");
  PyObject* arg[4] = {};
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  return load_handle<CoreRobot>(reinterpret_cast<PyTypeObject*>(cls), Source::Text, arg);
}

template <class CoreRobot>
PyObject* handle_fork(PyObject* self, PyObject*) {
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  std::unique_ptr<Handle<CoreRobot>> forked;
  const bool ok = with_locked(h, [&](Calculation<CoreRobot>& calculation, DeferredError&) {
    // A fresh workspace on the shared model; a Robot keeps its base frame.
    forked = std::make_unique<Handle<CoreRobot>>(h.name, h.link_table, h.dof_count,
                                                 Calculation<CoreRobot>(calculation.robot), h.options);
  });
  if (!ok) return nullptr;
  return new_handle_object(Py_TYPE(self), std::move(forked));
}

template <class CoreRobot>
PyObject* handle_close(PyObject* self, PyObject*) {
  if (!handle_of<CoreRobot>(self).slot.close()) return nullptr;
  Py_RETURN_NONE;
}

template <class CoreRobot>
PyObject* handle_enter(PyObject* self, PyObject*) {
  if (!handle_of<CoreRobot>(self).slot.lock()) return nullptr;
  return Py_NewRef(self);
}

template <class CoreRobot>
PyObject* handle_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"_exc_type", "_exc_value", "_traceback"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".__exit__";
  static const Signature signature{function.c_str(), names, 3, 3};
  PyObject* arg[3];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  return handle_close<CoreRobot>(self, nullptr);
}

// Properties lock only to report a closed or poisoned handle.
template <class CoreRobot, const std::size_t Handle<CoreRobot>::* Count>
PyObject* handle_count(PyObject* self, void*) {
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  if (!h.slot.lock()) return nullptr;
  return PyLong_FromSize_t(h.*Count);
}

template <class CoreRobot>
PyObject* handle_name(PyObject* self, void*) {
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  if (!h.slot.lock()) return nullptr;
  return PyUnicode_FromStringAndSize(h.name.data(), static_cast<Py_ssize_t>(h.name.size()));
}

template <class CoreRobot>
PyObject* handle_link_id(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".link_id";
  static const Signature signature{function.c_str(), names, 1, 1};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  if (!PyUnicode_Check(arg[0])) {
    PyErr_Format(PyExc_TypeError, "argument 'name': expected str, got %s", Py_TYPE(arg[0])->tp_name);
    return nullptr;
  }
  // Lone surrogates pass through as their UTF-8 forms: no link name is made of
  // them, so such a name gets the ordinary "does not exist" error.
  PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(arg[0], "utf-8", "surrogatepass"));
  if (!encoded) return nullptr;
  const char* text = PyBytes_AS_STRING(encoded.get());
  const Py_ssize_t size = PyBytes_GET_SIZE(encoded.get());
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  std::size_t position = 0;
  std::shared_ptr<const Model> unknown;  // set when no link has the name
  const bool ok = with_locked(h, [&](Calculation<CoreRobot>& calculation, DeferredError& error) {
    const Model& model = calculation.model();
    const auto index = model.find_link(std::string_view(text, static_cast<std::size_t>(size)));
    if (!index) {
      error.set(index.error());
      if (index.error().template is<errors::UnknownLink>())
        unknown = calculation.robot.robot_model().shared();
      return;
    }
    const LinkTable& table = *h.link_table;
    const auto found = std::find(table.begin(), table.end(), LinkId{model.id, *index});
    if (found == table.end()) {
      error.set(PyExc_ValueError, "link does not belong to this robot");
      return;
    }
    position = static_cast<std::size_t>(found - table.begin());
  });
  if (!ok) {
    if (unknown) suggest_link_names(*unknown, arg[0]);
    return nullptr;
  }
  return PyLong_FromSize_t(position);
}

// ---- the model, described ----

// The handle's model, once the handle is known to be open (the lock is released
// before any Python object is built); nullptr with the closed or poisoned error set.
template <class CoreRobot>
std::shared_ptr<const Model> open_model(Handle<CoreRobot>& h) {
  auto guard = h.slot.lock();
  if (!guard) return nullptr;
  return guard.calculation().robot.robot_model().shared();
}

template <class CoreRobot, PyObject* (*Describe)(const Model&)>
PyObject* handle_model_property(PyObject* self, void*) {
  const auto model = open_model(handle_of<CoreRobot>(self));
  return model ? Describe(*model) : nullptr;
}

template <Limit Which>
PyObject* limits_of(const Model& model) {
  return limits(model, Which);
}

template <class CoreRobot>
PyObject* handle_dof_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"name"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".dof_index";
  static const Signature signature{function.c_str(), names, 1, 1};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const auto model = open_model(handle_of<CoreRobot>(self));
  return model ? dof_index(*model, arg[0]) : nullptr;
}

template <class CoreRobot>
PyObject* handle_dof_order(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"names", "inverse"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".dof_order";
  static const Signature signature{function.c_str(), names, 2, 1, 1};
  PyObject* arg[2];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const int inverse = arg[1] != nullptr ? PyObject_IsTrue(arg[1]) : 0;
  if (inverse < 0) return nullptr;
  const auto model = open_model(handle_of<CoreRobot>(self));
  return model ? dof_order(*model, arg[0], inverse != 0) : nullptr;
}

template <class CoreRobot>
PyObject* handle_joint_vector(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static const char* const names[] = {"mapping", "default"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".joint_vector";
  static const Signature signature{function.c_str(), names, 2, 1};
  PyObject* arg[2];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const auto model = open_model(handle_of<CoreRobot>(self));
  return model ? joint_vector(*model, arg[0], arg[1]) : nullptr;
}

template <class CoreRobot>
PyObject* handle_joint_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"q"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) + ".joint_dict";
  static const Signature signature{function.c_str(), names, 1, 1};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const auto model = open_model(handle_of<CoreRobot>(self));
  return model ? joint_dict(*model, arg[0]) : nullptr;
}

template <class CoreRobot>
PyObject* handle_neutral_configuration(PyObject* self, PyObject*) {
  const auto model = open_model(handle_of<CoreRobot>(self));
  return model ? neutral_configuration(*model) : nullptr;
}

template <class CoreRobot>
PyObject* handle_random_configuration(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  static const char* const names[] = {"rng"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) +
                                      ".random_configuration";
  static const Signature signature{function.c_str(), names, 1, 0};
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const auto model = open_model(handle_of<CoreRobot>(self));
  return model ? random_configuration(*model, arg[0]) : nullptr;
}

// Gravity in world axes, m/s²: a read-only copy; setting it is serialised with calls.
template <class CoreRobot>
PyObject* handle_gravity_get(PyObject* self, void*) {
  Vec3 g;
  {
    auto guard = handle_of<CoreRobot>(self).slot.lock();
    if (!guard) return nullptr;
    g = guard.calculation().robot.gravity();
  }
  npy_intp dims[1] = {3};
  PyObject* array = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (array == nullptr) return nullptr;
  std::copy(g.data(), g.data() + 3,
            static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))));
  PyArray_CLEARFLAGS(reinterpret_cast<PyArrayObject*>(array), NPY_ARRAY_WRITEABLE);
  return array;
}

template <class CoreRobot>
int handle_gravity_set(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "gravity_vector cannot be deleted");
    return -1;
  }
  double g[3];
  if (!read_numbers(value, "gravity_vector", g, 3)) return -1;
  if (!std::isfinite(g[0]) || !std::isfinite(g[1]) || !std::isfinite(g[2])) {
    PyErr_SetString(PyExc_ValueError, "gravity_vector must contain only finite values");
    return -1;
  }
  auto guard = handle_of<CoreRobot>(self).slot.lock();
  if (!guard) return -1;
  guard.calculation().robot.set_gravity(Vec3(g[0], g[1], g[2]));
  return 0;
}

// <velkor.Robot 'ur5': 6 DOF, 11 links>, or the state that keeps it from computing.
template <class CoreRobot>
PyObject* handle_repr(PyObject* self) {
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  const char* state = nullptr;
  if (auto guard = h.slot.lock(); !guard) {
    state = PyErr_ExceptionMatches(types().panic_error) ? "poisoned"
            : h.slot.held_by_this_thread()              ? "in use by a call on this thread"
                                                        : "closed";
    PyErr_Clear();
  }
  PyRef name = PyRef::steal(
      PyUnicode_DecodeUTF8(h.name.data(), static_cast<Py_ssize_t>(h.name.size()), "replace"));
  if (!name) return nullptr;
  const char* kind = HandleTraits<CoreRobot>::class_name;
  if (state != nullptr) return PyUnicode_FromFormat("<velkor.%s %R (%s)>", kind, name.get(), state);
  return PyUnicode_FromFormat("<velkor.%s %R: %zu DOF%s, %zu links>", kind, name.get(), h.dof_count,
                              HandleTraits<CoreRobot>::base_dofs ? " + 6 base coordinates" : "",
                              h.link_count);
}

}  // namespace velkor::py

// Method and property table rows shared by both handle kinds (the pickling rows
// name functions of pickling.hpp, which the file expanding them includes).
#define VELKOR_MODEL_METHODS(CoreRobot)                                                                 \
  {"load_buffer", entry<load_buffer_method<CoreRobot>>, METH_NOARGS,                                    \
   "load_buffer($self)\n--\n\n"                                                                         \
   "A new, empty velkor.LoadBuffer for this robot's model (its forks accept it\n"                       \
   "too), to pass as loads= to the dynamics methods: it holds at most one load\n"                       \
   "per link and reuses its memory, so calls convert no Load objects. Raises\n"                         \
   "RuntimeError \"robot is closed\". Allocates the buffer."},                                          \
      {"__reduce__", entry<handle_reduce<CoreRobot>>, METH_NOARGS,                                      \
       "__reduce__($self)\n--\n\n"                                                                      \
       "Pickling support: the handle travels as the URDF document it was loaded\n"                      \
       "from, its load options (inertia_tolerance only when one was given), its\n"                      \
       "base frame and gravity_vector; unpickled (in this or another process) it\n"                     \
       "computes the same bits. copy.copy and copy.deepcopy load a new handle the\n"                    \
       "same way. Raises RuntimeError \"robot is closed\"."},                                           \
      {"_restore",                                                                                      \
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<handle_restore<CoreRobot>>)),   \
       METH_FASTCALL | METH_CLASS,                                                                      \
       "_restore($cls, xml, mimic, massless_root, frame, gravity, inertia_tolerance=0.0)\n--\n\n"       \
       "Rebuilds a pickled handle (see __reduce__): loads xml with the options, then\n"                 \
       "sets the base frame (storage order; None for FloatingRobot) and gravity as\n"                   \
       "recorded. Takes 5 or 6 arguments: pickles made before inertia_tolerance\n"                      \
       "existed have 5. Raises TypeError, ValueError or ModelError for malformed data."},               \
      {"close", entry<handle_close<CoreRobot>>, METH_NOARGS,                                            \
       "close($self)\n--\n\n"                                                                           \
       "Frees the workspace: later calls raise RuntimeError(\"robot is closed\").\n"                    \
       "Idempotent; forks and load buffers stay usable. Waits for a call another\n"                     \
       "thread is making on this handle to finish. Raises PanicError when an\n"                         \
       "internal fault has poisoned the handle."},                                                      \
      {"__enter__", entry<handle_enter<CoreRobot>>, METH_NOARGS,                                        \
       "__enter__($self)\n--\n\n"                                                                       \
       "Returns the handle itself for a with block, which closes it on exit. Raises\n"                  \
       "RuntimeError \"robot is closed\" on a closed handle."},                                         \
      {"__exit__", fastcall_entry<handle_exit<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS,             \
       "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"                                     \
       "Closes the handle (see close) and returns None, so exceptions propagate."},                     \
      {"link_id", fastcall_entry<handle_link_id<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS,           \
       "link_id($self, name)\n--\n\n"                                                                   \
       "The link id of the link named name: its index in link_names (breadth-first\n"                   \
       "from the root, link 0), as target, Load and LoadBuffer take it. Raises\n"                       \
       "ValueError \"link {name} does not exist in the model\" (with the close\n"                       \
       "matches among link_names, when there are any), TypeError when name is not\n"                    \
       "a str, RuntimeError \"robot is closed\". Takes the handle's lock."},                            \
      {"dof_index", fastcall_entry<handle_dof_index<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS,       \
       "dof_index($self, name)\n--\n\n"                                                                 \
       "The DOF index of the joint named name: its position in q and in dof_names.\n"                   \
       "Raises ValueError \"no degree of freedom is named ...\" (listing close\n"                       \
       "matches) when no DOF has that name (fixed joints have none), TypeError when\n"                  \
       "name is not a str, RuntimeError \"robot is closed\"."},                                         \
      {"dof_order", fastcall_entry<handle_dof_order<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS,       \
       "dof_order($self, names, *, inverse=False)\n--\n\n"                                              \
       "Index array p (numpy intp, n entries) with q_ours = q_theirs[p], where names\n"                 \
       "gives the joint name of each entry of q_theirs (another library's or the\n"                     \
       "file's order; extra names are ignored). With inverse=True, r with q_theirs =\n"                 \
       "q_ours[r]; names must then be exactly this robot's DOF names. Raises\n"                         \
       "ValueError for a missing, unknown (inverse=True) or repeated DOF name,\n"                       \
       "TypeError when names is not a sequence of str or is a set (which has no\n"                      \
       "order), RuntimeError \"robot is closed\". Allocates the index array."},                         \
      {"joint_vector", fastcall_entry<handle_joint_vector<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS, \
       "joint_vector($self, mapping, default=None)\n--\n\n"                                             \
       "A new writeable float64 array q of the n joint positions (rad or m) in DOF\n"                   \
       "order (dof_names) from mapping, {joint name: value}, any\n"                                     \
       "collections.abc.Mapping: q by name, whatever order the file or another\n"                       \
       "library lists the joints in. Each value is read as float() reads a real\n"                      \
       "number and must be finite (the computing methods refuse a non-finite q;\n"                      \
       "here the error names the joint). A DOF the mapping leaves out takes\n"                          \
       "default, a finite real number; with default=None every DOF must be given.\n"                    \
       "For a FloatingRobot, q holds the n joint DOFs only; the base is a\n"                            \
       "BaseState. Raises ValueError for a name no DOF has (\"mapping: no degree of\n"                  \
       "freedom is named ...\", listing close matches; \"mapping: ... is a fixed\n"                     \
       "joint, not a degree of freedom\"), for DOFs left out without default\n"                         \
       "(\"mapping lacks k of the n degrees of freedom: ...\", naming the first\n"                      \
       "six), for a non-finite value or default; TypeError when mapping is not a\n"                     \
       "Mapping, a key is not a str, or a value or default is not a real number\n"                      \
       "(complex numbers and arrays with dimensions are not); RuntimeError \"robot\n"                   \
       "is closed\". Cost: one pass over mapping.items(); allocates the result."},                      \
      {"joint_dict", fastcall_entry<handle_joint_dict<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS,     \
       "joint_dict($self, q)\n--\n\n"                                                                   \
       "A new dict {DOF name: float} in DOF order (dof_names) from q, the n joint\n"                    \
       "positions (rad or m), read as the computing methods read q (any\n"                              \
       "one-dimensional array or sequence of numbers): the inverse of joint_vector,\n"                  \
       "to look at q by name. For a FloatingRobot, q holds the n joint DOFs only,\n"                    \
       "no base coordinates. Values are copied as they are, non-finite ones\n"                          \
       "included. Raises ValueError \"expected n elements in q, found m\" or \"The\n"                   \
       "given array is already borrowed\" (q is the out of a running call),\n"                          \
       "TypeError when q is not a one-dimensional array of numbers, RuntimeError\n"                     \
       "\"robot is closed\". Allocates the dict."},                                                     \
      {"neutral_configuration", entry<handle_neutral_configuration<CoreRobot>>, METH_NOARGS,            \
       "neutral_configuration($self)\n--\n\n"                                                           \
       "A new writeable float64 array of n joint positions (rad or m, DOF order):\n"                    \
       "zero, moved to the nearest limit where zero lies outside the position\n"                        \
       "limits. Raises RuntimeError \"robot is closed\"."},                                             \
      {"random_configuration", fastcall_entry<handle_random_configuration<CoreRobot>>(),                \
       METH_FASTCALL | METH_KEYWORDS,                                                                   \
       "random_configuration($self, rng=None)\n--\n\n"                                                  \
       "A new float64 array of n joint positions (DOF order), uniform within the\n"                     \
       "position limits ([-pi, pi] for continuous joints). rng: a\n"                                    \
       "numpy.random.Generator, a seed for numpy.random.default_rng, or None (fresh\n"                  \
       "entropy); NumPy raises TypeError or ValueError for anything else. Draws n\n"                    \
       "values with rng.random(n), the numbers rng.uniform(lower, upper) gives, and\n"                  \
       "places them between the limits without overflow for any finite limits.\n"                       \
       "Raises TypeError or ValueError when rng.random(n) does not return n\n"                          \
       "float64 values in [0, 1), RuntimeError \"robot is closed\"."}

#define VELKOR_MODEL_GETSET(CoreRobot)                                                                  \
  {"name", entry<handle_name<CoreRobot>>, nullptr,                                                      \
   "The robot name, from the URDF <robot name=...> element. Raises RuntimeError\n"                      \
   "\"robot is closed\" after close().",                                                                \
   nullptr},                                                                                            \
      {"joint_count", entry<handle_count<CoreRobot, &Handle<CoreRobot>::dof_count>>, nullptr,           \
       "n, the number of degrees of freedom (the length of q): it counts DOFs, not\n"                   \
       "joints; fixed joints are not counted (`joints` lists every joint). Raises\n"                    \
       "RuntimeError \"robot is closed\" after close().",                                               \
       nullptr},                                                                                        \
      {"link_count", entry<handle_count<CoreRobot, &Handle<CoreRobot>::link_count>>, nullptr,           \
       "L, the number of links (the rows of forward_kinematics_all). Raises\n"                          \
       "RuntimeError \"robot is closed\" after close().",                                               \
       nullptr},                                                                                        \
      {"mimic_joints", entry<handle_model_property<CoreRobot, mimic_joints>>, nullptr,                  \
       "{joint name: (leader joint name, multiplier, offset)} for the <mimic>\n"                        \
       "couplings of moving joints, as written in the file: with mimic='couple' the\n"                  \
       "joints that follow their leaders (q[joint] = multiplier * q[leader] + offset,\n"                \
       "not in dof_names; their joints records have dof None), with\n"                                  \
       "mimic='independent' the couplings loosened into ordinary DOFs (callers keep\n"                  \
       "them); empty otherwise. A new dict on each access. Raises RuntimeError\n"                       \
       "\"robot is closed\" after close().",                                                            \
       nullptr},                                                                                        \
      {"repaired_inertias", entry<handle_model_property<CoreRobot, repaired_inertias>>, nullptr,        \
       "A new list of velkor.InertiaRepair records (link, defect, relative_defect,\n"                   \
       "written, held), one per link inertia that inertia_tolerance accepted\n"                         \
       "although it is not positive semi-definite, in link-id order; empty when\n"                      \
       "loaded without the option (the default refuses such files) or when every\n"                     \
       "inertia is. defect (kg·m²) is minus the smallest eigenvalue of the inertia\n"                   \
       "as written; relative_defect divides it by the largest principal moment\n"                       \
       "among the file's links (at most inertia_tolerance); written and held are\n"                     \
       "(ixx, ixy, ixz, iyy, iyz, izz) in kg·m², about the centre of mass in the\n"                     \
       "<inertial> axes: the file's values and the ones the model holds instead\n"                      \
       "(written with its negative eigenvalues set to zero). The repairs are made\n"                    \
       "at load; each access builds a new list. Raises RuntimeError \"robot is\n"                       \
       "closed\" after close().",                                                                       \
       nullptr},                                                                                        \
      {"link_names", entry<handle_model_property<CoreRobot, link_names>>, nullptr,                      \
       "Tuple of the L = link_count link names in link-id order (breadth-first from\n"                  \
       "the root, link 0). Raises RuntimeError \"robot is closed\" after close().",                     \
       nullptr},                                                                                        \
      {"joints", entry<handle_model_property<CoreRobot, joint_records>>, nullptr,                       \
       "Tuple of velkor.Joint records (name, type, parent, child, dof), one per URDF\n"                 \
       "joint in joint order, fixed joints included; joint k leads to link k + 1.\n"                    \
       "Raises RuntimeError \"robot is closed\" after close().",                                        \
       nullptr},                                                                                        \
      {"path", entry<handle_model_property<CoreRobot, source_path>>, nullptr,                           \
       "The absolute path of the URDF file the robot was loaded from, as a str; None\n"                 \
       "for from_urdf_string and for a robot restored from a pickle. Mesh files of\n"                   \
       "visuals are looked up from its folder. Raises RuntimeError \"robot is\n"                        \
       "closed\" after close().",                                                                       \
       nullptr},                                                                                        \
      {"visuals", entry<handle_model_property<CoreRobot, visual_records>>, nullptr,                     \
       "Tuple of velkor.Shape records (link, origin, geometry, size, filename,\n"                       \
       "scale, color, name, material), one per <visual> element, link order then\n"                     \
       "file order: what each link looks like, in its frame (origin: a velkor.Pose;\n"                  \
       "size in metres; a mesh's filename as written, see velkor.viewer for how it\n"                   \
       "is found). Raises RuntimeError \"robot is closed\" after close().",                             \
       nullptr},                                                                                        \
      {"collisions", entry<handle_model_property<CoreRobot, collision_records>>, nullptr,               \
       "Tuple of velkor.Shape records for the <collision> elements, as visuals (color\n"                \
       "and material None). Raises RuntimeError \"robot is closed\" after close().",                    \
       nullptr},                                                                                        \
      {"skipped_shapes", entry<handle_model_property<CoreRobot, skipped_shape_records>>, nullptr,       \
       "Tuple of velkor.SkippedShape records (link, element, index_in_link,\n"                          \
       "reason), one per <visual> or <collision> element left out of visuals and\n"                     \
       "collisions because its shape cannot be read (an unknown element such as\n"                      \
       "<cdf>, an empty <geometry>, two shapes in one, missing or bad sizes), link\n"                   \
       "order, visuals first: link is the link id, element 'visual' or\n"                               \
       "'collision', index_in_link the element's place among the link's elements\n"                     \
       "of its kind (file order, from 0). The robot's dynamics never depend on\n"                       \
       "them. Empty for most files. Raises RuntimeError \"robot is closed\" after\n"                    \
       "close().",                                                                                      \
       nullptr},                                                                                        \
      {"dof_names", entry<handle_model_property<CoreRobot, dof_names>>, nullptr,                        \
       "Tuple of the joint name of each degree of freedom, in DOF order (the order\n"                   \
       "of q). Raises RuntimeError \"robot is closed\" after close().",                                 \
       nullptr},                                                                                        \
      {"lower_limits", entry<handle_model_property<CoreRobot, limits_of<Limit::Lower>>>, nullptr,       \
       "A new read-only float64 array of n lower position limits (rad or m), DOF\n"                     \
       "order; -inf for continuous joints. Raises RuntimeError \"robot is closed\"\n"                   \
       "after close().",                                                                                \
       nullptr},                                                                                        \
      {"upper_limits", entry<handle_model_property<CoreRobot, limits_of<Limit::Upper>>>, nullptr,       \
       "A new read-only float64 array of n upper position limits (rad or m), DOF\n"                     \
       "order; inf for continuous joints. Raises RuntimeError \"robot is closed\"\n"                    \
       "after close().",                                                                                \
       nullptr},                                                                                        \
      {"velocity_limits", entry<handle_model_property<CoreRobot, limits_of<Limit::Velocity>>>, nullptr, \
       "A new read-only float64 array of n velocity limits (rad/s or m/s), DOF\n"                       \
       "order; 0 where the file gives none. Raises RuntimeError \"robot is closed\"\n"                  \
       "after close().",                                                                                \
       nullptr},                                                                                        \
      {"effort_limits", entry<handle_model_property<CoreRobot, limits_of<Limit::Effort>>>, nullptr,     \
       "A new read-only float64 array of n effort limits (N·m or N), DOF order; 0\n"                    \
       "where the file gives none, NaN where its value is not a number. Raises\n"                       \
       "RuntimeError \"robot is closed\" after close().",                                               \
       nullptr},                                                                                        \
      {"link_masses", entry<handle_model_property<CoreRobot, link_masses>>, nullptr,                    \
       "A new read-only float64 array of the L link masses (kg), link-id order.\n"                      \
       "Raises RuntimeError \"robot is closed\" after close().",                                        \
       nullptr},                                                                                        \
      {"total_mass", entry<handle_model_property<CoreRobot, total_mass>>, nullptr,                      \
       "Sum of the link masses (kg). Raises RuntimeError \"robot is closed\" after\n"                   \
       "close().",                                                                                      \
       nullptr},                                                                                        \
  {                                                                                                     \
    "gravity_vector", entry<handle_gravity_get<CoreRobot>>, entry<handle_gravity_set<CoreRobot>>,       \
        "Gravitational acceleration in world axes (m/s²), default (0, 0, -9.80665);\n"                  \
        "every dynamics method uses it. Reading gives a new read-only array of 3;\n"                    \
        "setting takes three finite numbers and applies to later calls on this handle\n"                \
        "(forks start with their origin's). Setting raises ValueError for another\n"                    \
        "length or a non-finite value, TypeError for non-numbers or deletion; both\n"                   \
        "raise RuntimeError \"robot is closed\" and take the handle's lock.",                           \
        nullptr                                                                                         \
  }
