// Constraint rows: the geometry every user of a ConstraintSet's rows shares (the
// constrained dynamics and their derivatives, the constraint Jacobian and bias,
// the whole-body inverse kinematics, the sides' world poses a viewer draws).
// Rows, signs and the position error are those of constraints.hpp and
// constrained_dynamics.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <span>

#include "error.hpp"
#include "robot/base.hpp"
#include "robot/constraints.hpp"
#include "robot/coupling.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"
#include "spatial_algebra.hpp"

namespace velkor {

// The kinematics run in root coordinates about the root-link origin, taken as
// an inertial frame that coincides with the root link at this instant; rows
// turn to world axes (R0) when they are written.
//
// The root's motion without gravity: v_0, and a_0 = (Bα, B a − ω_0 × v_0) for a
// free base's classical acceleration (α, a), B = R0ᵀ; a fixed base is at rest.
struct RootFrame {
  Mat3 R0;
  Vec3 origin;
  Quat B;
  Vec6 v0, a0;
  std::array<Vec6, 6> base_axes;  // a free base's S_i: (B e_i, 0), then (0, B e_i)
};

RootFrame root_frame(const Base& base, const Twist& acceleration);

// Outward pass: place body k (R_k, p_k) and S_d (into motion_axes, which the
// rows below read); v_k = v_p + S q̇, a_k = a_p + S q̈ + v_k × S q̇ (q̇ or q̈
// empty: zero).
void motion_pass(const Model& bodies, std::span<const double> q, std::span<const double> qd,
                 std::span<const double> qdd, const RootFrame& root, Workspace& w);
// The same at q̈ = 0 over bodies the mass matrix has just placed, joint k's
// S_k given in axes[k] (the mass matrix's joint_axes) instead of computed again.
void placed_motion_pass(const Model& bodies, std::span<const Vec6> axes, std::span<const double> qd,
                        const RootFrame& root, Workspace& w);

// The outward pass of joints at rest (no q̇, no q̈): each body placed, S_d in
// its motion_axis row, v_k = v_0, a_k = a_0; what motion_pass<false>(q, {},
// {}) leaves, without its products.
void rest_pass(const Model& bodies, std::span<const double> q, const RootFrame& root, Workspace& w);

// One side of a constraint once the bodies move: its point p and axes R (root
// coordinates), its body's v and a, and ṗ = v_o + ω × p.
struct Side {
  std::size_t body;
  Vec3 p;
  Mat3 R;
  Vec6 v, a;
  Vec3 p_dot;

