#include "model_info.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "arguments.hpp"
#include "arrays.hpp"
#include "numpy.hpp"
#include "py_ref.hpp"
#include "robot/coupling.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

PyTypeObject* joint_record_type = nullptr;

PyStructSequence_Field joint_fields[] = {
    {"name", "joint name"},
    {"type", "as in the file: 'revolute', 'continuous', 'prismatic' or 'fixed'"},
    {"parent", "link id of the parent link"},
    {"child", "link id of the child link (the joint leads to it)"},
    {"dof", "DOF index, or None for a fixed joint or a coupled mimic joint"},
    {nullptr, nullptr},
};

PyStructSequence_Desc joint_desc = {
    "velkor.Joint",
    "One joint of a robot model: Joint(name, type, parent, child, dof), a named\n"
    "tuple from Robot.joints and FloatingRobot.joints. type is as in the file\n"
    "('revolute', 'continuous', 'prismatic' or 'fixed'); parent and child are\n"
    "link ids (joint k leads to link k + 1); dof is the joint's position in q, or\n"
    "None for a fixed joint and for a mimic joint loaded with mimic='couple'\n"
    "(it follows its leader: see mimic_joints).",
    joint_fields,
    5,
};

PyObject* text(const std::string& value) {
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

template <class F>
PyObject* tuple_of(std::size_t count, F&& item) {
  PyRef tuple = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* value = item(i);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), value);
  }
  return tuple.release();
}

// A new float64 array of `count` values, read-only unless `writeable`.
template <class F>
PyObject* array_of(std::size_t count, F&& value, bool writeable = false) {
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  PyObject* array = PyArray_SimpleNew(1, dims, NPY_DOUBLE);
  if (array == nullptr) return nullptr;
  auto* a = reinterpret_cast<PyArrayObject*>(array);
  auto* data = static_cast<double*>(PyArray_DATA(a));
  for (std::size_t i = 0; i < count; ++i) data[i] = value(i);
  if (!writeable) PyArray_CLEARFLAGS(a, NPY_ARRAY_WRITEABLE);
  return array;
}

PyObject* index_array(const std::vector<npy_intp>& values) {
  npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
  PyObject* array = PyArray_SimpleNew(1, dims, NPY_INTP);
  if (array == nullptr) return nullptr;
  std::copy(values.begin(), values.end(),
            static_cast<npy_intp*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))));
  return array;
}

// Joint k's coordinate: none for a fixed joint, and none for a mimic joint
// that follows its leader.
std::optional<std::size_t> joint_coordinate(const Model& model, std::size_t k) {
  const auto& dof = model.joint_dof[k];
  if (!dof || !model.coupling) return dof;
  const Coupling& coupling = *model.coupling;
  const std::size_t g = coupling.group[*dof];
  if (coupling.free_dof[g] != *dof) return std::nullopt;
  return g;
}

std::unordered_map<std::string_view, std::size_t> dofs_by_name(const Model& model) {
  std::unordered_map<std::string_view, std::size_t> map;
  for (std::size_t d = 0; d < coordinate_count(model); ++d)
    map.emplace(coordinate_joint(model, d).name, d);
  return map;
}

