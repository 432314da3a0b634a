// The model a handle loaded, described by both handle kinds: the properties and
// methods that read the immutable model (names, limits, masses, DOF lookups,
// configurations built from the limits) and gravity_vector, with their table rows.
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>

#include "handle.hpp"
#include "model_info.hpp"

namespace velkor::py {

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

// The handle's properties; `generalized` and `configuration` say what N and C
// are on this handle kind (the docstrings of generalized_count and
// configuration_size).
#define VELKOR_MODEL_GETSET(CoreRobot, generalized, configuration)                                      \
  {"generalized_count", entry<handle_count<CoreRobot, &Handle<CoreRobot>::generalized_count>>, nullptr, \
   generalized, nullptr},                                                                               \
      {"configuration_size", entry<handle_count<CoreRobot, &Handle<CoreRobot>::configuration_count>>,   \
       nullptr, configuration, nullptr},                                                                \
      {"name", entry<handle_name<CoreRobot>>, nullptr,                                                  \
       "The robot name, from the URDF <robot name=...> element. Raises RuntimeError\n"                  \
       "\"robot is closed\" after close().",                                                            \
       nullptr},                                                                                        \
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
