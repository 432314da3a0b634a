// Rebuilding handles from pickles: Robot._restore / FloatingRobot._restore(xml,
// mimic, massless_root, frame, gravity[, inertia_tolerance]), the callable their
// pickles name. Its arguments may come from anywhere, so each is checked.
#include <array>
#include <cmath>
#include <limits>
#include <optional>

#include "arguments.hpp"
#include "finite.hpp"
#include "handle.hpp"
#include "pickling.hpp"
#include "py_ref.hpp"

namespace velkor::py {

namespace {

const char* mimic_name(MimicPolicy policy) {
  switch (policy) {
    case MimicPolicy::Independent: return "independent";
    case MimicPolicy::Couple: return "couple";
    default: return "reject";
  }
}

// A pose in storage order [qx, qy, qz, qw, tx, ty, tz] as a tuple of floats.
PyObject* pose_storage_tuple(const Pose& pose) { return float_tuple(pose.to_array().data(), 7); }

PyObject* vector_tuple(const Vec3& v) {
  const double values[3] = {v.x(), v.y(), v.z()};
  return float_tuple(values, 3);
}

bool finite(const double* values, int count) {
  return all_finite({values, static_cast<std::size_t>(count)});
}

// Loads the handle, then sets what the pickle recorded: the accepted base
// frame (as set_base_frame stores it) and gravity. `args` are _restore's, and
// `tolerance` its sixth (nullptr in a pickle without one).
template <class CoreRobot>
PyObject* restore(PyTypeObject* type, PyObject* const* args, PyObject* tolerance, const Pose& frame,
                  const double* gravity) {
  // The source and the options in the order load_handle reads them.
  PyObject* load[4] = {args[0], args[1], nullptr, nullptr};
  if constexpr (HandleTraits<CoreRobot>::base_dofs == 0) {
    load[2] = tolerance;
  } else {
    load[2] = args[2];
    load[3] = tolerance;
  }
  PyRef handle = PyRef::steal(load_handle<CoreRobot>(type, Source::Text, load));
  if (!handle) return nullptr;
  auto guard = handle_of<CoreRobot>(handle.get()).slot.lock();
  if (!guard) return nullptr;
  CoreRobot& robot = guard.calculation().robot;
  if constexpr (HandleTraits<CoreRobot>::base_dofs == 0) robot.set_base_frame(frame);
  robot.set_gravity(Vec3(gravity[0], gravity[1], gravity[2]));
  return handle.release();
}

}  // namespace

template <class CoreRobot>
PyObject* handle_reduce(PyObject* self, PyObject*) {
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  std::shared_ptr<const Model> model;
  Pose frame;
  Vec3 gravity;
  if (!with_locked(h, [&](Calculation<CoreRobot>& c, DeferredError&) {
        model = c.robot.robot_model().shared();
        gravity = c.robot.gravity();
        if constexpr (HandleTraits<CoreRobot>::base_dofs == 0) frame = c.robot.base_frame();
      }))
    return nullptr;
  if (model->source.empty()) {
    PyErr_SetString(PyExc_TypeError, "cannot pickle a robot that was not loaded from a URDF document");
    return nullptr;
  }
  PyRef restore =
      PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_restore"));
  if (!restore) return nullptr;
  PyObject* frame_tuple = HandleTraits<CoreRobot>::base_dofs == 0 ? pose_storage_tuple(frame)
                                                                  : Py_NewRef(Py_None);
  const double tolerance = h.options.import.inertia_tolerance;
  return Py_BuildValue(tolerance == 0.0 ? "(O(s#ssNN))" : "(O(s#ssNNd))", restore.get(),
                       model->source.data(), static_cast<Py_ssize_t>(model->source.size()),
                       mimic_name(h.options.import.mimic),
                       h.options.massless_root == MasslessRoot::Reject ? "reject" : "allow", frame_tuple,
                       vector_tuple(gravity), tolerance);
}

template <class CoreRobot>
PyObject* handle_restore(PyObject* cls, PyObject* const* args, Py_ssize_t nargs) {
  constexpr bool floating = HandleTraits<CoreRobot>::base_dofs != 0;
  if (nargs != 5 && nargs != 6) {
    PyErr_Format(PyExc_TypeError, "%s._restore() takes 5 or 6 arguments (%zd given)",
                 HandleTraits<CoreRobot>::class_name, nargs);
    return nullptr;
  }
  std::array<double, 7> frame = {0, 0, 0, 1, 0, 0, 0};
  if (floating ? args[3] != Py_None : !read_numbers(args[3], "frame", frame.data(), 7)) {
    if (floating)
      PyErr_SetString(PyExc_ValueError, "FloatingRobot._restore: a FloatingRobot has no base frame");
    return nullptr;
  }
  double gravity[3];
  if (!read_numbers(args[4], "gravity", gravity, 3)) return nullptr;
  // The frame is refused where set_base_frame refuses it (non-finite, or a
  // quaternion too short to give a direction). A pickle stores the frame
  // set_base_frame accepted, of unit norm to rounding: it is kept bit for bit;
  // any other quaternion is normalised as set_base_frame would.
  std::optional<Pose> accepted = accept_pose(frame);
  const double norm2 = frame[0] * frame[0] + frame[1] * frame[1] + frame[2] * frame[2] +
                       frame[3] * frame[3];
  if (accepted && std::abs(norm2 - 1.0) <= 8 * std::numeric_limits<double>::epsilon())
    accepted = Pose::from_array(frame);
  if (!accepted || !finite(gravity, 3)) {
    PyErr_Format(PyExc_ValueError,
                 "%s._restore: frame and gravity must be finite, with a non-zero quaternion",
                 HandleTraits<CoreRobot>::class_name);
    return nullptr;
  }
  // A Robot has no massless_root option of its own, but its pickle names one:
  // only the values the option takes are accepted, as for a FloatingRobot.
  if constexpr (!floating) {
    static const char* const root_choices[] = {"reject", "allow", nullptr};
    if (choice_argument(args[2], "massless_root", root_choices) < 0) return nullptr;
  }
  return restore<CoreRobot>(reinterpret_cast<PyTypeObject*>(cls), args, nargs == 6 ? args[5] : nullptr,
                            *accepted, gravity);
}

template PyObject* handle_reduce<Robot>(PyObject*, PyObject*);
template PyObject* handle_reduce<FloatingRobot>(PyObject*, PyObject*);
template PyObject* handle_restore<Robot>(PyObject*, PyObject* const*, Py_ssize_t);
template PyObject* handle_restore<FloatingRobot>(PyObject*, PyObject* const*, Py_ssize_t);

}  // namespace velkor::py