// The UTF-8 text of a str argument; nullopt with TypeError naming it otherwise.
std::optional<std::string> name_argument(PyObject* value, const char* what) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s: expected str, got %s", what, Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(value, "utf-8", "surrogatepass"));
  if (!encoded) return std::nullopt;
  return std::string(PyBytes_AS_STRING(encoded.get()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// The names among `candidates` that the standard library ranks close to `name`: a new list.
PyObject* close_matches(PyObject* name, PyObject* candidates) {
  PyRef difflib = PyRef::steal(PyImport_ImportModule("difflib"));
  return candidates && difflib
             ? PyObject_CallMethod(difflib.get(), "get_close_matches", "OO", name, candidates)
             : nullptr;
}

// Sets ValueError for `name`, which no DOF has: "{prefix}no degree of freedom is
// named ...", with the close matches the standard library ranks among the DOF
// names. Always nullptr.
PyObject* no_dof_named(const Model& model, PyObject* name, const char* prefix) {
  PyRef names = PyRef::steal(dof_names(model));
  PyRef close = PyRef::steal(close_matches(name, names.get()));
  if (!close) return nullptr;
  PyRef listed = PyRef::steal(PyObject_Repr(close.get()));
  if (!listed) return nullptr;
  if (PyList_GET_SIZE(close.get()) == 0)
    PyErr_Format(PyExc_ValueError, "%sno degree of freedom is named %R", prefix, name);
  else
    PyErr_Format(PyExc_ValueError, "%sno degree of freedom is named %R; close matches: %U", prefix, name,
                 listed.get());
  return nullptr;
}

// Whether `mapping` is a dict or registers as a collections.abc.Mapping; -1 with an exception set.
int is_mapping(PyObject* mapping) {
  if (PyDict_Check(mapping)) return 1;
  PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
  PyRef type = abc ? PyRef::steal(PyObject_GetAttrString(abc.get(), "Mapping")) : PyRef();
  return type ? PyObject_IsInstance(mapping, type.get()) : -1;
}

// mapping[name] as float() reads a real number; false with TypeError naming the
// entry. Complex numbers and arrays with dimensions are refused here rather than
// cut down to a real part or a first element.
bool entry_value(PyObject* value, PyObject* name, double& out) {
  if (PyFloat_CheckExact(value)) {
    out = PyFloat_AS_DOUBLE(value);
    return true;
  }
  const bool array = PyArray_Check(value);
  const bool refused = PyComplex_Check(value) || PyArray_IsScalar(value, ComplexFloating) ||
                       (array && (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) > 0 ||
                                  PyArray_ISCOMPLEX(reinterpret_cast<PyArrayObject*>(value))));
  if (!refused) {
    out = PyFloat_AsDouble(value);
    if (out != -1.0 || !PyErr_Occurred()) return true;
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {  // an int too large for a float: keep the reason
      PyRef where = PyRef::steal(PyUnicode_FromFormat("mapping[%R]", name));
      if (where) reraise_naming(PyExc_TypeError, where.get());
      return false;
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;  // raised by the value's own __float__
    PyErr_Clear();
  }
  if (array) {
    PyRef shape = PyRef::steal(PyObject_GetAttrString(value, "shape"));
    if (shape)
      PyErr_Format(PyExc_TypeError, "mapping[%R]: must be real number, not %s of shape %R", name,
                   Py_TYPE(value)->tp_name, shape.get());
  } else {
    PyErr_Format(PyExc_TypeError, "mapping[%R]: must be real number, not %s", name,
                 Py_TYPE(value)->tp_name);
  }
  return false;
}

// ValueError naming the DOFs `missing` lists (the first few of them).
PyObject* missing_dofs(const Model& model, const std::vector<std::size_t>& missing) {
  constexpr std::size_t shown = 6;
  const std::size_t count = std::min(shown, missing.size());
  PyRef reprs = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!reprs) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyRef name = PyRef::steal(text(coordinate_joint(model, missing[i]).name));
    PyObject* repr = name ? PyObject_Repr(name.get()) : nullptr;
    if (repr == nullptr) return nullptr;
    PyList_SET_ITEM(reprs.get(), static_cast<Py_ssize_t>(i), repr);
  }
  PyRef separator = PyRef::steal(PyUnicode_FromString(", "));
  PyRef listed = separator ? PyRef::steal(PyUnicode_Join(separator.get(), reprs.get())) : PyRef();
  if (!listed) return nullptr;
  if (missing.size() > count)
    PyErr_Format(
        PyExc_ValueError,
        "mapping lacks %zu of the %zu degrees of freedom: %U and %zu more (pass default= to fill them)",
        missing.size(), coordinate_count(model), listed.get(), missing.size() - count);
  else
    PyErr_Format(PyExc_ValueError,
                 "mapping lacks %zu of the %zu degrees of freedom: %U (pass default= to fill them)",
                 missing.size(), coordinate_count(model), listed.get());
  return nullptr;
}

PyTypeObject* shape_record_type = nullptr;

