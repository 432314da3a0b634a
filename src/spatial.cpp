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

Quat rotation_exp(const Vec3& phi) {
  const double theta = phi.norm();
  double sine, cosine;
  ::sincos(0.5 * theta, &sine, &cosine);
  // sin(θ/2)/θ, its series below 1e-4 (where the next term is under 1e-18)
  const double s = theta < 1e-4 ? 0.5 - theta * theta / 48.0 : sine / theta;
  return Quat(cosine, s * phi.x(), s * phi.y(), s * phi.z());
}

namespace {

Mat3 skew_of(const Vec3& v) {
  Mat3 k;
  k << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
  return k;
}

}  // namespace

Mat3 left_jacobian(const Vec3& phi) {
  const double t2 = phi.squaredNorm(), theta = std::sqrt(t2);
  double a, b;  // (1 − cos θ)/θ², (θ − sin θ)/θ³
  if (theta < 0.1) {
    a = 0.5 - t2 / 24.0 * (1.0 - t2 / 30.0 * (1.0 - t2 / 56.0 * (1.0 - t2 / 90.0)));
    b = 1.0 / 6.0 - t2 / 120.0 * (1.0 - t2 / 42.0 * (1.0 - t2 / 72.0 * (1.0 - t2 / 110.0)));
  } else {
    const double s = std::sin(0.5 * theta);
    a = 2.0 * s * s / t2;
    b = (theta - std::sin(theta)) / (t2 * theta);
  }
  const Mat3 K = skew_of(phi);
  return Mat3::Identity() + a * K + b * K * K;
}

Mat3 left_jacobian_inverse(const Vec3& phi) {
  const double t2 = phi.squaredNorm(), theta = std::sqrt(t2);
  double c;  // (1 − (θ/2) cot(θ/2))/θ²
  if (theta < 0.1) {
    c = 1.0 / 12.0 + t2 / 720.0 + t2 * t2 / 30240.0 + t2 * t2 * t2 / 1209600.0 +
        t2 * t2 * t2 * t2 / 47900160.0;
  } else {
    const double half = 0.5 * theta;
    c = (1.0 - half * std::cos(half) / std::sin(half)) / t2;
  }
  const Mat3 K = skew_of(phi);
  return Mat3::Identity() - 0.5 * K + c * K * K;
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
