#include "loads.hpp"

#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "arguments.hpp"
#include "errors.hpp"
#include "fork_handlers.hpp"
#include "types.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

struct LoadObject {
  PyObject_HEAD unsigned long long link_id;
  double torque[3];
  double force[3];
};

// Borrow state of one buffer: a count of shared holders, or -1 for one
// exclusive holder. Changed only through BorrowRegistry.
struct BorrowState {
  int holders = 0;
};

// Every borrow of every buffer, with the thread that holds it, behind one
// process-wide mutex (shared holders release after computing, without the
// interpreter lock on free-threaded interpreters). In a child after fork() the
// borrows of the threads that do not exist there are given back.
class BorrowRegistry {
 public:
  static BorrowRegistry& instance() {
    static BorrowRegistry& registry = *new BorrowRegistry;  // never destroyed, like the holds
    return registry;
  }

  bool try_share(BorrowState& state) { return take(state, false); }
  void unshare(BorrowState& state) { give_back(state, false); }
  bool try_exclusive(BorrowState& state) { return take(state, true); }
  void release_exclusive(BorrowState& state) { give_back(state, true); }

  void before_fork() { mutex_.lock(); }
  void after_fork_in_parent() { mutex_.unlock(); }
  void after_fork_in_child() {
    new (&mutex_) std::mutex;
    const std::thread::id self = std::this_thread::get_id();
    std::erase_if(records_, [self](const Record& r) {
      if (r.owner == self) return false;
      r.state->holders = r.exclusive ? 0 : r.state->holders - 1;
      return true;
    });
  }

 private:
  BorrowRegistry() { records_.reserve(64); }

  struct Record {
    BorrowState* state;
    std::thread::id owner;
    bool exclusive;
  };

  bool take(BorrowState& state, bool exclusive) {
    std::lock_guard lock(mutex_);
    if (exclusive ? state.holders != 0 : state.holders < 0) return false;
    state.holders = exclusive ? -1 : state.holders + 1;
    records_.push_back({&state, std::this_thread::get_id(), exclusive});
    return true;
  }

  void give_back(BorrowState& state, bool exclusive) {
    std::lock_guard lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    const auto it = std::find_if(records_.begin(), records_.end(), [&](const Record& r) {
      return r.state == &state && r.exclusive == exclusive && r.owner == self;
    });
    if (it == records_.end()) return;  // given back in a child after fork() already
    state.holders = exclusive ? 0 : state.holders - 1;
    *it = records_.back();
    records_.pop_back();
  }

  std::mutex mutex_;
  std::vector<Record> records_;
};

struct LoadBufferObject {
  PyObject_HEAD LoadBuffer* buffer;
  std::shared_ptr<const LinkTable>* link_table;
  BorrowState* borrow;
};

LoadBufferObject* buffer_object(PyObject* self) { return reinterpret_cast<LoadBufferObject*>(self); }

// ---- Load ----

const char* const load_names[] = {"link_id", "torque", "force"};
constexpr Signature load_signature{"Load", load_names, 3, 1};

PyObject* load_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[3];
  if (!parse_arguments(load_signature, args, kwargs, arg)) return nullptr;
  const auto link_id = link_index_argument(arg[0], "link_id");
  if (!link_id) return nullptr;
  double torque[3] = {0, 0, 0}, force[3] = {0, 0, 0};
  if (arg[1] && !read_numbers(arg[1], "torque", torque, 3)) return nullptr;
  if (arg[2] && !read_numbers(arg[2], "force", force, 3)) return nullptr;
  auto* self = reinterpret_cast<LoadObject*>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  self->link_id = *link_id;
  std::copy_n(torque, 3, self->torque);
  std::copy_n(force, 3, self->force);
  return reinterpret_cast<PyObject*>(self);
}

PyObject* load_link_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(reinterpret_cast<LoadObject*>(self)->link_id);
}
PyObject* load_torque(PyObject* self, void*) {
  return float_tuple(reinterpret_cast<LoadObject*>(self)->torque, 3);
}
PyObject* load_force(PyObject* self, void*) {
  return float_tuple(reinterpret_cast<LoadObject*>(self)->force, 3);
}