PyStructSequence_Field shape_fields[] = {
    {"link", "link id of the link the shape is fixed to"},
    {"origin", "velkor.Pose of the shape's frame in the link's frame"},
    {"geometry", "'box', 'cylinder', 'capsule', 'sphere', 'plane' or 'mesh'"},
    {"size",
     "metres: a box's edges (x, y, z), a cylinder's or a capsule's (radius, length), a sphere's\n"
     "(radius,), a mesh's (); a plane's unit normal (x, y, z)"},
    {"filename", "a mesh's file name as written in the file (package://, file:// or a path), else None"},
    {"scale", "a mesh's scale (x, y, z); (1.0, 1.0, 1.0) for the other shapes"},
    {"color",
     "(r, g, b, a) from 0 to 1: the visual's own <color>, or its named top-level material's; None"},
    {"name", "the element's name attribute, or None"},
    {"material", "a visual's <material name=...>, or None"},
    {nullptr, nullptr},
};

PyStructSequence_Desc shape_desc = {
    "velkor.Shape",
    "One <visual> or <collision> element of a robot's link, as the file gives\n"
    "it: Shape(link, origin, geometry, size, filename, scale, color, name,\n"
    "material), a named tuple from Robot.visuals and Robot.collisions (and the\n"
    "FloatingRobot's). The shape's frame is `origin` in the link's frame; a\n"
    "cylinder's axis is its z axis, a box is centred on its frame. A capsule is\n"
    "a cylinder of `length` along its z axis capped by half spheres of its radius\n"
    "(2·radius + length long). A plane passes through the shape's origin with the\n"
    "unit normal `size` (the frame's axes) and is infinite: a half-space, solid on\n"
    "the side away from the normal.",
    shape_fields,
    9,
};

// A new record of `type` holding the K `fields` (new references, nullptr for
// one that failed: then nullptr with its exception set).
template <std::size_t K>
PyObject* new_record(PyTypeObject* type, std::array<PyObject*, K> fields) {
  PyRef record = PyRef::steal(PyStructSequence_New(type));
  bool ok = static_cast<bool>(record);
  for (std::size_t f = 0; f < K; ++f) {
    ok = ok && fields[f] != nullptr;
    if (record)
      PyStructSequence_SetItem(record.get(), static_cast<Py_ssize_t>(f),
                               fields[f] ? fields[f] : Py_NewRef(Py_None));
    else Py_XDECREF(fields[f]);
  }
  return ok ? record.release() : nullptr;
}

PyObject* text_or_none(const std::string& value) {
  return value.empty() ? Py_NewRef(Py_None) : text(value);
}

PyObject* shape_records(const std::vector<LinkShape>& shapes) {
  if (shape_record_type == nullptr &&
      (shape_record_type = PyStructSequence_NewType(&shape_desc)) == nullptr)
    return nullptr;
  static constexpr const char* kinds[] = {"box", "cylinder", "sphere", "mesh", "capsule", "plane"};
  static constexpr Py_ssize_t sizes[] = {3, 2, 1, 0, 2, 3};
  return tuple_of(shapes.size(), [&](std::size_t i) {
    const LinkShape& shape = shapes[i];
    const auto kind = static_cast<std::size_t>(shape.kind);
    return new_record<9>(shape_record_type,
                         {PyLong_FromSize_t(shape.link), new_pose(shape.origin),
                          PyUnicode_FromString(kinds[kind]), float_tuple(shape.size.data(), sizes[kind]),
                          shape.kind == ShapeKind::Mesh ? text(shape.filename) : Py_NewRef(Py_None),
                          float_tuple(shape.scale.data(), 3),
                          shape.color ? float_tuple(shape.color->data(), 4) : Py_NewRef(Py_None),
                          text_or_none(shape.name), text_or_none(shape.material)});
  });
}

PyTypeObject* skipped_record_type = nullptr;

PyStructSequence_Field skipped_fields[] = {
    {"link", "link id of the link the element belongs to"},
    {"element", "'visual' or 'collision'"},
    {"index_in_link",
     "the element's place among the link's elements of its kind, in file order, from 0"},
    {"reason", "what the element holds that velkor cannot read"},
    {nullptr, nullptr},
};

