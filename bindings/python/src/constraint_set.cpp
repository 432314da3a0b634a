#include "constraint_set.hpp"

#include <optional>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "errors.hpp"
#include "types.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

// ---- Contact and LoopClosure ----

// Both value classes: a contact uses link_a and holds its target in `second`;
// a loop closure holds offset_b there.
struct ItemObject {
  PyObject_HEAD unsigned long long link_a;
  unsigned long long link_b;  // a loop closure's; 0 for a contact
  int kind;                   // an index into kind_names
  PyObject* offset_a;         // a Pose or None (strong references)
  PyObject* second;
};

// The kinds as given (kind_names) and as the core takes them, in one order.
const char* const kind_names[] = {"point", "frame", nullptr};
constexpr ConstraintKind kinds[] = {ConstraintKind::Point, ConstraintKind::Frame};

ItemObject* item_object(PyObject* self) { return reinterpret_cast<ItemObject*>(self); }

// The checks of both constructors after the link ids: kind, then the two poses.
PyObject* new_item(PyTypeObject* type, unsigned long long link_a, unsigned long long link_b,
                   PyObject* kind, PyObject* first, const char* first_name, PyObject* second,
                   const char* second_name) {
  int kind_index = 0;
  if (kind != nullptr && (kind_index = choice_argument(kind, "kind", kind_names)) < 0) return nullptr;
  PyTypeObject* pose = types().pose;
  if (!optional_instance(first, pose, first_name) || !optional_instance(second, pose, second_name))
    return nullptr;
  auto* self = item_object(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->link_a = link_a;
  self->link_b = link_b;
  self->kind = kind_index;
  self->offset_a = Py_NewRef(first != nullptr ? first : Py_None);
  self->second = Py_NewRef(second != nullptr ? second : Py_None);
  return reinterpret_cast<PyObject*>(self);
}

const char* const contact_names[] = {"link_id", "kind", "offset", "target"};
constexpr Signature contact_signature{"Contact", contact_names, 4, 1};

PyObject* contact_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[4];
  if (!parse_arguments(contact_signature, args, kwargs, arg)) return nullptr;
  const auto link = link_index_argument(arg[0], "link_id");
  if (!link) return nullptr;
  return new_item(type, *link, 0, arg[1], arg[2], "offset", arg[3], "target");
}

const char* const loop_names[] = {"link_a", "link_b", "kind", "offset_a", "offset_b"};
constexpr Signature loop_signature{"LoopClosure", loop_names, 5, 2};

PyObject* loop_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* arg[5];
  if (!parse_arguments(loop_signature, args, kwargs, arg)) return nullptr;
  const auto link_a = link_index_argument(arg[0], "link_a");
  if (!link_a) return nullptr;
  const auto link_b = link_index_argument(arg[1], "link_b");
  if (!link_b) return nullptr;
  return new_item(type, *link_a, *link_b, arg[2], arg[3], "offset_a", arg[4], "offset_b");
}

void item_dealloc(PyObject* self) {
  Py_XDECREF(item_object(self)->offset_a);
  Py_XDECREF(item_object(self)->second);
  dealloc_value(self);
}

PyObject* item_link_a(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(item_object(self)->link_a);
}
PyObject* item_link_b(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(item_object(self)->link_b);
}
PyObject* item_kind(PyObject* self, void*) {
  return PyUnicode_FromString(kind_names[item_object(self)->kind]);
}
PyObject* item_offset_a(PyObject* self, void*) { return Py_NewRef(item_object(self)->offset_a); }
PyObject* item_second(PyObject* self, void*) { return Py_NewRef(item_object(self)->second); }

// Equal when of one class with equal link ids and kind, and poses that are
// both None or equal Poses (their stored numbers).
PyObject* item_compare(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  const ItemObject* a = item_object(self);
  const ItemObject* b = item_object(other);
  int equal = a->link_a == b->link_a && a->link_b == b->link_b && a->kind == b->kind;
  if (equal) equal = PyObject_RichCompareBool(a->offset_a, b->offset_a, Py_EQ);
  if (equal == 1) equal = PyObject_RichCompareBool(a->second, b->second, Py_EQ);
  if (equal < 0) return nullptr;
  return PyBool_FromLong((equal == 1) == (op == Py_EQ));
}

