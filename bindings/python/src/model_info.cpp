#include "model_info.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <string_view>
#include <unordered_map>

#include "numpy.hpp"
#include "py_ref.hpp"

namespace velkor::py {
namespace {

PyTypeObject* joint_record_type = nullptr;

PyStructSequence_Field joint_fields[] = {
    {"name", "joint name"},
    {"type", "as in the file: 'revolute', 'continuous', 'prismatic' or 'fixed'"},
    {"parent", "link id of the parent link"},
    {"child", "link id of the child link (the joint leads to it)"},
    {"dof", "DOF index, or None for a fixed joint"},
    {nullptr, nullptr},
};

PyStructSequence_Desc joint_desc = {
    "velkor.Joint",
    "One joint of a robot model: Joint(name, type, parent, child, dof), a named\n"
    "tuple from Robot.joints and FloatingRobot.joints. type is as in the file\n"
    "('revolute', 'continuous', 'prismatic' or 'fixed'); parent and child are\n"
    "link ids (joint k leads to link k + 1); dof is the joint's position in q, or\n"
    "None for a fixed joint.",
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

const Joint& dof_joint(const Model& model, std::size_t d) { return model.joints[model.dof_list[d]]; }

std::unordered_map<std::string_view, std::size_t> dofs_by_name(const Model& model) {
  std::unordered_map<std::string_view, std::size_t> map;
  for (std::size_t d = 0; d < model.dof_count(); ++d) map.emplace(dof_joint(model, d).name, d);
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
  return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

}  // namespace

bool create_joint_record_type() {
  if (joint_record_type == nullptr) joint_record_type = PyStructSequence_NewType(&joint_desc);
  return joint_record_type != nullptr;
}

PyObject* link_names(const Model& model) {
  return tuple_of(model.link_count(), [&](std::size_t i) { return text(model.links[i].name); });
}

PyObject* joint_records(const Model& model) {
  if (!create_joint_record_type()) return nullptr;
  return tuple_of(model.joint_count(), [&](std::size_t k) -> PyObject* {
    const Joint& joint = model.joints[k];
    PyRef record = PyRef::steal(PyStructSequence_New(joint_record_type));
    if (!record) return nullptr;
    const auto& dof = model.joint_dof[k];
    PyObject* fields[] = {text(joint.name), text(joint.type), PyLong_FromSize_t(model.parent[k]),
                          PyLong_FromSize_t(k + 1), dof ? PyLong_FromSize_t(*dof) : Py_NewRef(Py_None)};
    bool ok = true;
    for (Py_ssize_t i = 0; i < 5; ++i) {
      ok = ok && fields[i] != nullptr;
      PyStructSequence_SetItem(record.get(), i, fields[i] ? fields[i] : Py_NewRef(Py_None));
    }
    return ok ? record.release() : nullptr;
  });
}

PyObject* dof_names(const Model& model) {
  return tuple_of(model.dof_count(), [&](std::size_t d) { return text(dof_joint(model, d).name); });
}

PyObject* dof_index(const Model& model, PyObject* name) {
  const auto wanted = name_argument(name, "argument 'name'");
  if (!wanted) return nullptr;
  for (std::size_t d = 0; d < model.dof_count(); ++d)
    if (dof_joint(model, d).name == *wanted) return PyLong_FromSize_t(d);
  // Not found: suggest the closest names, as the standard library ranks them.
  PyRef names = PyRef::steal(dof_names(model));
  PyRef difflib = PyRef::steal(PyImport_ImportModule("difflib"));
  PyRef close = names && difflib ? PyRef::steal(PyObject_CallMethod(difflib.get(), "get_close_matches",
                                                                     "OO", name, names.get()))
                                 : PyRef();
  if (!close) return nullptr;
  PyRef listed = PyRef::steal(PyObject_Repr(close.get()));
  if (!listed) return nullptr;
  if (PyList_GET_SIZE(close.get()) == 0)
    PyErr_Format(PyExc_ValueError, "no degree of freedom is named %R", name);
  else
    PyErr_Format(PyExc_ValueError, "no degree of freedom is named %R; close matches: %U", name, listed.get());
  return nullptr;
}

PyObject* dof_order(const Model& model, PyObject* names, bool inverse) {
  // The order of the names is the answer: a set has none that stays put.
  if (PyAnySet_Check(names)) {
    PyErr_Format(PyExc_TypeError, "names must be an ordered sequence of joint names, got %s (unordered)",
                 Py_TYPE(names)->tp_name);
    return nullptr;
  }
  PyRef sequence = PyRef::steal(PySequence_Fast(names, "names must be a sequence of joint names"));
  if (!sequence) return nullptr;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  const auto ours = dofs_by_name(model);
  std::vector<npy_intp> position(model.dof_count(), -1);  // per DOF: its index in `names`
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
  for (std::size_t d = 0; d < model.dof_count(); ++d)
    if (position[d] < 0) {
      PyRef missing = PyRef::steal(text(dof_joint(model, d).name));
      if (missing) PyErr_Format(PyExc_ValueError, "names lacks the degree of freedom %R", missing.get());
      return nullptr;
    }
  if (!inverse) return index_array(position);
  std::vector<npy_intp> back(position.size());  // q_theirs[i] = q_ours[back[i]]
  for (std::size_t d = 0; d < position.size(); ++d) back[static_cast<std::size_t>(position[d])] = static_cast<npy_intp>(d);
  return index_array(back);
}

PyObject* limits(const Model& model, Limit which) {
  return array_of(model.dof_count(), [&](std::size_t d) {
    const Joint& joint = dof_joint(model, d);
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
    PyRef key = PyRef::steal(PyUnicode_FromStringAndSize(m.joint.data(), static_cast<Py_ssize_t>(m.joint.size())));
    PyRef value = PyRef::steal(Py_BuildValue("(s#dd)", m.leader.data(), static_cast<Py_ssize_t>(m.leader.size()),
                                             m.multiplier, m.offset));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* link_masses(const Model& model) {
  return array_of(model.link_count(), [&](std::size_t i) { return model.links[i].mass_properties.mass; });
}

PyObject* total_mass(const Model& model) {
  double mass = 0.0;
  for (const Link& link : model.links) mass += link.mass_properties.mass;
  return PyFloat_FromDouble(mass);
}

PyObject* neutral_configuration(const Model& model) {
  return array_of(model.dof_count(), [&](std::size_t d) {
    const Joint& joint = dof_joint(model, d);
    return std::clamp(0.0, joint.lower, joint.upper);
  }, true);
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
  const std::size_t n = model.dof_count();
  PyRef drawn = PyRef::steal(PyObject_CallMethod(generator.get(), "random", "n", static_cast<Py_ssize_t>(n)));
  if (!drawn) return nullptr;
  auto* u = reinterpret_cast<PyArrayObject*>(drawn.get());
  if (!PyArray_Check(drawn.get()) || PyArray_TYPE(u) != NPY_DOUBLE || PyArray_NDIM(u) != 1 ||
      static_cast<std::size_t>(PyArray_DIM(u, 0)) != n) {
    PyErr_Format(PyExc_TypeError, "rng.random(%zu) must return a float64 array of %zu values, got %s", n, n,
                 Py_TYPE(drawn.get())->tp_name);
    return nullptr;
  }
  for (std::size_t d = 0; d < n; ++d) {
    const double x = *static_cast<const double*>(PyArray_GETPTR1(u, static_cast<npy_intp>(d)));
    if (!(x >= 0.0 && x < 1.0)) {
      PyRef value = PyRef::steal(PyFloat_FromDouble(x));
      if (value) PyErr_Format(PyExc_ValueError, "rng.random(%zu) must return values in [0, 1), got %R", n, value.get());
      return nullptr;
    }
  }
  constexpr double pi = std::numbers::pi;
  return array_of(n, [&](std::size_t d) {
    const Joint& joint = dof_joint(model, d);
    const double lower = std::isinf(joint.lower) ? -pi : joint.lower;
    const double upper = std::isinf(joint.upper) ? pi : joint.upper;
    const double x = *static_cast<const double*>(PyArray_GETPTR1(u, static_cast<npy_intp>(d)));
    const double range = upper - lower;
    const double q = std::isfinite(range) ? lower + range * x : lower * (1.0 - x) + upper * x;
    return std::clamp(q, lower, upper);
  }, true);
}

}  // namespace velkor::py