PyStructSequence_Desc skipped_desc = {
    "velkor.SkippedShape",
    "A <visual> or <collision> element that loading left out because velkor\n"
    "cannot read its shape (an unknown one such as <cdf>, none, two, or one with\n"
    "missing or bad sizes): SkippedShape(link, element, index_in_link, reason), a named\n"
    "tuple from Robot.skipped_shapes and FloatingRobot.skipped_shapes. The\n"
    "robot's dynamics do not depend on it.",
    skipped_fields,
    4,
};

}  // namespace

PyObject* source_path(const Model& model) { return text_or_none(model.path); }

PyObject* skipped_shape_records(const Model& model) {
  if (skipped_record_type == nullptr &&
      (skipped_record_type = PyStructSequence_NewType(&skipped_desc)) == nullptr)
    return nullptr;
  return tuple_of(model.skipped_shapes.size(), [&](std::size_t i) {
    const SkippedShape& skipped = model.skipped_shapes[i];
    return new_record<4>(
        skipped_record_type,
        {PyLong_FromSize_t(skipped.link), PyUnicode_FromString(skipped.visual ? "visual" : "collision"),
         PyLong_FromSize_t(skipped.index), text(skipped.reason)});
  });
}

PyObject* visual_records(const Model& model) { return shape_records(model.visuals); }
PyObject* collision_records(const Model& model) { return shape_records(model.collisions); }

bool create_joint_record_type() {
  if (joint_record_type == nullptr) joint_record_type = PyStructSequence_NewType(&joint_desc);
  return joint_record_type != nullptr;
}

PyObject* link_names(const Model& model) {
  return tuple_of(model.link_count(), [&](std::size_t i) { return text(model.links[i].name); });
}

PyObject* joint_records(const Model& model) {
  if (!create_joint_record_type()) return nullptr;
  return tuple_of(model.joint_count(), [&](std::size_t k) {
    const Joint& joint = model.joints[k];
    const auto dof = joint_coordinate(model, k);
    return new_record<5>(joint_record_type,
                         {text(joint.name), text(joint.type), PyLong_FromSize_t(model.parent[k]),
                          PyLong_FromSize_t(k + 1), dof ? PyLong_FromSize_t(*dof) : Py_NewRef(Py_None)});
  });
}

PyObject* dof_names(const Model& model) {
  return tuple_of(coordinate_count(model),
                  [&](std::size_t d) { return text(coordinate_joint(model, d).name); });
}

void suggest_link_names(const Model& model, PyObject* name) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef names = PyRef::steal(link_names(model));
  PyRef close = PyRef::steal(close_matches(name, names.get()));
  PyRef listed = close && PyList_GET_SIZE(close.get()) > 0 ? PyRef::steal(PyObject_Repr(close.get()))
                                                           : PyRef();
  PyRef text = listed && value ? PyRef::steal(PyObject_Str(value)) : PyRef();
  if (!text) {  // nothing close, or no way to say it: the error as it was
    PyErr_Clear();
    PyErr_Restore(type, value, traceback);
    return;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Format(PyExc_ValueError, "%U; close matches: %U", text.get(), listed.get());
}

PyObject* dof_index(const Model& model, PyObject* name) {
  const auto wanted = name_argument(name, "argument 'name'");
  if (!wanted) return nullptr;
  for (std::size_t d = 0; d < coordinate_count(model); ++d)
    if (coordinate_joint(model, d).name == *wanted) return PyLong_FromSize_t(d);
  return no_dof_named(model, name, "");
}