// velkor.Contact(link_id=3, kind='point', offset=None, target=velkor.Pose(...))
PyObject* contact_repr(PyObject* self) {
  const ItemObject* item = item_object(self);
  return PyUnicode_FromFormat("%s(link_id=%llu, kind='%s', offset=%R, target=%R)",
                              Py_TYPE(self)->tp_name, item->link_a, kind_names[item->kind],
                              item->offset_a, item->second);
}

PyObject* loop_repr(PyObject* self) {
  const ItemObject* item = item_object(self);
  return PyUnicode_FromFormat("%s(link_a=%llu, link_b=%llu, kind='%s', offset_a=%R, offset_b=%R)",
                              Py_TYPE(self)->tp_name, item->link_a, item->link_b, kind_names[item->kind],
                              item->offset_a, item->second);
}

#define VELKOR_KIND_DOC                                                            \
  "'point' (3 constraint rows: the linear velocity of the point, world axes) or\n" \
  "'frame' (6 rows: the angular velocity, then the linear velocity of the\n"       \
  "frame's origin, world axes)."

PyGetSetDef contact_getset[] = {
    {"link_id", entry<item_link_a>, nullptr,
     "Link id of the link held (an index into link_names); checked against the\n"
     "robot by robot.constraint_set().",
     nullptr},
    {"kind", entry<item_kind>, nullptr, VELKOR_KIND_DOC, nullptr},
    {"offset", entry<item_offset_a>, nullptr,
     "The point or frame held, a velkor.Pose in the link frame (metres), or None\n"
     "for the link origin and axes.",
     nullptr},
    {"target", entry<item_second>, nullptr,
     "World pose (metres) where the point or frame should be, or None. Only the\n"
     "position term (kp) of the stabilisation reads it; without one that term is\n"
     "zero.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef loop_getset[] = {
    {"link_a", entry<item_link_a>, nullptr,
     "Link id of the first link (an index into link_names); the rows' forces act\n"
     "on it, their opposites on link_b.",
     nullptr},
    {"link_b", entry<item_link_b>, nullptr, "Link id of the second link (an index into link_names).",
     nullptr},
    {"kind", entry<item_kind>, nullptr, VELKOR_KIND_DOC, nullptr},
    {"offset_a", entry<item_offset_a>, nullptr,
     "The point or frame on link_a, a velkor.Pose in its link frame (metres), or\n"
     "None for its origin and axes.",
     nullptr},
    {"offset_b", entry<item_second>, nullptr,
     "The point or frame on link_b, a velkor.Pose in its link frame (metres), or\n"
     "None for its origin and axes.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot contact_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Contact(link_id, kind='point', offset=None, target=None)\n--\n\n"
                       "A contact that holds a point or a frame of link link_id still in the\n"
                       "world, for robot.constraint_set(). kind: " VELKOR_KIND_DOC
                       " offset: a velkor.Pose in the link frame\n"
                       "(metres) placing the point or frame, None for the link origin and axes.\n"
                       "target: a world Pose (metres) where it should be, None for none; only\n"
                       "the position term of the stabilisation reads it (a contact without one\n"
                       "has no position error). The force of a contact row is what the\n"
                       "environment exerts on the robot there, world axes: a force (N), or for a\n"
                       "frame a torque about its origin (N·m), then a force.\n\n"
                       "The link id is checked against the robot and the poses accepted by\n"
                       "robot.constraint_set() (ValueError \"invalid link id {id}\", \"pose contains\n"
                       "non-finite values or a zero quaternion\"). Raises TypeError for a\n"
                       "link_id that is a bool or not an integer, a kind that is not a str, an\n"
                       "offset or target that is not a Pose or None; ValueError for a negative\n"
                       "link_id (\"invalid link id -1\") or another kind (\"kind must be 'point'\n"
                       "or 'frame', got ...\"). Immutable; == compares all fields (poses by\n"
                       "their stored numbers); unhashable; pickles and copies.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<contact_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(item_dealloc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<item_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, contact_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<contact_repr>)},
    {0, nullptr},
};
PyType_Spec contact_spec = {"velkor.Contact", sizeof(ItemObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, contact_slots};

PyType_Slot loop_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("LoopClosure(link_a, link_b, kind='point', offset_a=None, offset_b=None)\n--\n\n"
                       "A loop closure, for robot.constraint_set(): the point or frame offset_a of\n"
                       "link link_a and the point or frame offset_b of link link_b move together,\n"
                       "closing a kinematic loop. kind: " VELKOR_KIND_DOC " A row's velocity is\n"
                       "link_a's minus link_b's; its position error is p_a - p_b (metres, world\n"
                       "axes), for a frame first the rotation vector of R_a·R_bᵀ (rad). offset_a,\n"
                       "offset_b: velkor.Pose in the links' frames (metres), None for the link\n"
                       "origin and axes. The force of a row is what link_b's side exerts on\n"
                       "link_a, world axes (a frame: the torque about its origin first, N·m, then\n"
                       "the force, N); the opposite acts on link_b.\n\n"
                       "The link ids are checked against the robot and the poses accepted by\n"
                       "robot.constraint_set() (ValueError \"invalid link id {id}\", \"pose contains\n"
                       "non-finite values or a zero quaternion\"). Raises TypeError for a\n"
                       "link id that is a bool or not an integer, a kind that is not a str, an\n"
                       "offset that is not a Pose or None; ValueError for a negative link id or\n"
                       "another kind (\"kind must be 'point' or 'frame', got ...\"). Immutable;\n"
                       "== compares all fields (poses by their stored numbers); unhashable;\n"
                       "pickles and copies.")},
    {Py_tp_new, reinterpret_cast<void*>(entry<loop_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(item_dealloc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(entry<item_compare>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, loop_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<loop_repr>)},
    {0, nullptr},
};
PyType_Spec loop_spec = {"velkor.LoopClosure", sizeof(ItemObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, loop_slots};

// ---- ConstraintSet ----

struct ConstraintSetObject {
  PyObject_HEAD std::shared_ptr<const ConstraintSet>* set;
  PyObject* items;  // the tuple of Contact and LoopClosure it was made from
};

ConstraintSetObject* set_object(PyObject* self) { return reinterpret_cast<ConstraintSetObject*>(self); }
const ConstraintSet& core_set(PyObject* self) { return **set_object(self)->set; }

void set_dealloc(PyObject* self) {
  delete set_object(self)->set;
  Py_XDECREF(set_object(self)->items);
  dealloc_value(self);
}

PyObject* set_count(PyObject* self, void*) { return PyLong_FromSize_t(core_set(self).count()); }
PyObject* set_items(PyObject* self, void*) { return Py_NewRef(set_object(self)->items); }

PyObject* set_rows(PyObject* self, void*) {
  const auto resolved = core_set(self).resolved();
  PyRef rows = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(resolved.size())));
  if (!rows) return nullptr;
  for (std::size_t i = 0; i < resolved.size(); ++i) {
    const auto first = static_cast<Py_ssize_t>(resolved[i].row);
    PyObject* range = PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyRange_Type), "nn", first,
                                            first + static_cast<Py_ssize_t>(resolved[i].rows()));
    if (range == nullptr) return nullptr;
    PyTuple_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), range);
  }
  return rows.release();
}

