// The dynamics methods of both handle kinds, written once (see
// computing_method.hpp for the skeleton they share).
#pragma once

#include "computing_method.hpp"
#include "robot/dynamics/derivatives.hpp"
#include "robot/dynamics/forward_dynamics.hpp"
#include "robot/dynamics/inverse_dynamics.hpp"
#include "robot/dynamics/mass_matrix.hpp"
#include "robot/dynamics/whole_body.hpp"

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

// The description of a method of `vectors` joint vectors (the first of q, qd,
// qdd) and, when `out`, a last optional out.
constexpr MethodDescription vectors_method(const char* name, std::size_t vectors, Result result,
                                           bool out) {
  constexpr std::array<const char*, 3> names{"q", "qd", "qdd"};
  MethodDescription d{.name = name,
                      .parameters = {},
                      .required = static_cast<Py_ssize_t>(vectors),
                      .vectors = vectors,
                      .result = result};
  std::copy_n(names.begin(), vectors, d.parameters.begin());
  if (out) {
    d.parameters[vectors] = "out";
    d.out = static_cast<int>(vectors);
  }
  return d;
}

// The description of a method of `vectors` joint vectors, then loads and an
// optional out.
constexpr MethodDescription loads_method(const char* name, std::size_t vectors, Result result) {
  MethodDescription d = vectors_method(name, vectors, result, false);
  d.parameters[vectors] = "loads";
  d.loads = static_cast<int>(vectors);
  d.parameters[vectors + 1] = "out";
  d.out = static_cast<int>(vectors + 1);
  return d;
}

// The description of `name`: the parameters of the method `of` describes, with
// forces in place of its third joint vector (qdd). forces has the generalized
// count, not q's length, so only qd is matched.
constexpr MethodDescription with_forces(const MethodDescription& of, const char* name) {
  MethodDescription d = of;
  d.name = name;
  d.parameters[2] = "forces";
  d.unmatched = 1;
  return d;
}

// methods::name of `vectors` joint vectors (1: q, 2: q and qd) and an out
// (when `out`), computed by velkor::name(model, base, workspace, q[, qd], out).
#define VELKOR_VECTORS_METHOD(name, vectors, result, out)                                               \
  struct name {                                                                                         \
    static constexpr MethodDescription description =                                                    \
        vectors_method(#name, vectors, Result::result, out);                                            \
    template <class CoreRobot, class Call>                                                              \
    static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,              \
                                              std::span<double> to, const Inputs& in) {                 \
      if constexpr (vectors == 1) return velkor::name(c.model(), call.base(c), c.workspace, in[0], to); \
      else return velkor::name(c.model(), call.base(c), c.workspace, in[0], in[1], to);                 \
    }                                                                                                   \
  };

VELKOR_VECTORS_METHOD(mass_matrix, 1, GeneralizedSquare, true)

struct gravity {
  static constexpr MethodDescription description = loads_method("gravity", 1, Result::Generalized);
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::gravity(c.model(), call.base(c), c.workspace, in[0], call.loads(), out);
  }
};

struct inverse_dynamics {
  static constexpr MethodDescription description =
      loads_method("inverse_dynamics", 3, Result::Generalized);
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::inverse_dynamics(c.model(), call.base(c), c.workspace, in[0], in[1], in[2],
                                    call.loads(), out);
  }
};

VELKOR_VECTORS_METHOD(velocity_product_forces, 2, Generalized, true)

struct forward_dynamics {
  static constexpr MethodDescription description =
      with_forces(inverse_dynamics::description, "forward_dynamics");
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::forward_dynamics(c.model(), call.base(c), c.workspace, in[0], in[1], in[2],
                                    call.loads(), out);
  }
};

VELKOR_VECTORS_METHOD(center_of_mass, 1, Point, true)

VELKOR_VECTORS_METHOD(center_of_mass_velocity, 2, Point, true)

VELKOR_VECTORS_METHOD(center_of_mass_jacobian, 1, PointJacobian, true)

VELKOR_VECTORS_METHOD(centroidal_momentum, 2, Six, true)

VELKOR_VECTORS_METHOD(centroidal_momentum_matrix, 1, Jacobian, true)