PyObject* joint_vector(const Model& model, PyObject* mapping, PyObject* fill) {
  const int is_map = is_mapping(mapping);
  if (is_map < 0) return nullptr;
  if (!is_map) {
    PyErr_Format(PyExc_TypeError,
                 "argument 'mapping': expected a mapping of joint names to numbers, got %s",
                 Py_TYPE(mapping)->tp_name);
    return nullptr;
  }
  std::optional<double> filler;
  if (fill != nullptr && fill != Py_None) {
    double value = 0.0;
    if (!number_argument(fill, "default", value)) return nullptr;
    if (!std::isfinite(value)) {
      PyRef shown = PyRef::steal(PyFloat_FromDouble(value));
      if (shown)
        PyErr_Format(PyExc_ValueError, "argument 'default': must be finite, not %R", shown.get());
      return nullptr;
    }
    filler = value;
  }
  const std::size_t n = coordinate_count(model);
  const auto ours = dofs_by_name(model);
  std::vector<double> q(n, 0.0);
  std::vector<char> given(n, 0);
  // A new list of (name, value) pairs: the mapping's own code (__float__ of a
  // value, a custom items()) cannot change what is being read.
  PyRef items = PyRef::steal(PyMapping_Items(mapping));
  if (!items) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyRef pair = PyRef::borrow(PyList_GET_ITEM(items.get(), i));
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_TypeError, "mapping.items() must give (name, value) pairs, got %s",
                   Py_TYPE(pair.get())->tp_name);
      return nullptr;
    }
    PyObject* key = PyTuple_GET_ITEM(pair.get(), 0);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "mapping keys must be joint names (str), got %s",
                   Py_TYPE(key)->tp_name);
      return nullptr;
    }
    const auto name = name_argument(key, "mapping keys");
    if (!name) return nullptr;
    const auto found = ours.find(*name);
    if (found == ours.end()) {
      for (std::size_t k = 0; k < model.joint_count(); ++k)
        if (model.joints[k].name == *name) {
          PyErr_Format(PyExc_ValueError, "mapping: %R is a fixed joint, not a degree of freedom", key);
          return nullptr;
        }
      return no_dof_named(model, key, "mapping: ");
    }
    const std::size_t d = found->second;
    if (given[d]) {
      PyErr_Format(PyExc_ValueError, "%R appears twice in mapping", key);
      return nullptr;
    }
    double value = 0.0;
    if (!entry_value(PyTuple_GET_ITEM(pair.get(), 1), key, value)) return nullptr;
    if (!std::isfinite(value)) {
      PyRef shown = PyRef::steal(PyFloat_FromDouble(value));
      if (shown) PyErr_Format(PyExc_ValueError, "mapping[%R]: must be finite, not %R", key, shown.get());
      return nullptr;
    }
    q[d] = value;
    given[d] = 1;
  }
  std::vector<std::size_t> missing;
  for (std::size_t d = 0; d < n; ++d)
    if (!given[d]) {
      if (filler) q[d] = *filler;
      else missing.push_back(d);
    }
  if (!missing.empty()) return missing_dofs(model, missing);
  return array_of(n, [&](std::size_t d) { return q[d]; }, true);
}