PyObject* set_baumgarte(PyObject* self, void*) {
  const Baumgarte& gains = core_set(self).gains();
  const double values[2] = {gains.kp, gains.kd};
  return float_tuple(values, 2);
}

// <velkor.ConstraintSet of 2 items, 9 rows, baumgarte=(0.0, 0.0)>
PyObject* set_repr(PyObject* self) {
  const ConstraintSet& set = core_set(self);
  const std::size_t items = set.items().size();
  std::string text = "<velkor.ConstraintSet of " + std::to_string(items) +
                     (items == 1 ? " item, " : " items, ") + std::to_string(set.count()) +
                     (set.count() == 1 ? " row" : " rows") + ", baumgarte=";
  const double gains[2] = {set.gains().kp, set.gains().kd};
  if (!append_float_tuple_repr(text, gains, 2)) return nullptr;
  text += '>';
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyGetSetDef set_getset[] = {
    {"count", entry<set_count>, nullptr,
     "m, the number of constraint rows: 3 per point item, 6 per frame item (the\n"
     "length of the forces and the rows of the constraint Jacobian).",
     nullptr},
    {"items", entry<set_items>, nullptr,
     "The tuple of velkor.Contact and velkor.LoopClosure the set was made from, in\n"
     "row order.",
     nullptr},
    {"rows", entry<set_rows>, nullptr,
     "A new tuple of one range per item: the constraint rows it owns (indices\n"
     "into the forces and the Jacobian's rows), in item order.",
     nullptr},
    {"baumgarte", entry<set_baumgarte>, nullptr,
     "The stabilisation gains (kp, kd) as floats (1/s², 1/s): each row requires\n"
     "J·q̈ + J̇·q̇ = -kd·(J·q̇) - kp·e; (0.0, 0.0) holds the rows exactly.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot set_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("An immutable, checked set of constraints of one robot model, made by\n"
                       "robot.constraint_set(items, baumgarte=(kp, kd)) from velkor.Contact and\n"
                       "velkor.LoopClosure items. Pass it as `constraints` to the constrained\n"
                       "methods (constrained_forward_dynamics, impulse_dynamics,\n"
                       "constraint_jacobian, constraint_acceleration_bias, constraint_poses,\n"
                       "constrained_dynamics_derivatives) of any handle of that model, its forks\n"
                       "and their batches included; a handle of another model (even one loaded\n"
                       "from the same file) raises ValueError \"the constraint set belongs to\n"
                       "another robot model\". Its m = count rows are the items' rows in item\n"
                       "order (rows gives each item's range): 3 for a point, 6 for a frame\n"
                       "(angular, then linear; world axes); a loop closure's rows are link_a's\n"
                       "minus link_b's. Calls read it without copying; it is not instantiable\n"
                       "directly and does not pickle or copy (make it again on the robot from\n"
                       "its items).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(set_dealloc)},
    {Py_tp_getset, set_getset},
    {Py_tp_repr, reinterpret_cast<void*>(entry<set_repr>)},
    {0, nullptr},
};
PyType_Spec set_spec = {
    "velkor.ConstraintSet", sizeof(ConstraintSetObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, set_slots};

bool create_type(PyTypeObject*& slot, PyType_Spec& spec_of_type) {
  if (slot == nullptr) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec_of_type));
  return slot != nullptr;
}

// ---- robot.constraint_set ----

// `items` as a new tuple of Contact and LoopClosure objects; TypeError naming
// the argument (a str is no sequence of items).
PyRef item_tuple(PyObject* items) {
  const Types& t = types();
  if (!PySequence_Check(items) || PyUnicode_Check(items) || PyBytes_Check(items)) {
    PyErr_Format(
        PyExc_TypeError,
        "argument 'items': expected a sequence of velkor.Contact and velkor.LoopClosure, got %s",
        Py_TYPE(items)->tp_name);
    return {};
  }
  PyRef tuple = PyRef::steal(PySequence_Tuple(items));
  if (!tuple) return {};
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple.get()); ++i) {
    PyTypeObject* type = Py_TYPE(PyTuple_GET_ITEM(tuple.get(), i));
    if (type != t.contact && type != t.loop_closure) {
      PyErr_Format(PyExc_TypeError,
                   "argument 'items': item %zd is %s, not velkor.Contact or velkor.LoopClosure", i,
                   type->tp_name);
      return {};
    }
  }
  return tuple;
}