VELKOR_VECTORS_METHOD(kinetic_energy, 2, Number, false)

VELKOR_VECTORS_METHOD(potential_energy, 1, Number, false)

struct inverse_dynamics_derivatives {
  static constexpr MethodDescription description =
      derivatives_of(inverse_dynamics::description, "inverse_dynamics_derivatives", 2);
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            const std::array<std::span<double>, 2>& out,
                                            const Inputs& in) {
    return velkor::inverse_dynamics_derivatives(c.model(), call.base(c), c.workspace, in[0], in[1],
                                                in[2], call.loads(), out[0], out[1]);
  }
};

// tau= is the older name of forces.
struct forward_dynamics_derivatives {
  static constexpr MethodDescription description = [] {
    MethodDescription d =
        derivatives_of(forward_dynamics::description, "forward_dynamics_derivatives", 3);
    d.alias = "tau";
    d.alias_of = 2;
    return d;
  }();
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            const std::array<std::span<double>, 3>& out,
                                            const Inputs& in) {
    return velkor::forward_dynamics_derivatives(c.model(), call.base(c), c.workspace, in[0], in[1],
                                                in[2], call.loads(), out[0], out[1], out[2]);
  }
};

VELKOR_VECTORS_METHOD(gravity_derivatives, 1, GeneralizedSquare, true)

}  // namespace methods

// The paragraph on errors and cost every whole-body row ends with.
#define VELKOR_WHOLE_BODY_ERRORS                                                         \
  "\n\nRaises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n" \
  "non-finite value\") and qd, base (FloatingRobot), out; SolverError \"numerical\n"     \
  "failure in centre of mass of a massless robot\" where the centre of mass is\n"        \
  "needed and the robot has no mass; TypeError for wrong types; RuntimeError\n"          \
  "\"robot is closed\". Cost: holds the handle's lock, releases the interpreter\n"       \
  "lock while computing; O(n); no allocation with out=."

// The prose of the whole-body rows, shared by both handle kinds.
#define VELKOR_WHOLE_BODY_PROSE(CoreRobot)                                                       \
  VELKOR_PROSE(CoreRobot, center_of_mass,                                                        \
               "Centre of mass of the robot at positions q: 3 values, metres, world\n"           \
               "axes." VELKOR_WHOLE_BODY_ERRORS)                                                 \
  VELKOR_PROSE(CoreRobot, center_of_mass_velocity,                                               \
               "Velocity of the centre of mass at positions q and velocities qd:\n"              \
               "3 values, m/s, world axes (a FloatingRobot's base moving with\n"                 \
               "base.velocity)." VELKOR_WHOLE_BODY_ERRORS)                                       \
  VELKOR_PROSE(CoreRobot, center_of_mass_jacobian,                                               \
               "Jacobian of the centre of mass: flat 3·N, column-major (entry\n"                 \
               "(r, c) at 3·c + r), world axes, so that its velocity is J·v for\n"               \
               "the N generalized velocities v (a FloatingRobot's 6 base\n"                      \
               "coordinates, angular then linear, world axes, first)." VELKOR_WHOLE_BODY_ERRORS) \
  VELKOR_PROSE(CoreRobot, centroidal_momentum,                                                   \
               "Centroidal momentum: 6 values, the angular momentum about the\n"                 \
               "centre of mass (N·m·s), then the linear momentum (kg·m/s), world\n"              \
               "axes." VELKOR_WHOLE_BODY_ERRORS)                                                 \
  VELKOR_PROSE(CoreRobot, centroidal_momentum_matrix,                                            \
               "Centroidal momentum matrix A_G: flat 6·N, column-major, rows as\n"               \
               "centroidal_momentum's, so that the momentum is A_G·v for the N\n"                \
               "generalized velocities v." VELKOR_WHOLE_BODY_ERRORS)                             \
  VELKOR_PROSE(CoreRobot, kinetic_energy,                                                        \
               "Kinetic energy ½·vᵀ·M·v of the robot moving with q, qd (and a\n"                 \
               "FloatingRobot's base.velocity), joules, as a float." VELKOR_WHOLE_BODY_ERRORS)   \
  VELKOR_PROSE(CoreRobot, potential_energy,                                                      \
               "Potential energy −Σ m·gᵀ·c of the links in gravity_vector, with\n"               \
               "the world origin as reference, joules, as a float." VELKOR_WHOLE_BODY_ERRORS)