  // ä = a_o + α × p + ω × ṗ, the classical acceleration of the point.
  Vec3 p_ddot() const { return a.tail<3>() + a.head<3>().cross(p) + v.head<3>().cross(p_dot); }
};

inline Side side(const ConstraintSide& s, const RootFrame& root, const Workspace& w) {
  Side out{s.body,  s.frame.translation, s.frame.rotation.toRotationMatrix(), root.v0,
           root.a0, Vec3::Zero()};
  if (s.body > 0) {
    const std::size_t k = s.body - 1;
    out.p = w.frames[k].translation + w.rotations[k] * s.frame.translation;
    out.R = w.rotations[k] * out.R;
    out.v = w.fd_velocity[k];
    out.a = w.fd_acceleration[k];
  }
  out.p_dot = out.v.tail<3>() + out.v.head<3>().cross(out.p);
  return out;
}

// A generalized coordinate above a body: its column, its axis S (root
// coordinates) and the motion (v̄, ā) that moving it leaves behind: the parent
// body's for a joint, the root's for a free base's rotation, none for its
// translation (which moves the root's motion along).
struct Axis {
  std::size_t column;
  Vec6 S, v_ref, a_ref;
  bool joint;
};

// Calls f for each coordinate above `body`, lowest first: the joints, then a
// free base's translations and rotations.
template <class F>
void for_each_axis(const Model& bodies, std::size_t body, const RootFrame& root, std::size_t o,
                   const Workspace& w, F&& f) {
  for (std::size_t b = body; b > 0;) {
    const std::size_t k = b - 1, p = bodies.parent[k];
    if (const auto dof = bodies.joint_dof[k]) {
      const Vec6 v_ref = p == 0 ? root.v0 : w.fd_velocity[p - 1];
      const Vec6 a_ref = p == 0 ? root.a0 : w.fd_acceleration[p - 1];
      f(Axis{o + *dof, w.motion_axes[*dof], v_ref, a_ref, true});
    }
    b = p;
  }
  if (o == 0) return;
  for (std::size_t i = 6; i-- > 0;) {
    if (i >= 3) f(Axis{i, root.base_axes[i], Vec6::Zero(), Vec6::Zero(), false});
    else f(Axis{i, root.base_axes[i], root.v0, root.a0, false});
  }
}

// The point velocity of a motion vector at p: m_ω × p + m_v.
inline Vec3 at_point(const Vec6& m, const Vec3& p) { return m.head<3>().cross(p) + m.tail<3>(); }

// The coordinates an item's rows depend on into w.support: those above its
// side's body, lowest first (a loop closure: all N, from the last). Returns
// their number.
std::size_t item_support(const Model& bodies, const ResolvedConstraint& item, std::size_t o,
                         std::size_t N, bool dense, Workspace& w);

// Adds sign·(angular, linear) of one side into an item's rows of column c of
// the row-major m x N array `rows` (a point keeps the linear part only).
inline void add_rows(double* rows, std::size_t N, const ResolvedConstraint& item, std::size_t c,
                     double sign, const Vec3& angular, const Vec3& linear) {
  std::size_t r = item.row;
  if (item.kind == ConstraintKind::Frame)
    for (int i = 0; i < 3; ++i) rows[(r++) * N + c] += sign * angular[i];
  for (int i = 0; i < 3; ++i) rows[(r++) * N + c] += sign * linear[i];
}

// The same for an m-vector.
inline void add_vector(double* values, const ResolvedConstraint& item, double sign, const Vec3& angular,
                       const Vec3& linear) {
  std::size_t r = item.row;
  if (item.kind == ConstraintKind::Frame)
    for (int i = 0; i < 3; ++i) values[r++] += sign * angular[i];
  for (int i = 0; i < 3; ++i) values[r++] += sign * linear[i];
}

// The same into column c of a column-major m x N array.
inline void add_rows_column(std::span<double> out, std::size_t m, const ResolvedConstraint& item,
                            std::size_t c, double sign, const Vec3& angular, const Vec3& linear) {
  add_vector(out.data() + c * m, item, sign, angular, linear);
}

// The sides of an item with their signs: link_a's +1, link_b's −1.
template <class F>
void for_each_side(const ResolvedConstraint& item, const RootFrame& root, const Workspace& w, F&& f) {
  f(side(item.a, root, w), 1.0, item.a);
  if (item.b) f(side(*item.b, root, w), -1.0, *item.b);
}

// The Jacobian entries of one item: add(c, sign, R0 S_ω, R0 (S_ω × p + S_v)) for
// column c of each coordinate above each side.
template <class Add>
void item_columns(const Model& bodies, const ResolvedConstraint& item, const RootFrame& root,
                  std::size_t o, const Workspace& w, Add&& add) {
  for_each_side(item, root, w, [&](const Side& x, double sign, const ConstraintSide&) {
    for_each_axis(bodies, x.body, root, o, w, [&](const Axis& axis) {
      add(axis.column, sign, root.R0 * axis.S.head<3>(), root.R0 * at_point(axis.S, x.p));
    });
  });
}

// J (row-major, m x N into J): column c of a side, (R0 S_ω, R0 (S_ω × p + S_v)).
void jacobian_rows(const Model& bodies, const ConstraintSet& set, const RootFrame& root, std::size_t o,
                   const Workspace& w, double* J, std::size_t N);

// J̇ q̇ (or J q̈ + J̇ q̇ after a pass with q̈): (R0 α, R0 ä) of each side.
void acceleration_rows(const ConstraintSet& set, const RootFrame& root, const Workspace& w, double* out);

// The position error of one item into its rows of `out`, world axes: side a
// against side b, [log(R_a R_bᵀ); R0 (p_a − p_b)], or against its target or,
// without one, `reference` (null: the rows are left as they are), [log(R_a
// R_refᵀ); p_a − p_ref].
void item_position_error(const ResolvedConstraint& item, const RootFrame& root, const Workspace& w,
                         const Pose* reference, double* out);

// A side's world pose: (R0 R, R0 p + origin).
inline Pose world_pose(const Side& x, const RootFrame& root) {
  return Pose{Quat(root.R0 * x.R), root.R0 * x.p + root.origin};
}

// The position error e of each row, world axes (see the header).
void position_errors(const ConstraintSet& set, const RootFrame& root, const Workspace& w, double* out);

// InvalidConstraint unless the set was made for `model`.
inline std::expected<void, Error> check_set(const Model& model, const ConstraintSet& set) {
  if (set.model_id() != model.id)
    return std::unexpected(
        errors::InvalidConstraint{"the constraint set belongs to another robot model"});
  return {};
}

// The world pose of every side at positions q (n values), 7 values each
// ([tx, ty, tz, qx, qy, qz, qw], the layout of forward_kinematics_rows): the
// items in order, each its side a, then a loop closure's side b, so
// 7·set.side_count() values. A side is the point or frame `offset` places on
// its link, world_pose after a pass at rest; a contact's target is no side.
// O(n + sides); checks the set, q and out's length before writing out, and
// leaves in w what rest_pass writes.
// A coupled model's q: its free coordinates (Coordinates::Full: the full ones).
std::expected<void, Error> constraint_poses(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, const ConstraintSet& set,
                                            std::span<double> out,
                                            Coordinates coordinates = Coordinates::Caller);

namespace coupled_entry {
// constraint_poses from a coupled model's free coordinates (its entry point's
// branch, coupled_entry_points.cpp): poses are the same in both coordinates.
std::expected<void, Error> constraint_poses(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, const ConstraintSet& set,
                                            std::span<double> out);
}  // namespace coupled_entry

}  // namespace velkor