PyObject* joint_dict(const Model& model, PyObject* q) {
  InputArray input;
  Hold hold;  // released before the array it covers
  if (!input.extract(q, "q")) return nullptr;
  if (!InputArray::hold(std::span<InputArray>(&input, 1), hold)) return nullptr;
  const std::size_t n = coordinate_count(model);
  if (input.size() != n) {
    PyErr_Format(PyExc_ValueError, "expected %zu elements in q, found %zu", n, input.size());
    return nullptr;
  }
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const auto values = input.values();
  for (std::size_t d = 0; d < n; ++d) {
    PyRef key = PyRef::steal(text(coordinate_joint(model, d).name));
    PyRef value = PyRef::steal(PyFloat_FromDouble(values[d]));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* dof_order(const Model& model, PyObject* names, bool inverse) {
  // The order of the names is the answer: a set has none that stays put.
  if (PyAnySet_Check(names)) {
    PyErr_Format(PyExc_TypeError, "names must be an ordered sequence of joint names, got %s (unordered)",
                 Py_TYPE(names)->tp_name);
    return nullptr;
  }
  PyRef sequence = fixed_sequence(names, "names must be a sequence of joint names");
  if (!sequence) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  const auto ours = dofs_by_name(model);
  std::vector<npy_intp> position(coordinate_count(model), -1);  // per DOF: its index in `names`
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
    const auto name = name_argument(item, "names");
    if (!name) return nullptr;
    const auto found = ours.find(*name);
    if (found == ours.end()) {
      if (!inverse) continue;  // another library's extra entries
      PyErr_Format(PyExc_ValueError, "%R is not a degree of freedom of this robot", item);
      return nullptr;
    }
    if (position[found->second] >= 0) {
      PyErr_Format(PyExc_ValueError, "%R appears twice in names", item);
      return nullptr;
    }
    position[found->second] = i;
  }
  for (std::size_t d = 0; d < coordinate_count(model); ++d)
    if (position[d] < 0) {
      PyRef missing = PyRef::steal(text(coordinate_joint(model, d).name));
      if (missing) PyErr_Format(PyExc_ValueError, "names lacks the degree of freedom %R", missing.get());
      return nullptr;
    }
  if (!inverse) return index_array(position);
  std::vector<npy_intp> back(position.size());  // q_theirs[i] = q_ours[back[i]]
  for (std::size_t d = 0; d < position.size(); ++d)
    back[static_cast<std::size_t>(position[d])] = static_cast<npy_intp>(d);
  return index_array(back);
}

PyObject* limits(const Model& model, Limit which) {
  return array_of(coordinate_count(model), [&](std::size_t d) {
    const Joint& joint = coordinate_joint(model, d);
    switch (which) {
      case Limit::Lower: return joint.lower;
      case Limit::Upper: return joint.upper;
      case Limit::Velocity: return joint.velocity_limit;
      case Limit::Effort: return joint.effort_limit;
    }
    return 0.0;
  });
}

PyObject* mimic_joints(const Model& model) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const MimicJoint& m : model.mimic_joints) {
    PyRef key = PyRef::steal(
        PyUnicode_FromStringAndSize(m.joint.data(), static_cast<Py_ssize_t>(m.joint.size())));
    PyRef value = PyRef::steal(Py_BuildValue(
        "(s#dd)", m.leader.data(), static_cast<Py_ssize_t>(m.leader.size()), m.multiplier, m.offset));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

namespace {

PyTypeObject* inertia_repair_type = nullptr;

PyStructSequence_Field inertia_repair_fields[] = {
    {"link", "link name"},
    {"defect", "minus the smallest eigenvalue of the written inertia (kg·m², > 0)"},
    {"relative_defect", "defect over the largest principal moment among the file's links"},
    {"written", "(ixx, ixy, ixz, iyy, iyz, izz) as the file writes them (kg·m²)"},
    {"held", "(ixx, ixy, ixz, iyy, iyz, izz) the model holds instead (kg·m²)"},
    {nullptr, nullptr},
};

PyStructSequence_Desc inertia_repair_desc = {
    "velkor.InertiaRepair",
    "A link inertia that inertia_tolerance accepted although it is not positive\n"
    "semi-definite: InertiaRepair(link, defect, relative_defect, written, held), a\n"
    "named tuple from Robot.repaired_inertias and FloatingRobot.repaired_inertias.\n"
    "defect (kg·m²) is minus the smallest eigenvalue of the inertia as written;\n"
    "relative_defect divides it by the largest principal moment among the file's\n"
    "links. written and held are (ixx, ixy, ixz, iyy, iyz, izz) in kg·m², about\n"
    "the centre of mass in the <inertial> axes: the file's values, and the ones\n"
    "the model holds (written with its negative eigenvalues set to zero, so held\n"
    "differs from written by about defect).",
    inertia_repair_fields,
    5,
};

PyObject* inertia_entries(const Mat3& m) {
  const double values[6] = {m(0, 0), m(0, 1), m(0, 2), m(1, 1), m(1, 2), m(2, 2)};
  PyRef tuple = PyRef::steal(PyTuple_New(6));
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < 6; ++i) {
    PyObject* number = PyFloat_FromDouble(values[i]);
    if (number == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), i, number);
  }
  return tuple.release();
}

}  // namespace

