// Rebuilding handles from pickles: Robot._restore / FloatingRobot._restore(xml,
// mimic, massless_root, frame, gravity), the callable their pickles name. Its
// arguments may come from anywhere, so each is checked.
#include <cmath>

#include "arguments.hpp"
#include "handle.hpp"
#include "pickling.hpp"
#include "py_ref.hpp"

namespace velkor::py {

PyObject* pose_storage_tuple(const Pose& pose) {
  return float_tuple(pose.to_array().data(), 7);
}

PyObject* vector_tuple(const Vec3& v) {
  const double values[3] = {v.x(), v.y(), v.z()};
  return float_tuple(values, 3);
}

namespace {

bool finite(const double* values, int count) {
  for (int i = 0; i < count; ++i)
    if (!std::isfinite(values[i])) return false;
  return true;
}

// Loads the handle, then sets what the pickle recorded, stored as it was.
template <class CoreRobot>
PyObject* restore(PyTypeObject* type, PyObject* const* arg, const double* frame, const double* gravity) {
  PyRef handle = PyRef::steal(load_handle<CoreRobot>(type, Source::Text, arg));
  if (!handle) return nullptr;
  auto guard = handle_of<CoreRobot>(handle.get()).slot.lock();
  if (!guard) return nullptr;
  CoreRobot& robot = guard.calculation().robot;
  if constexpr (HandleTraits<CoreRobot>::base_dofs == 0) {
    std::array<double, 7> stored;
    std::copy_n(frame, 7, stored.begin());
    robot.set_base_frame(Pose::from_array(stored));
  }
  robot.set_gravity(Vec3(gravity[0], gravity[1], gravity[2]));
  return handle.release();
}

}  // namespace

template <class CoreRobot>
PyObject* handle_restore(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) {
  constexpr bool floating = HandleTraits<CoreRobot>::base_dofs != 0;
  if (nargs != 5) {
    PyErr_Format(PyExc_TypeError, "%s._restore() takes 5 arguments (%zd given)",
                 HandleTraits<CoreRobot>::class_name, nargs);
    return nullptr;
  }
  double frame[7] = {0, 0, 0, 1, 0, 0, 0};
  if (floating ? args[3] != Py_None : !read_numbers(args[3], "frame", frame, 7)) {
    if (floating) PyErr_SetString(PyExc_ValueError, "FloatingRobot._restore: a FloatingRobot has no base frame");
    return nullptr;
  }
  double gravity[3];
  if (!read_numbers(args[4], "gravity", gravity, 3)) return nullptr;
  if (!finite(frame, 7) || !finite(gravity, 3) ||
      (frame[0] == 0 && frame[1] == 0 && frame[2] == 0 && frame[3] == 0)) {
    PyErr_Format(PyExc_ValueError, "%s._restore: frame and gravity must be finite, with a non-zero quaternion",
                 HandleTraits<CoreRobot>::class_name);
    return nullptr;
  }
  return restore<CoreRobot>(reinterpret_cast<PyTypeObject*>(cls), args, frame, gravity);
}

template PyObject* handle_restore<Robot>(PyObject*, PyObject* const*, Py_ssize_t);
template PyObject* handle_restore<FloatingRobot>(PyObject*, PyObject* const*, Py_ssize_t);

}  // namespace velkor::py