PyObject* load_compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const auto* a = reinterpret_cast<LoadObject*>(self);
  const auto* b = reinterpret_cast<LoadObject*>(other);
  const bool equal = a->link_id == b->link_id && std::equal(a->torque, a->torque + 3, b->torque) &&
                     std::equal(a->force, a->force + 3, b->force);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// velkor.Load(link_id=3, torque=(x, y, z), force=(x, y, z)) of the stored numbers.
PyObject* load_repr(PyObject* self) {
  const auto* load = reinterpret_cast<LoadObject*>(self);
  std::string text = Py_TYPE(self)->tp_name;
  text += "(link_id=" + std::to_string(load->link_id) + ", torque=";
  if (!append_float_tuple_repr(text, load->torque, 3)) return nullptr;
  text += ", force=";
  if (!append_float_tuple_repr(text, load->force, 3)) return nullptr;
  text += ')';
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef load_getset[] = {
    {"link_id", entry<load_link_id>, nullptr,
     "Link id of the link that exerts the load (an index into link_names); checked\n"
     "against the robot when used.",
     nullptr},
    {"torque", entry<load_torque>, nullptr, "Torque (x, y, z), link-frame axes, N·m.", nullptr},
    {"force", entry<load_force>, nullptr, "Force (x, y, z) at the link origin, link-frame axes, N.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot load_slots[] = {
    {Py_tp_doc, const_cast<char*>("Load(link_id, torque=..., force=...)\n--\n\n"
                                  "An external load: the wrench that link link_id exerts on its\n"
                                  "surroundings, torque (N·m) and force (N) at the link origin in\n"
                                  "link-frame axes, zero by default. Given in loads= to the\n"
                                  "dynamics methods, the joints supply +J^T w for it; several\n"
                                  "loads on one link add up. The link id is checked against the\n"
                                  "robot when used (ValueError \"invalid link id {id}\"). Raises\n"
                                  "TypeError for a bool or non-integer link_id, ValueError\n"
                                  "\"invalid link id {id}\" for a negative one and for vectors of\n"
                                  "another length. == compares all fields; unhashable.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<load_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<load_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, load_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<load_repr>)},
    {0, nullptr},
};
PyType_Spec load_spec = {"velkor.Load", sizeof(LoadObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, load_slots};

// ---- LoadBuffer ----

// Exclusive use for one mutation; "Already borrowed" while anyone holds it.
class Exclusive {
 public:
  explicit Exclusive(LoadBufferObject* object) : object_(object) {
    if (!BorrowRegistry::instance().try_exclusive(*object->borrow)) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      object_ = nullptr;
    }
  }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
  ~Exclusive() {
    if (object_) BorrowRegistry::instance().release_exclusive(*object_->borrow);
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  LoadBufferObject* object_;
};

// link_id, torque, force of set and add, converted and resolved.
bool read_load(LoadBufferObject* self, const Signature& signature, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, LinkId& link, Vec6& wrench) {
  PyObject* arg[3];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return false;
  const auto id = link_index_argument(arg[0], "link_id");
  if (!id) return false;
  double values[6] = {0, 0, 0, 0, 0, 0};
  if (arg[1] && !read_numbers(arg[1], "torque", values, 3)) return false;
  if (arg[2] && !read_numbers(arg[2], "force", values + 3, 3)) return false;
  const auto resolved = target_link(**self->link_table, *id);
  if (!resolved) return false;
  link = *resolved;
  wrench = Eigen::Map<const Vec6>(values);
  return true;
}

template <std::expected<void, Error> (LoadBuffer::*Operation)(LinkId, const Vec6&)>
PyObject* buffer_update(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, const Signature& signature) {
  auto* self = buffer_object(self_object);
  Exclusive exclusive(self);
  if (!exclusive) return nullptr;
  LinkId link;
  Vec6 wrench;
  if (!read_load(self, signature, args, nargs, kwnames, link, wrench)) return nullptr;
  if (auto result = (self->buffer->*Operation)(link, wrench); !result) return core_error(result.error());
  Py_RETURN_NONE;
}

const char* const update_names[] = {"link_id", "torque", "force"};
constexpr Signature set_signature{"LoadBuffer.set", update_names, 3, 1};
constexpr Signature add_signature{"LoadBuffer.add", update_names, 3, 1};

PyObject* buffer_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return buffer_update<&LoadBuffer::set>(self, args, nargs, kwnames, set_signature);
}

PyObject* buffer_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return buffer_update<&LoadBuffer::add>(self, args, nargs, kwnames, add_signature);
}

PyObject* buffer_remove(PyObject* self_object, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {"link_id"};
  static constexpr Signature signature{"LoadBuffer.remove", names, 1, 1};
  auto* self = buffer_object(self_object);
  Exclusive exclusive(self);
  if (!exclusive) return nullptr;
  PyObject* arg[1];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  const auto id = link_index_argument(arg[0], "link_id");
  if (!id) return nullptr;
  const auto link = target_link(**self->link_table, *id);
  if (!link) return nullptr;
  if (auto result = self->buffer->remove(*link); !result) return core_error(result.error());
  Py_RETURN_NONE;
}

PyObject* buffer_clear(PyObject* self_object, PyObject*) {
  auto* self = buffer_object(self_object);
  Exclusive exclusive(self);
  if (!exclusive) return nullptr;
  self->buffer->clear();
  Py_RETURN_NONE;
}

Py_ssize_t buffer_length(PyObject* self_object) {
  auto* self = buffer_object(self_object);
  BorrowRegistry& borrows = BorrowRegistry::instance();
  if (!borrows.try_share(*self->borrow)) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return -1;
  }
  const auto size = static_cast<Py_ssize_t>(self->buffer->size());
  borrows.unshare(*self->borrow);
  return size;
}

void buffer_dealloc(PyObject* self_object) {
  auto* self = buffer_object(self_object);
  delete self->buffer;
  delete self->link_table;
  delete self->borrow;
  dealloc_value(self_object);
}

PyMethodDef buffer_methods[] = {
    {"set", fastcall_entry<buffer_set>(), METH_FASTCALL | METH_KEYWORDS,
     "set($self, link_id, torque=..., force=...)\n--\n\n"
     "Makes torque (N·m) and force (N), link-frame axes at the link origin, the\n"
     "load of link link_id, replacing any load it had; zero by default. Raises\n"
     "ValueError \"invalid link id {id}\" or \"load contains a non-finite value\",\n"
     "TypeError for a non-integer link_id (a negative one: the ValueError),\n"
     "RuntimeError \"Already borrowed\" while a computing call reads the buffer. No\n"
     "allocation (room for one load per link is reserved)."},
    {"add", fastcall_entry<buffer_add>(), METH_FASTCALL | METH_KEYWORDS,
     "add($self, link_id, torque=..., force=...)\n--\n\n"
     "Adds torque (N·m) and force (N), link-frame axes at the link origin, to the\n"
     "load of link link_id (a link without one gets it). A non-finite sum raises\n"
     "SolverError \"numerical failure in load aggregation\" and changes nothing.\n"
     "Raises ValueError \"invalid link id {id}\" or \"load contains a non-finite\n"
     "value\" (also for a negative link_id), TypeError for a non-integer link_id,\n"
     "RuntimeError \"Already borrowed\" while a computing call reads the\n"
     "buffer. No allocation."},
    {"remove", fastcall_entry<buffer_remove>(), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, link_id)\n--\n\n"
     "Removes the load of link link_id; nothing happens when it has none. Raises\n"
     "ValueError \"invalid link id {id}\" (also for a negative one), TypeError for a\n"
     "non-integer link_id, RuntimeError \"Already borrowed\" while a computing call reads the\n"
     "buffer."},
    {"clear", entry<buffer_clear>, METH_NOARGS,
     "clear($self)\n--\n\n"
     "Removes every load; len(buffer) becomes 0. Raises RuntimeError \"Already\n"
     "borrowed\" while a computing call reads the buffer. No allocation."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Reusable native loads, created by a robot so integer IDs have a model scope.\n\n"
                       "Made by robot.load_buffer(); holds at most one load per link: a torque and a "
                       "force (link-frame axes, the force at the link origin; N·m and N) that the link "
                       "exerts on its surroundings. Pass it as loads= to gravity, inverse_dynamics and "
                       "forward_dynamics of any handle of the same model: it is read without copying "
                       "or allocating. set/add/remove/clear change it; while a call reads it they "
                       "raise RuntimeError \"Already borrowed\", and len() gives the number of loads.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_tp_methods, buffer_methods},
    {Py_sq_length, reinterpret_cast<void*>(entry<buffer_length>)},
    {0, nullptr},
};
PyType_Spec buffer_spec = {
    "velkor.LoadBuffer", sizeof(LoadBufferObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, buffer_slots};

bool create_type(PyTypeObject*& slot, PyType_Spec& spec_of_type) {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec_of_type));
  return slot != nullptr;
}

}  // namespace

