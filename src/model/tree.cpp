#include "model/tree.hpp"

#include <Eigen/Eigenvalues>
#include <cmath>

namespace velkor {
namespace {

bool all_finite(const urdf::Triple& t) {
  return std::isfinite(t[0]) && std::isfinite(t[1]) && std::isfinite(t[2]);
}

Error invalid(const std::string& link, const char* what) {
  return errors::InvalidModel{"link " + link + " " + what};
}

}  // namespace

bool is_positive_semidefinite(const Mat3& inertia) {
  // Scale by the largest entry so tiny and huge inertias are judged alike, then
  // take the eigenvalues by Householder tridiagonalisation and implicit QR.
  const double k = inertia.cwiseAbs().maxCoeff();
  const Mat3 scaled = k != 0.0 ? Mat3(inertia / k) : inertia;
  const Eigen::SelfAdjointEigenSolver<Mat3> solver(scaled, Eigen::EigenvaluesOnly);
  for (int i = 0; i < 3; ++i)
    if (solver.eigenvalues()[i] * k < 0.0) return false;
  return true;
}

std::expected<Link, Error> robot_link(const urdf::Link& link) {
  const urdf::Inertial& in = link.inertial;
  if (!(std::isfinite(in.mass) && in.mass >= 0.0))
    return std::unexpected(invalid(link.name, "mass must be finite and non-negative"));
  if (!all_finite(in.origin.xyz) || !all_finite(in.origin.rpy))
    return std::unexpected(invalid(link.name, "inertial origin must contain only finite values"));
  const urdf::Inertia& i = in.inertia;
  Mat3 inertia;
  inertia << i.ixx, i.ixy, i.ixz,
             i.ixy, i.iyy, i.iyz,
             i.ixz, i.iyz, i.izz;
  if (!inertia.allFinite())
    return std::unexpected(invalid(link.name, "inertia must contain only finite values"));
  if (!is_positive_semidefinite(inertia))
    return std::unexpected(invalid(link.name, "inertia must be positive semi-definite"));

  // I_c = R·I·Rᵀ: the inertia axes of the file rotated into link axes.
  const Mat3 R = rpy_quaternion(in.origin.rpy[0], in.origin.rpy[1], in.origin.rpy[2])
                     .toRotationMatrix();
  const Vec3 com(in.origin.xyz[0], in.origin.xyz[1], in.origin.xyz[2]);
  const Mat3 inertia_com = R * inertia * R.transpose();
  const auto properties = MassProperties::from_com_inertia(in.mass, com, inertia_com);
  // Finite inputs can still overflow (a mass of 1e200 at 1e200 m); a model holding
  // infinities would poison every dynamics result.
  const double* record = &properties.mass;
  for (std::size_t k = 0; k < 25; ++k)
    if (!std::isfinite(record[k]))
      return std::unexpected(invalid(link.name, "mass properties must be finite"));
  return Link{link.name, properties};
}

}  // namespace velkor