// The prose of the derivatives' rows, shared by both handle kinds; `columns`
// says what a FloatingRobot's base columns mean.
#define VELKOR_DERIVATIVE_LOCKS                                                  \
  "holds the handle's lock, releases the interpreter lock while computing; no\n" \
  "allocation with out= and loads None or a LoadBuffer."

#define VELKOR_DERIVATIVE_PROSE(CoreRobot, columns)                                        \
  VELKOR_PROSE(CoreRobot, inverse_dynamics_derivatives,                                    \
               "Partial derivatives of inverse_dynamics (same arguments): the pair\n"      \
               "(dtau_dq, dtau_dqd), each a flat N·N float64 array in the mass\n"          \
               "matrix's column-major layout: entry (r, c) = d tau_r / d x_c at N·c + r\n" \
               "(N = generalized_count), in N·m or N per rad or m (dtau_dq) and per\n"     \
               "rad/s or m/s (dtau_dqd). d tau / d qdd is the mass matrix.\n" columns      \
               "out: None or a tuple of two such arrays, not overlapping, which is\n"      \
               "returned.\n\n"                                                             \
               "Raises ValueError for q, qd, qdd, loads and out as inverse_dynamics\n"     \
               "does (\"out must contain exactly K elements\", \"the arrays in out must\n" \
               "not overlap\"), TypeError for wrong types, RuntimeError \"robot is\n"      \
               "closed\", PanicError on an internal fault.\n\n"                            \
               "Cost: one outward and one inward recursion, O(n·d) for n DOFs d deep,\n"   \
               "like the mass matrix;\n" VELKOR_DERIVATIVE_LOCKS)                          \
  VELKOR_PROSE(CoreRobot, forward_dynamics_derivatives,                                    \
               "Partial derivatives of forward_dynamics (forces: its generalized\n"        \
               "forces; tau= is an alias of it, giving both is a TypeError): the\n"        \
               "triple (dqdd_dq, dqdd_dqd, dqdd_dtau), flat N·N\n"                         \
               "float64 arrays, column-major as the mass matrix, in the units of\n"        \
               "forward_dynamics' result per unit of each coordinate; dqdd_dtau is\n"      \
               "M⁻¹. They are -M⁻¹·dtau_dq and -M⁻¹·dtau_dqd at the accelerations\n"       \
               "forward dynamics gives.\n" columns                                         \
               "out: None or a tuple of three such arrays, not overlapping,\n"             \
               "which is returned.\n\n"                                                    \
               "Raises what forward_dynamics raises (SolverError for a singular\n"         \
               "articulated or base inertia; ValueError for q, qd, forces, loads),\n"      \
               "ValueError for out, SolverError \"numerical failure in mass matrix\n"      \
               "factorization\" where the mass matrix is not positive definite in\n"       \
               "floating point, TypeError for wrong types, RuntimeError \"robot is\n"      \
               "closed\", PanicError on an internal fault.\n\n"                            \
               "Cost: forward dynamics, one inward and outward recursion (O(n·d)\n"        \
               "for n DOFs d deep), then M⁻¹ and the two products from the\n"              \
               "tree-sparse factor of M, O(N²·d);\n" VELKOR_DERIVATIVE_LOCKS)              \
  VELKOR_PROSE(CoreRobot, gravity_derivatives,                                             \
               "Partial derivative d g / d q of gravity(q) without loads: a flat\n"        \
               "N·N float64 array, column-major as the mass matrix, N·m or N per\n"        \
               "rad or m; a Robot's is symmetric (the Hessian of the potential\n"          \
               "energy).\n" columns                                                        \
               "out: None or one such array.\n\n"                                          \
               "Raises ValueError for q and out, TypeError for wrong types,\n"             \
               "RuntimeError \"robot is closed\", PanicError on an internal fault.\n\n"    \
               "Cost: one outward and one inward pass over masses and first moments,\n"    \
               "O(n·d);\n" VELKOR_DERIVATIVE_LOCKS)

}  // namespace velkor::py
