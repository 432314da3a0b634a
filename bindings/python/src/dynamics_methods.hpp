// The dynamics methods of both handle kinds, written once (see
// kinematics_methods.hpp for the shared argument handling).
#pragma once

#include "kinematics_methods.hpp"
#include "loads.hpp"
#include "robot/dynamics/forward_dynamics.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"

namespace velkor::py {

template <class CoreRobot>
PyObject* load_buffer_method(PyObject* self, PyObject*) {
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  std::optional<LoadBuffer> buffer;
  if (!with_locked(h, [&](Calculation<CoreRobot>& c, DeferredError&) {
        buffer.emplace(c.model().link_count(), c.model().id);
      }))
    return nullptr;
  return new_load_buffer(std::move(*buffer), h.link_table);
}

template <class CoreRobot>
PyObject* mass_matrix_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("mass_matrix", {"q", "out"}, 1);
  MethodArguments<CoreRobot> a;
  InputArray q;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !OutputArray::check_type(a[1]))
    return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  const std::size_t N = h.generalized_count;
  return array_method(h, a[1], N * N, {q.values()},
                      [&](Calculation<CoreRobot>& c, double* out, const Inputs& in) {
    return mass_matrix(c.model(), a.base(c), c.workspace, in[0], std::span<double>(out, N * N));
  });
}

template <class CoreRobot>
PyObject* gravity_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("gravity", {"q", "loads", "out"}, 1);
  MethodArguments<CoreRobot> a;
  InputArray q;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !OutputArray::check_type(a[2]))
    return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  LoadsArgument loads;
  if (!loads.convert(a[1], *h.link_table)) return nullptr;
  return array_method(h, a[2], h.generalized_count, {q.values()},
                      [&](Calculation<CoreRobot>& c, double* out, const Inputs& in) {
    return gravity(c.model(), a.base(c), c.workspace, in[0], loads.loads(),
                   std::span<double>(out, h.generalized_count));
  });
}

template <class CoreRobot>
PyObject* inverse_dynamics_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("inverse_dynamics", {"q", "qd", "qdd", "loads", "out"}, 3);
  MethodArguments<CoreRobot> a;
  InputArray q, qd, qdd;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !qd.extract(a[1], "qd") ||
      !qdd.extract(a[2], "qdd") || !OutputArray::check_type(a[4]) || !same_length(q, qd, "qd") ||
      !same_length(q, qdd, "qdd"))
    return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  LoadsArgument loads;
  if (!loads.convert(a[3], *h.link_table)) return nullptr;
  return array_method(h, a[4], h.generalized_count, {q.values(), qd.values(), qdd.values()},
                      [&](Calculation<CoreRobot>& c, double* out, const Inputs& in) {
    return inverse_dynamics(c.model(), a.base(c), c.workspace, in[0], in[1], in[2], loads.loads(),
                            std::span<double>(out, h.generalized_count));
  });
}

template <class CoreRobot>
PyObject* velocity_product_forces_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("velocity_product_forces", {"q", "qd", "out"}, 2);
  MethodArguments<CoreRobot> a;
  InputArray q, qd;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !qd.extract(a[1], "qd") ||
      !OutputArray::check_type(a[2]) || !same_length(q, qd, "qd"))
    return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  return array_method(h, a[2], h.generalized_count, {q.values(), qd.values()},
                      [&](Calculation<CoreRobot>& c, double* out, const Inputs& in) {
    return velocity_product_forces(c.model(), a.base(c), c.workspace, in[0], in[1],
                                   std::span<double>(out, h.generalized_count));
  });
}

template <class CoreRobot>
PyObject* forward_dynamics_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  static const MethodSignature<CoreRobot> s("forward_dynamics", {"q", "qd", "forces", "loads", "out"}, 3);
  MethodArguments<CoreRobot> a;
  InputArray q, qd, forces;
  if (!a.parse(s, args, nargs, kwnames) || !q.extract(a[0], "q") || !qd.extract(a[1], "qd") ||
      !forces.extract(a[2], "forces") || !OutputArray::check_type(a[4]) || !same_length(q, qd, "qd"))
    return nullptr;
  Handle<CoreRobot>& h = handle_of<CoreRobot>(self);
  LoadsArgument loads;
  if (!loads.convert(a[3], *h.link_table)) return nullptr;
  return array_method(h, a[4], h.generalized_count, {q.values(), qd.values(), forces.values()},
                      [&](Calculation<CoreRobot>& c, double* out, const Inputs& in) {
    return forward_dynamics(c.model(), a.base(c), c.workspace, in[0], in[1], in[2], loads.loads(),
                            std::span<double>(out, h.generalized_count));
  });
}

// A method table row: the text signature from `signature`, then the prose `doc`.
#define VELKOR_DYNAMICS_METHOD(CoreRobot, name, signature, doc)                             \
  {#name, fastcall_entry<name##_method<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS,        \
   #name "($self, " signature ")\n--\n\n" doc}

}  // namespace velkor::py
