// Small spatial value types. Six-dimensional quantities are angular first:
// a twist is (angular, linear), a wrench (torque, force).
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>
#include <array>
#include <optional>

namespace velkor {

using Vec3 = Eigen::Vector3d;
using Mat3 = Eigen::Matrix3d;
using Vec6 = Eigen::Matrix<double, 6, 1>;
using Mat6 = Eigen::Matrix<double, 6, 6>;
using Quat = Eigen::Quaterniond;  // stored x, y, z, w

// A rigid transform mapping child-frame coordinates into its reference frame:
// p_ref = R·p_child + t.
struct Pose {
  Quat rotation = Quat::Identity();
  Vec3 translation = Vec3::Zero();

  static Pose identity() { return Pose{}; }
  bool is_identity() const {
    return rotation.coeffs() == Quat::Identity().coeffs() && translation.isZero(0.0);
  }

  // this∘other: applies other first, then this.
  Pose compose(const Pose& other) const {
    return Pose{rotation * other.rotation, translation + rotation * other.translation};
  }
  Vec3 transform_point(const Vec3& p) const { return rotation * p + translation; }
  Vec3 rotate(const Vec3& v) const { return rotation * v; }
  Vec3 inverse_rotate(const Vec3& v) const { return rotation.conjugate() * v; }

  // Storage order: quaternion x, y, z, w, then translation x, y, z.
  std::array<double, 7> to_array() const;
  static Pose from_array(const std::array<double, 7>& values);
  bool all_finite() const;
};

struct Twist {
  Vec3 angular = Vec3::Zero();
  Vec3 linear = Vec3::Zero();

  bool all_finite() const { return angular.allFinite() && linear.allFinite(); }
};

// A pose given from outside is used only if its translation is finite and its
// squared quaternion norm is finite and above 1e-24; the quaternion is then
// normalised. Values are in storage order (x, y, z, w, tx, ty, tz).
std::optional<Pose> accept_pose(const std::array<double, 7>& values);

// q = q_z(yaw)·q_y(pitch)·q_x(roll), the URDF origin convention.
Quat rpy_quaternion(double roll, double pitch, double yaw);

// The rotation vector (axis times angle, angle in [0, π]) of e = desired·conj(current):
// the rotation, in the reference frame's axes, that carries `current` onto `desired`.
Vec3 rotation_error(const Quat& desired, const Quat& current);

// exp of a rotation vector φ (axis times angle) as a unit quaternion.
Quat rotation_exp(const Vec3& phi);

// The left Jacobian of the rotation group, J_l(φ) = E + (1 − cos θ)/θ² [φ]× +
// (θ − sin θ)/θ³ [φ]×², θ = |φ|: exp(φ + δ) = exp(J_l(φ) δ) exp(φ) to first
// order. Its inverse, J_l⁻¹(φ) = E − ½[φ]× + (1 − (θ/2) cot(θ/2))/θ² [φ]×²
// (θ < 2π), gives log(exp(δ) exp(φ)) = φ + J_l⁻¹(φ) δ. J_r(φ) = J_l(−φ) = J_l(φ)ᵀ.
// Series near θ = 0 keep both to round-off.
Mat3 left_jacobian(const Vec3& phi);
Mat3 left_jacobian_inverse(const Vec3& phi);

// Mass properties of a link in its own frame: 25 doubles, matrices column by column.
struct MassProperties {
  double mass = 0.0;
  Vec3 center_of_mass = Vec3::Zero();
  Mat3 inertia_com = Mat3::Zero();     // about the centre of mass, link axes
  Vec3 first_moment = Vec3::Zero();    // h = m·c
  Mat3 inertia_origin = Mat3::Zero();  // I_o = I_c + m·(|c|²·E − c·cᵀ)

  static MassProperties from_com_inertia(double mass, const Vec3& com, const Mat3& inertia_com);
};
static_assert(sizeof(MassProperties) == 25 * sizeof(double));

}  // namespace velkor