void borrows_before_fork() { BorrowRegistry::instance().before_fork(); }
void borrows_after_fork_in_parent() { BorrowRegistry::instance().after_fork_in_parent(); }
void borrows_after_fork_in_child() { BorrowRegistry::instance().after_fork_in_child(); }

bool create_load_types() {
  Types& t = types();
  return create_type(t.load, load_spec) && create_type(t.load_buffer, buffer_spec);
}

PyObject* new_load_buffer(LoadBuffer buffer, std::shared_ptr<const LinkTable> link_table) {
  PyTypeObject* type = types().load_buffer;
  auto core = std::make_unique<LoadBuffer>(std::move(buffer));
  auto table = std::make_unique<std::shared_ptr<const LinkTable>>(std::move(link_table));
  auto borrow = std::make_unique<BorrowState>();
  auto* self = reinterpret_cast<LoadBufferObject*>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  self->buffer = core.release();
  self->link_table = table.release();
  self->borrow = borrow.release();
  return reinterpret_cast<PyObject*>(self);
}

namespace {

// The loads of `items` (a list or tuple) resolved against `table`, into `list`.
bool read_loads(PyObject* items, const LinkTable& table, std::vector<IndexedLoad>& list) {
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items);
  PyObject** item = PySequence_Fast_ITEMS(items);
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (Py_TYPE(item[i]) != types().load) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Load'",
                   Py_TYPE(item[i])->tp_name);
      return false;
    }
  }
  list.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const auto* load = reinterpret_cast<LoadObject*>(item[i]);
    const auto link = target_link(table, load->link_id);
    if (!link) return false;
    list.push_back(IndexedLoad{*link, Vec3(load->torque[0], load->torque[1], load->torque[2]),
                               Vec3(load->force[0], load->force[1], load->force[2])});
  }
  return true;
}

}  // namespace

