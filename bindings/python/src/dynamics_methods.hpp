// The dynamics methods of both handle kinds, written once (see
// computing_method.hpp for the skeleton they share).
#pragma once

#include "computing_method.hpp"
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

namespace methods {

struct mass_matrix {
  static constexpr MethodDescription description{
      .name = "mass_matrix", .parameters = {"q", "out"}, .required = 1, .vectors = 1,
      .result = Result::GeneralizedSquare, .out = 1};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::mass_matrix(c.model(), call.base(c), c.workspace, in[0], out);
  }
};

struct gravity {
  static constexpr MethodDescription description{
      .name = "gravity", .parameters = {"q", "loads", "out"}, .required = 1, .vectors = 1,
      .result = Result::Generalized, .loads = 1, .out = 2};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::gravity(c.model(), call.base(c), c.workspace, in[0], call.loads(), out);
  }
};

struct inverse_dynamics {
  static constexpr MethodDescription description{
      .name = "inverse_dynamics", .parameters = {"q", "qd", "qdd", "loads", "out"}, .required = 3,
      .vectors = 3, .result = Result::Generalized, .loads = 3, .out = 4};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::inverse_dynamics(c.model(), call.base(c), c.workspace, in[0], in[1], in[2],
                                    call.loads(), out);
  }
};

struct velocity_product_forces {
  static constexpr MethodDescription description{
      .name = "velocity_product_forces", .parameters = {"q", "qd", "out"}, .required = 2,
      .vectors = 2, .result = Result::Generalized, .out = 2};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::velocity_product_forces(c.model(), call.base(c), c.workspace, in[0], in[1], out);
  }
};

// forces has the generalized count, not q's length, so only qd is matched.
struct forward_dynamics {
  static constexpr MethodDescription description{
      .name = "forward_dynamics", .parameters = {"q", "qd", "forces", "loads", "out"},
      .required = 3, .vectors = 3, .result = Result::Generalized, .unmatched = 1, .loads = 3,
      .out = 4};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::forward_dynamics(c.model(), call.base(c), c.workspace, in[0], in[1], in[2],
                                    call.loads(), out);
  }
};

}  // namespace methods

// A method table row: the text signature from `signature`, then the prose `doc`.
#define VELKOR_DYNAMICS_METHOD(CoreRobot, name, signature, doc)                             \
  {#name, fastcall_entry<computing_method<CoreRobot, methods::name>>(), METH_FASTCALL | METH_KEYWORDS,        \
   #name "($self, " signature ")\n--\n\n" doc}

}  // namespace velkor::py
