#include "spatial.hpp"

#include <cmath>

namespace velkor {

std::array<double, 7> Pose::to_array() const {
  return {rotation.x(),    rotation.y(),    rotation.z(),   rotation.w(),
          translation.x(), translation.y(), translation.z()};
}

Pose Pose::from_array(const std::array<double, 7>& v) {
  Pose pose;
  pose.rotation = Quat(v[3], v[0], v[1], v[2]);  // Eigen's constructor takes w first
  pose.translation = Vec3(v[4], v[5], v[6]);
  return pose;
}

bool Pose::all_finite() const { return rotation.coeffs().allFinite() && translation.allFinite(); }

std::optional<Pose> accept_pose(const std::array<double, 7>& v) {
  const double norm2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3];
  const bool translation_finite = std::isfinite(v[4]) && std::isfinite(v[5]) && std::isfinite(v[6]);
  if (!translation_finite || !std::isfinite(norm2) || !(norm2 > 1e-24)) return std::nullopt;
  const double norm = std::sqrt(norm2);
  return Pose::from_array({v[0] / norm, v[1] / norm, v[2] / norm, v[3] / norm, v[4], v[5], v[6]});
}

Vec3 rotation_error(const Quat& desired, const Quat& current) {
  const Quat e = desired * current.conjugate();
  Vec3 v = e.vec();
  if (e.w() < 0) v = -v;
  const double s2 = v.squaredNorm();
  if (s2 <= 0.0) return Vec3::Zero();
  const double s = std::sqrt(s2);
  return v / s * (2.0 * std::atan2(s, std::abs(e.w())));
}

Quat rpy_quaternion(double roll, double pitch, double yaw) {
  const double sr = std::sin(roll / 2), cr = std::cos(roll / 2);
  const double sp = std::sin(pitch / 2), cp = std::cos(pitch / 2);
  const double sy = std::sin(yaw / 2), cy = std::cos(yaw / 2);
  return Quat(cr * cp * cy + sr * sp * sy,   // w
              sr * cp * cy - cr * sp * sy,   // x
              cr * sp * cy + sr * cp * sy,   // y
              cr * cp * sy - sr * sp * cy);  // z
}

MassProperties MassProperties::from_com_inertia(double mass, const Vec3& com, const Mat3& inertia_com) {
  MassProperties p;
  p.mass = mass;
  p.center_of_mass = com;
  p.inertia_com = inertia_com;
  p.first_moment = mass * com;
  p.inertia_origin = inertia_com + mass * (com.squaredNorm() * Mat3::Identity() - com * com.transpose());
  return p;
}

}  // namespace velkor