PyObject* repaired_inertias(const Model& model) {
  if (inertia_repair_type == nullptr)
    inertia_repair_type = PyStructSequence_NewType(&inertia_repair_desc);
  if (inertia_repair_type == nullptr) return nullptr;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(model.inertia_repairs.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < model.inertia_repairs.size(); ++i) {
    const InertiaRepair& r = model.inertia_repairs[i];
    PyRef record = PyRef::steal(PyStructSequence_New(inertia_repair_type));
    if (!record) return nullptr;
    PyObject* fields[] = {text(r.link), PyFloat_FromDouble(r.defect),
                          PyFloat_FromDouble(r.relative_defect), inertia_entries(r.written),
                          inertia_entries(r.held)};
    bool ok = true;
    for (Py_ssize_t f = 0; f < 5; ++f) {
      ok = ok && fields[f] != nullptr;
      PyStructSequence_SetItem(record.get(), f, fields[f] ? fields[f] : Py_NewRef(Py_None));
    }
    if (!ok) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record.release());
  }
  return list.release();
}

PyObject* link_masses(const Model& model) {
  return array_of(model.link_count(),
                  [&](std::size_t i) { return model.links[i].mass_properties.mass; });
}

PyObject* total_mass(const Model& model) {
  double mass = 0.0;
  for (const Link& link : model.links) mass += link.mass_properties.mass;
  return PyFloat_FromDouble(mass);
}

PyObject* neutral_configuration(const Model& model) {
  return array_of(
      coordinate_count(model),
      [&](std::size_t d) {
        const Joint& joint = coordinate_joint(model, d);
        return std::clamp(0.0, joint.lower, joint.upper);
      },
      true);
}

PyObject* random_configuration(const Model& model, PyObject* rng) {
  PyRef random = PyRef::steal(PyImport_ImportModule("numpy.random"));
  if (!random) return nullptr;
  PyRef generator_type = PyRef::steal(PyObject_GetAttrString(random.get(), "Generator"));
  if (!generator_type) return nullptr;
  const int is_generator = rng != nullptr ? PyObject_IsInstance(rng, generator_type.get()) : 0;
  if (is_generator < 0) return nullptr;
  PyRef generator = is_generator ? PyRef::borrow(rng)
                                 : PyRef::steal(PyObject_CallMethod(random.get(), "default_rng", "O",
                                                                    rng != nullptr ? rng : Py_None));
  if (!generator) return nullptr;
  // Uniform draws in [0, 1) from the generator, checked (a Generator subclass
  // may hand back anything), then placed between the limits here: the same
  // numbers as generator.uniform(lower, upper) gives, and no overflow where
  // upper - lower does not fit in a double.
  const std::size_t n = coordinate_count(model);
  PyRef drawn =
      PyRef::steal(PyObject_CallMethod(generator.get(), "random", "n", static_cast<Py_ssize_t>(n)));
  if (!drawn) return nullptr;
  auto* u = reinterpret_cast<PyArrayObject*>(drawn.get());
  if (!PyArray_Check(drawn.get()) || PyArray_TYPE(u) != NPY_DOUBLE || PyArray_NDIM(u) != 1 ||
      static_cast<std::size_t>(PyArray_DIM(u, 0)) != n) {
    PyErr_Format(PyExc_TypeError, "rng.random(%zu) must return a float64 array of %zu values, got %s", n,
                 n, Py_TYPE(drawn.get())->tp_name);
    return nullptr;
  }
  for (std::size_t d = 0; d < n; ++d) {
    const double x = *static_cast<const double*>(PyArray_GETPTR1(u, static_cast<npy_intp>(d)));
    if (!(x >= 0.0 && x < 1.0)) {
      PyRef value = PyRef::steal(PyFloat_FromDouble(x));
      if (value)
        PyErr_Format(PyExc_ValueError, "rng.random(%zu) must return values in [0, 1), got %R", n,
                     value.get());
      return nullptr;
    }
  }
  constexpr double pi = std::numbers::pi;
  return array_of(
      n,
      [&](std::size_t d) {
        const Joint& joint = coordinate_joint(model, d);
        const double lower = std::isinf(joint.lower) ? -pi : joint.lower;
        const double upper = std::isinf(joint.upper) ? pi : joint.upper;
        const double x = *static_cast<const double*>(PyArray_GETPTR1(u, static_cast<npy_intp>(d)));
        const double range = upper - lower;
        const double q = std::isfinite(range) ? lower + range * x : lower * (1.0 - x) + upper * x;
        return std::clamp(q, lower, upper);
      },
      true);
}

}  // namespace velkor::py
