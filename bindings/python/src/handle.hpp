// What Robot and FloatingRobot handles share: loading, fork, close, the context
// manager, the counts, link ids and `target` resolution, and the locked call
// every method reuses (the model's own properties are in handle_model.hpp).
#pragma once

#include <algorithm>
#include <array>
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

// Creates a handle type once, into `type` (types().robot or floating_robot), from
// its qualified name, docstring and tables; false with the error set.
template <class CoreRobot>
bool create_handle_type(PyTypeObject*& type, const char* name, const char* doc, PyMethodDef* methods,
                        PyGetSetDef* getset) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(entry<handle_new<CoreRobot>>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_handle<CoreRobot>)},
      {Py_tp_repr, reinterpret_cast<void*>(entry<handle_repr<CoreRobot>>)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {0, nullptr},
  };
  static PyType_Spec type_layout = {name, sizeof(HandleObject<CoreRobot>), 0,
                                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_layout));
  return type != nullptr;
}

}  // namespace velkor::py