void LoadsArgument::release_buffer() {
  BorrowRegistry::instance().unshare(*buffer_object(held_buffer_)->borrow);
  Py_DECREF(held_buffer_);
}

bool LoadsArgument::convert_given(PyObject* value, const LinkTable& table) {
  const Types& t = types();
  if (Py_TYPE(value) == t.load_buffer) {
    LoadBufferObject* buffer = buffer_object(value);
    if (buffer->buffer->model_id() != table.front().model_id) {
      core_error(errors::InvalidLinkId{});
      return false;
    }
    if (!BorrowRegistry::instance().try_share(*buffer->borrow)) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    held_buffer_ = Py_NewRef(value);
    loads_ = buffer->buffer->loads();
    return true;
  }
  if (PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(value)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(value)->tp_name);
    return false;
  }
  PyRef items = PyRef::steal(PySequence_Fast(value, "loads must be a sequence"));
  if (!items) return false;
  // A list is the caller's own, which another thread may change meanwhile: its
  // items are read under its lock (no Python code runs while reading them).
  bool read = false;
  Py_BEGIN_CRITICAL_SECTION(items.get());
  read = read_loads(items.get(), table, list_);
  Py_END_CRITICAL_SECTION();
  if (!read) return false;
  loads_ = list_;
  return true;
}

}  // namespace velkor::py
