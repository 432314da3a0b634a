// The kinematics methods of both handle kinds, written once (see
// computing_method.hpp for the skeleton they share).
#pragma once

#include <span>

#include "computing_method.hpp"
#include "robot/kinematics/forward_kinematics.hpp"
#include "robot/kinematics/jacobian.hpp"
#include "values.hpp"

namespace velkor::py {

namespace methods {

struct forward_kinematics_all {
  static constexpr MethodDescription description{.name = "forward_kinematics_all",
                                                 .parameters = {"q", "out"},
                                                 .required = 1,
                                                 .vectors = 1,
                                                 .result = Result::LinkPoses,
                                                 .out = 1};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    // The rows go straight into `out`, which the core writes only once q has passed its checks.
    return velkor::forward_kinematics_rows(c.model(), call.base(c).state.frame, c.workspace, in[0], out);
  }
};

struct forward_kinematics {
  static constexpr MethodDescription description{.name = "forward_kinematics",
                                                 .parameters = {"q", "target"},
                                                 .required = 2,
                                                 .vectors = 1,
                                                 .result = Result::Pose,
                                                 .target = 1};
  template <class CoreRobot, class Call>
  static std::expected<Pose, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            const Inputs& in) {
    return velkor::forward_kinematics(c.model(), call.base(c).state.frame, c.workspace, in[0],
                                      call.target());
  }
};

struct jacobian {
  static constexpr MethodDescription description{.name = "jacobian",
                                                 .parameters = {"q", "target", "out"},
                                                 .required = 2,
                                                 .vectors = 1,
                                                 .result = Result::Jacobian,
                                                 .target = 1,
                                                 .out = 2};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::jacobian(c.model(), call.base(c), c.workspace, in[0], call.target(), out);
  }
};

struct jacobian_derivative {
  static constexpr MethodDescription description{.name = "jacobian_derivative",
                                                 .parameters = {"q", "qd", "target", "out"},
                                                 .required = 3,
                                                 .vectors = 2,
                                                 .result = Result::Jacobian,
                                                 .target = 2,
                                                 .out = 3};
  template <class CoreRobot, class Call>
  static std::expected<void, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                            std::span<double> out, const Inputs& in) {
    return velkor::jacobian_derivative(c.model(), call.base(c), c.workspace, in[0], in[1], call.target(),
                                       out);
  }
};

struct forward_velocity_kinematics {
  static constexpr MethodDescription description{.name = "forward_velocity_kinematics",
                                                 .parameters = {"q", "qd", "target", "tool"},
                                                 .required = 3,
                                                 .vectors = 2,
                                                 .result = Result::Twist,
                                                 .target = 2,
                                                 .tool = 3};
  template <class CoreRobot, class Call>
  static std::expected<Twist, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                             const Inputs& in) {
    return velkor::forward_velocity_kinematics(c.model(), call.base(c).state, c.workspace, in[0], in[1],
                                               call.target(), call.tool());
  }
};

struct forward_acceleration_kinematics {
  static constexpr MethodDescription description{.name = "forward_acceleration_kinematics",
                                                 .parameters = {"q", "qd", "qdd", "target"},
                                                 .required = 4,
                                                 .vectors = 3,
                                                 .result = Result::Twist,
                                                 .target = 3};
  template <class CoreRobot, class Call>
  static std::expected<Twist, Error> compute(Calculation<CoreRobot>& c, const Call& call,
                                             const Inputs& in) {
    return velkor::forward_acceleration_kinematics(c.model(), call.base(c).state, c.workspace, in[0],
                                                   in[1], in[2], call.target());
  }
};

}  // namespace methods