// A pose of an item, accepted (None: the identity).
std::optional<Pose> item_pose(PyObject* pose) {
  if (pose == Py_None) return Pose::identity();
  return accepted_pose(pose);
}

// The core's item of one Contact or LoopClosure: link ids resolved against
// `links`, poses accepted. False with ValueError "items[i]: ..." set.
bool core_item(PyObject* object, Py_ssize_t i, const LinkTable& links, ConstraintItem& item) {
  const auto failed = [i] {
    PyRef where = PyRef::steal(PyUnicode_FromFormat("items[%zd]", i));
    if (where) reraise_naming(PyExc_ValueError, where.get());
    return false;
  };
  const ItemObject* o = item_object(object);
  const bool contact = Py_TYPE(object) == types().contact;
  item.kind = kinds[o->kind];
  const auto a = target_link(links, o->link_a);
  if (!a) return failed();
  item.link_a = *a;
  if (!contact) {
    const auto b = target_link(links, o->link_b);
    if (!b) return failed();
    item.link_b = *b;
  }
  const auto offset_a = item_pose(o->offset_a);
  if (!offset_a) return failed();
  const auto second = item_pose(o->second);
  if (!second) return failed();
  item.offset_a = *offset_a;
  if (!contact) item.offset_b = *second;
  else if (o->second != Py_None) item.target = *second;
  return true;
}

