#include "robot/configuration.hpp"

#include <algorithm>
#include <cmath>

#include "robot/checks.hpp"

namespace velkor {

std::expected<void, Error> check_configuration(const Model& model, const Base& base,
                                               std::span<const double> c, Label name) {
  const std::size_t C = configuration_size(model, base);
  if (c.size() != C) return std::unexpected(wrong_length(name, C, c.size()));
  VELKOR_TRY(check_finite(c, name));
  if (base.floating && !configuration_pose(c.data()))
    return std::unexpected(errors::ZeroQuaternion{name});
  return {};
}

std::expected<void, Error> check_velocity(const Model& model, const Base& base,
                                          std::span<const double> v, Label name) {
  const std::size_t N = base.coordinates() + coordinate_count(model);
  if (v.size() != N) return std::unexpected(wrong_length(name, N, v.size()));
  return check_finite(v, name);
}

namespace {

std::expected<void, Error> check_step(double dt, Label name) {
  if (!std::isfinite(dt)) return std::unexpected(errors::NonFiniteInput{name});
  return {};
}

// Writes the pose as a configuration's first 7 values.
void put_pose(const Pose& pose, double* out) {
  out[0] = pose.translation.x();
  out[1] = pose.translation.y();
  out[2] = pose.translation.z();
  out[3] = pose.rotation.x();
  out[4] = pose.rotation.y();
  out[5] = pose.rotation.z();
  out[6] = pose.rotation.w();
}

// An N x N column-major matrix set to the identity times `scale`.
void scaled_identity(std::span<double> m, std::size_t N, double scale) {
  std::fill(m.begin(), m.end(), 0.0);
  for (std::size_t i = 0; i < N; ++i) m[i * N + i] = scale;
}

// Writes a 3 x 3 block at (row, column) r0 = c0 of an N x N column-major matrix.
void put_block(std::span<double> m, std::size_t N, std::size_t at, const Mat3& block) {
  for (std::size_t c = 0; c < 3; ++c)
    for (std::size_t r = 0; r < 3; ++r) m[(at + c) * N + at + r] = block(r, c);
}

}  // namespace

std::optional<Pose> configuration_pose(const double* c) {
  return accept_pose({c[3], c[4], c[5], c[6], c[0], c[1], c[2]});
}

namespace {

// A free base's part of integrate: R ← exp(dt[ω]×)·R, p ← p + dt·v, world axes.
void integrate_base(const Pose& pose, const double* v, double dt, double* out) {
  const Vec3 phi(dt * v[0], dt * v[1], dt * v[2]);
  Quat rotation = rotation_exp(phi) * pose.rotation;
  rotation.normalize();
  put_pose(Pose{rotation, Vec3(pose.translation.x() + dt * v[3], pose.translation.y() + dt * v[4],
                               pose.translation.z() + dt * v[5])},
           out);
}

// A free base's part of difference: ω = log(R1·R0ᵀ) (the shortest rotation), v = p1 − p0.
void difference_base(const Pose& pose0, const Pose& pose1, double* out) {
  const Vec3 omega = rotation_error(pose1.rotation, pose0.rotation);
  for (int i = 0; i < 3; ++i) {
    out[i] = omega[i];
    out[3 + i] = pose1.translation[i] - pose0.translation[i];
  }
}

}  // namespace

void integrate_unchecked(const Model& model, const Pose* pose, const double* c, const double* v,
                         double dt, double* out) {
  std::size_t joints_c = 0, joints_v = 0;
  if (pose != nullptr) {
    integrate_base(*pose, v, dt, out);
    joints_c = 7;
    joints_v = 6;
  }
  // q ← q + dt·q̇
  for (std::size_t i = 0, n = coordinate_count(model); i < n; ++i)
    out[joints_c + i] = c[joints_c + i] + dt * v[joints_v + i];
}

std::expected<void, Error> integrate(const Model& model, const Base& base,
                                     std::span<const double> configuration,
                                     std::span<const double> velocity, double dt,
                                     std::span<double> out) {
  VELKOR_TRY(check_configuration(model, base, configuration, "configuration"));
  VELKOR_TRY(check_velocity(model, base, velocity, "velocity"));
  VELKOR_TRY(check_step(dt, "dt"));
  VELKOR_TRY(check_output(out, configuration.size(), "out"));
  const auto pose = base.floating ? configuration_pose(configuration.data()) : std::nullopt;
  integrate_unchecked(model, pose ? &*pose : nullptr, configuration.data(), velocity.data(), dt,
                      out.data());
  return {};
}

namespace {

// difference(c0, c1) of checked configurations.
void difference_unchecked(const Model& model, bool floating, const double* c0, const double* c1,
                          double* out) {
  std::size_t joints_c = 0, joints_v = 0;
  if (floating) {
    difference_base(*configuration_pose(c0), *configuration_pose(c1), out);
    joints_c = 7;
    joints_v = 6;
  }
  // q̇ = q1 − q0
  for (std::size_t i = 0, n = coordinate_count(model); i < n; ++i)
    out[joints_v + i] = c1[joints_c + i] - c0[joints_c + i];
}

std::expected<void, Error> check_pair(const Model& model, const Base& base, std::span<const double> c0,
                                      std::span<const double> c1) {
  VELKOR_TRY(check_configuration(model, base, c0, "configuration0"));
  return check_configuration(model, base, c1, "configuration1");
}

}  // namespace

std::expected<void, Error> difference(const Model& model, const Base& base,
                                      std::span<const double> configuration0,
                                      std::span<const double> configuration1, std::span<double> out) {
  VELKOR_TRY(check_pair(model, base, configuration0, configuration1));
  VELKOR_TRY(check_output(out, base.coordinates() + coordinate_count(model), "out"));
  difference_unchecked(model, base.floating, configuration0.data(), configuration1.data(), out.data());
  return {};
}

std::expected<void, Error> interpolate(const Model& model, const Base& base,
                                       std::span<const double> configuration0,
                                       std::span<const double> configuration1, double t,
                                       std::span<double> out) {
  VELKOR_TRY(check_pair(model, base, configuration0, configuration1));
  VELKOR_TRY(check_step(t, "t"));
  VELKOR_TRY(check_output(out, configuration0.size(), "out"));
  const double* c0 = configuration0.data();
  const double* c1 = configuration1.data();
  std::size_t joints = 0;
  if (base.floating) {
    // integrate(c0, difference(c0, c1), t) for the base
    const Pose pose0 = *configuration_pose(c0);
    double v[6];
    difference_base(pose0, *configuration_pose(c1), v);
    integrate_base(pose0, v, t, out.data());
    joints = 7;
  }
  // q0 + t·(q1 − q0)
  for (std::size_t i = 0, n = coordinate_count(model); i < n; ++i)
    out[joints + i] = c0[joints + i] + t * (c1[joints + i] - c0[joints + i]);
  return {};
}

std::expected<void, Error> integrate_derivatives(const Model& model, const Base& base,
                                                 std::span<const double> configuration,
                                                 std::span<const double> velocity, double dt,
                                                 std::span<double> d_configuration,
                                                 std::span<double> d_velocity) {
  VELKOR_TRY(check_configuration(model, base, configuration, "configuration"));
  VELKOR_TRY(check_velocity(model, base, velocity, "velocity"));
  VELKOR_TRY(check_step(dt, "dt"));
  const std::size_t N = velocity.size();
  VELKOR_TRY(check_output(d_configuration, N * N, "out"));
  VELKOR_TRY(check_output(d_velocity, N * N, "out"));
  scaled_identity(d_configuration, N, 1.0);
  scaled_identity(d_velocity, N, dt);
  if (base.floating) {
    const Vec3 phi = dt * Vec3(velocity[0], velocity[1], velocity[2]);
    // exp(φ)·exp(δ)·R = exp(exp(φ)·δ)·exp(φ)·R; exp(φ + dt·δω) = exp(J_l(φ)·dt·δω)·exp(φ)
    put_block(d_configuration, N, 0, rotation_exp(phi).toRotationMatrix());
    put_block(d_velocity, N, 0, dt * left_jacobian(phi));
  }
  return {};
}

std::expected<void, Error> difference_derivatives(const Model& model, const Base& base,
                                                  std::span<const double> configuration0,
                                                  std::span<const double> configuration1,
                                                  std::span<double> d_configuration0,
                                                  std::span<double> d_configuration1) {
  VELKOR_TRY(check_pair(model, base, configuration0, configuration1));
  const std::size_t N = base.coordinates() + coordinate_count(model);
  VELKOR_TRY(check_output(d_configuration0, N * N, "out"));
  VELKOR_TRY(check_output(d_configuration1, N * N, "out"));
  scaled_identity(d_configuration0, N, -1.0);
  scaled_identity(d_configuration1, N, 1.0);
  if (base.floating) {
    const Pose pose0 = *configuration_pose(configuration0.data());
    const Pose pose1 = *configuration_pose(configuration1.data());
    const Vec3 phi = rotation_error(pose1.rotation, pose0.rotation);
    // log(exp(δ)·exp(φ)) = φ + J_l⁻¹(φ)·δ; log(exp(φ)·exp(−δ)) = φ − J_r⁻¹(φ)·δ, J_r⁻¹ = J_l⁻ᵀ
    const Mat3 inverse = left_jacobian_inverse(phi);
    put_block(d_configuration0, N, 0, -inverse.transpose());
    put_block(d_configuration1, N, 0, inverse);
  }
  return {};
}

}  // namespace velkor