// The prose of the kinematics rows, shared by both handle kinds.
#define VELKOR_KINEMATICS_PROSE(CoreRobot)                                                        \
  VELKOR_PROSE(CoreRobot, forward_kinematics_all,                                                 \
               "World pose of every link at joint positions q (n values, DOF order): a flat\n"    \
               "float64 array of L·7 (L = link_count), L rows of 7, [tx, ty, tz, qx, qy, qz,\n"   \
               "qw], link-id order; metres, world axes; poses.reshape(-1, 7) gives the rows.\n"   \
               "The root link is placed by the base frame (Robot) or by base.frame\n"             \
               "(FloatingRobot). out is written only on success.\n\n"                             \
               "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n" \
               "non-finite value\"), base (FloatingRobot), out (\"out must contain exactly K\n"   \
               "elements\"); TypeError for wrong types; RuntimeError \"robot is closed\";\n"      \
               "PanicError on an internal fault. Cost: holds the handle's lock, releases the\n"   \
               "interpreter lock while computing; no allocation with out=.")                      \
  VELKOR_PROSE(CoreRobot, forward_kinematics,                                                     \
               "World pose of link target (an integer link id, see link_id) at joint\n"           \
               "positions q, as a new velkor.Pose: the link origin (metres) and the link\n"       \
               "axes, relative to world axes. The root link is placed by the base frame\n"        \
               "(Robot) or by base.frame (FloatingRobot).\n\n"                                    \
               "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n" \
               "non-finite value\"), target (\"invalid link id 5\"), base (FloatingRobot);\n"     \
               "TypeError for wrong types; RuntimeError \"robot is closed\"; PanicError on an\n"  \
               "internal fault. Cost: holds the handle's lock, releases the interpreter lock\n"   \
               "while computing; allocates only the returned Pose.")                              \
  VELKOR_PROSE(CoreRobot, jacobian,                                                               \
               "Geometric Jacobian of link target at q, world axes, at the target link\n"         \
               "origin: rows angular velocity (0-2), then linear velocity of the origin\n"        \
               "(3-5). A flat float64 array of 6·N, column-major (entry (r, c) at 6·c + r);\n"    \
               "velkor.as_matrix(result, 6) gives the 6 x N view. N = generalized_count: a\n"     \
               "Robot's columns are its n DOFs; a FloatingRobot's are the 6 base coordinates\n"   \
               "(angular, linear, world axes) first, then the n joints. DOFs off the path to\n"   \
               "target have zero columns.\n\n"                                                    \
               "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n" \
               "non-finite value\"), target (\"invalid link id 5\"), base (FloatingRobot), out\n" \
               "(\"out must contain exactly K elements\"); TypeError for wrong types;\n"          \
               "RuntimeError \"robot is closed\"; PanicError on an internal fault. Cost: holds\n" \
               "the handle's lock, releases the interpreter lock while computing; no\n"           \
               "allocation with out=.")                                                           \
  VELKOR_PROSE(CoreRobot, jacobian_derivative,                                                    \
               "Time derivative dJ/dt of jacobian() at positions q and velocities qd (n\n"        \
               "each): flat 6·N, column-major, rows angular then linear, world axes, target\n"    \
               "link origin (velkor.as_matrix(result, 6) gives the 6 x N view), so that\n"        \
               "J·dv/dt + (dJ/dt)·v is the target's angular and classical linear\n"               \
               "acceleration. A Robot's base is at rest; a FloatingRobot's base moves with\n"     \
               "base.velocity.\n\n"                                                               \
               "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n" \
               "non-finite value\"), qd, target (\"invalid link id 5\"), base (FloatingRobot),\n" \
               "out (\"out must contain exactly K elements\"); TypeError for wrong types;\n"      \
               "RuntimeError \"robot is closed\"; PanicError on an internal fault. Cost: holds\n" \
               "the handle's lock, releases the interpreter lock while computing; no\n"           \
               "allocation with out=.")                                                           \
  VELKOR_PROSE(CoreRobot, forward_velocity_kinematics,                                            \
               "Twist of link target at positions q and velocities qd (n each), as a new\n"       \
               "velkor.Twist: the link's angular velocity (rad/s) and the linear velocity\n"      \
               "(m/s) of the tool point, world axes. tool: a velkor.Pose in the target link\n"    \
               "frame whose translation is the tool point (its rotation is not used); None\n"     \
               "means the link origin. A Robot's base is at rest; a FloatingRobot's base\n"       \
               "moves with base.velocity.\n\n"                                                    \
               "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n" \
               "non-finite value\"), qd, target (\"invalid link id 5\"), base (FloatingRobot),\n" \
               "tool; TypeError for wrong types; RuntimeError \"robot is closed\"; PanicError\n"  \
               "on an internal fault. Cost: holds the handle's lock, releases the\n"              \
               "interpreter lock while computing; allocates only the returned Twist.")            \
  VELKOR_PROSE(CoreRobot, forward_acceleration_kinematics,                                        \
               "Acceleration of link target at positions q, velocities qd and accelerations\n"    \
               "qdd (n each), as a new velkor.Twist: angular acceleration (rad/s²) and\n"         \
               "classical linear acceleration of the link origin (m/s²), world axes; gravity\n"   \
               "does not enter. A Robot's base is at rest; a FloatingRobot's base moves with\n"   \
               "base.velocity and base.acceleration.\n\n"                                         \
               "Raises ValueError for q (\"expected n elements in q, found m\", \"q contains a\n" \
               "non-finite value\"), qd, qdd, target (\"invalid link id 5\"), base\n"             \
               "(FloatingRobot); TypeError for wrong types; RuntimeError \"robot is closed\";\n"  \
               "PanicError on an internal fault. Cost: holds the handle's lock, releases the\n"   \
               "interpreter lock while computing; allocates only the returned Twist.")

}  // namespace velkor::py