PyObject* new_constraint_set(ConstraintSet set, PyRef items) {
  PyTypeObject* type = types().constraint_set;
  auto core = std::make_unique<std::shared_ptr<const ConstraintSet>>(
      std::make_shared<const ConstraintSet>(std::move(set)));
  auto* self = set_object(type->tp_alloc(type, 0));
  if (self == nullptr) return nullptr;
  self->set = core.release();
  self->items = items.release();
  return reinterpret_cast<PyObject*>(self);
}

}  // namespace

bool create_constraint_types() {
  Types& t = types();
  return create_type(t.contact, contact_spec) && create_type(t.loop_closure, loop_spec) &&
         create_type(t.constraint_set, set_spec);
}

template <class CoreRobot>
PyObject* handle_constraint_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const char* const names[] = {"items", "baumgarte"};
  static const std::string function = std::string(HandleTraits<CoreRobot>::class_name) +
                                      ".constraint_set";
  static const Signature signature{function.c_str(), names, 2, 1, 1};
  PyObject* arg[2];
  if (!parse_arguments(signature, args, nargs, kwnames, arg)) return nullptr;
  PyRef items = item_tuple(arg[0]);
  if (!items) return nullptr;
  double gains[2] = {0.0, 0.0};
  if (arg[1] != nullptr && !read_numbers(arg[1], "baumgarte", gains, 2)) return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  std::vector<ConstraintItem> core_items(static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())));
  for (std::size_t i = 0; i < core_items.size(); ++i) {
    const auto at = static_cast<Py_ssize_t>(i);
    if (!core_item(PyTuple_GET_ITEM(items.get(), at), at, *h.link_table, core_items[i])) return nullptr;
  }
  std::optional<ConstraintSet> set;
  if (!with_locked(h, [&](Calculation<CoreRobot>& c, DeferredError& error) {
        auto made = ConstraintSet::make(c.model(), core_items, Baumgarte{gains[0], gains[1]});
        if (made) set.emplace(std::move(*made));
        else error.set(std::move(made.error()));
      }))
    return nullptr;
  return new_constraint_set(std::move(*set), std::move(items));
}

template PyObject* handle_constraint_set<Robot>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* handle_constraint_set<FloatingRobot>(PyObject*, PyObject* const*, Py_ssize_t,
                                                        PyObject*);

std::shared_ptr<const ConstraintSet> constraint_set_argument(PyObject* value, const char* name) {
  if (Py_TYPE(value) == types().constraint_set) return *set_object(value)->set;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected %s, got %s", name,
               types().constraint_set->tp_name, Py_TYPE(value)->tp_name);
  return nullptr;
}

bool constraint_set_of_model(const ConstraintSet& set, const LinkTable& links) {
  if (set.model_id() == links.front().model_id) return true;
  PyErr_SetString(PyExc_ValueError, "the constraint set belongs to another robot model");
  return false;
}

}  // namespace velkor::py
