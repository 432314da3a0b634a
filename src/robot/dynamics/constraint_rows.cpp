#include "robot/dynamics/constraint_rows.hpp"

#include <algorithm>

#include "robot/checks.hpp"
#include "robot/dynamics/placement.hpp"
#include "robot/kinematics/forward_kinematics.hpp"

namespace velkor {

RootFrame root_frame(const Base& base, const Twist& acceleration) {
  RootFrame r{base.state.frame.rotation.toRotationMatrix(),
              base.state.frame.translation,
              base.state.frame.rotation.conjugate(),
              root_velocity(base),
              Vec6::Zero(),
              {}};
  for (int i = 0; i < 3; ++i) {
    const Vec3 e = r.B * Vec3::Unit(i);
    r.base_axes[i] = motion_vector(e, Vec3::Zero());
    r.base_axes[i + 3] = motion_vector(Vec3::Zero(), e);
  }
  if (base.floating)
    r.a0 = motion_vector(r.B * acceleration.angular,
                         r.B * acceleration.linear - r.v0.head<3>().cross(Vec3(r.v0.tail<3>())));
  return r;
}

namespace {

// The outward pass of motion_pass (`Placed`: over bodies already placed, S_k
// taken from `axes` by joint) into the motion rows and motion_axes.
template <bool Placed>
void outward(const Model& bodies, std::span<const double> q, std::span<const Vec6> axes,
             std::span<const double> qd, std::span<const double> qdd, const RootFrame& root,
             Workspace& w) {
  Vec6 v0 = root.v0, a0 = root.a0;
  for (std::size_t k = 0; k < bodies.joint_count(); ++k) {
    if constexpr (!Placed) place_body(bodies, k, bodies.joint_position(k, q.data()), w);
    const std::size_t p = bodies.parent[k];
    Vec6 v = parent_row(p, v0, w.fd_velocity);
    Vec6 a = parent_row(p, a0, w.fd_acceleration);
    if (const auto dof = bodies.joint_dof[k]) {
      Vec6& S = w.motion_axes[*dof];
      if constexpr (Placed) S = axes[k];
      else S = root_motion_axis(bodies, k, w);
      const Vec6 vJ = S * (qd.empty() ? 0.0 : qd[*dof]);
      v += vJ;
      a += motion_cross(v, vJ);
      if (!qdd.empty()) a += S * qdd[*dof];
    }
    w.fd_velocity[k] = v;
    w.fd_acceleration[k] = a;
  }
}

}  // namespace

void motion_pass(const Model& bodies, std::span<const double> q, std::span<const double> qd,
                 std::span<const double> qdd, const RootFrame& root, Workspace& w) {
  outward<false>(bodies, q, {}, qd, qdd, root, w);
}

void placed_motion_pass(const Model& bodies, std::span<const Vec6> axes, std::span<const double> qd,
                        const RootFrame& root, Workspace& w) {
  outward<true>(bodies, {}, axes, qd, {}, root, w);
}

void rest_pass(const Model& bodies, std::span<const double> q, const RootFrame& root, Workspace& w) {
  for (std::size_t k = 0; k < bodies.joint_count(); ++k) {
    place_body(bodies, k, bodies.joint_position(k, q.data()), w);
    const std::size_t p = bodies.parent[k];
    if (const auto dof = bodies.joint_dof[k]) w.motion_axes[*dof] = root_motion_axis(bodies, k, w);
    w.fd_velocity[k] = parent_row(p, root.v0, w.fd_velocity);
    w.fd_acceleration[k] = parent_row(p, root.a0, w.fd_acceleration);
  }
}

std::size_t item_support(const Model& bodies, const ResolvedConstraint& item, std::size_t o,
                         std::size_t N, bool dense, Workspace& w) {
  std::size_t count = 0;
  if (item.b || dense) {
    for (std::size_t i = N; i-- > 0;) w.support[count++] = i;
    return count;
  }
  for (std::size_t b = item.a.body; b > 0;) {
    const std::size_t k = b - 1;
    if (const auto dof = bodies.joint_dof[k]) w.support[count++] = o + *dof;
    b = bodies.parent[k];
  }
  for (std::size_t i = o; i-- > 0;) w.support[count++] = i;
  return count;
}

void jacobian_rows(const Model& bodies, const ConstraintSet& set, const RootFrame& root, std::size_t o,
                   const Workspace& w, double* J, std::size_t N) {
  std::fill(J, J + set.count() * N, 0.0);
  for (const ResolvedConstraint& item : set.resolved())
    for_each_side(item, root, w, [&](const Side& x, double sign, const ConstraintSide&) {
      for_each_axis(bodies, x.body, root, o, w, [&](const Axis& axis) {
        add_rows(J, N, item, axis.column, sign, root.R0 * axis.S.head<3>(),
                 root.R0 * at_point(axis.S, x.p));
      });
    });
}

void acceleration_rows(const ConstraintSet& set, const RootFrame& root, const Workspace& w,
                       double* out) {
  std::fill(out, out + set.count(), 0.0);
  for (const ResolvedConstraint& item : set.resolved())
    for_each_side(item, root, w, [&](const Side& x, double sign, const ConstraintSide&) {
      add_vector(out, item, sign, root.R0 * x.a.head<3>(), root.R0 * x.p_ddot());
    });
}

namespace {

// item_position_error, for position_errors' loop too.
[[gnu::always_inline]] inline void item_error(const ResolvedConstraint& item, const RootFrame& root,
                                              const Workspace& w, const Pose* reference, double* out) {
  const Side a = side(item.a, root, w);
  const Vec3 pa = root.R0 * a.p + root.origin;
  const Mat3 Ra = root.R0 * a.R;
  if (item.b) {
    const Side b = side(*item.b, root, w);
    add_vector(out, item, 1.0, rotation_error(Quat(Ra), Quat(root.R0 * b.R)), root.R0 * (a.p - b.p));
    return;
  }
  if (item.target) reference = &*item.target;
  if (reference != nullptr)
    add_vector(out, item, 1.0, rotation_error(Quat(Ra), reference->rotation),
               pa - reference->translation);
}

}  // namespace

void item_position_error(const ResolvedConstraint& item, const RootFrame& root, const Workspace& w,
                         const Pose* reference, double* out) {
  item_error(item, root, w, reference, out);
}

void position_errors(const ConstraintSet& set, const RootFrame& root, const Workspace& w, double* out) {
  std::fill(out, out + set.count(), 0.0);
  for (const ResolvedConstraint& item : set.resolved()) item_error(item, root, w, nullptr, out);
}

std::expected<void, Error> constraint_poses(const Model& model, const Base& base, Workspace& w,
                                            std::span<const double> q, const ConstraintSet& set,
                                            std::span<double> out, Coordinates coordinates) {
  if (model.coupling && coordinates == Coordinates::Caller)
    return coupled_entry::constraint_poses(model, base, w, q, set, out);
  VELKOR_TRY(check_set(model, set));
  VELKOR_TRY(check_dof_vector(model, q, "q"));
  VELKOR_TRY(check_output(out, 7 * set.side_count(), "constraint pose output"));
  const RootFrame root = root_frame(base, Twist{});
  rest_pass(model.moving(), q, root, w);
  double* row = out.data();
  // (R0 R, R0 p + origin) of each side, side a first.
  for (const ResolvedConstraint& item : set.resolved())
    for_each_side(item, root, w, [&](const Side& x, double, const ConstraintSide&) {
      write_pose_row(world_pose(x, root), row);
      row += 7;
    });
  return {};
}

}  // namespace velkor
