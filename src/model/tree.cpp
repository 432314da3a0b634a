#include "model/tree.hpp"

#include <Eigen/Eigenvalues>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "fault.hpp"
#include "finite.hpp"

namespace velkor {
namespace {

// A refused link, placed at its `child` element ("inertial/mass", ...) when the file has one.
Error invalid(const urdf::Link& link, const std::string& what, std::string_view child = {},
              std::size_t child_line = 0, Label attribute = {}) {
  SourcePlace place{"link", link.name, link.line, {}};
  if (!child.empty() && child_line != 0)
    place = {"link/" + std::string(child), link.name, child_line, attribute};
  return errors::InvalidModel{"link " + link.name + " " + what, std::move(place)};
}

// The name of the first entry of the inertia that is not finite.
Label first_non_finite(const urdf::Inertia& i) {
  const std::pair<double, Label> entries[] = {{i.ixx, "ixx"}, {i.ixy, "ixy"}, {i.ixz, "ixz"},
                                              {i.iyy, "iyy"}, {i.iyz, "iyz"}, {i.izz, "izz"}};
  for (const auto& [value, name] : entries)
    if (!std::isfinite(value)) return name;
  return {};
}

Error invalid_inertia(const urdf::Link& link, const std::string& what, Label attribute = {}) {
  return invalid(link, what, "inertial/inertia", link.lines.inertia, attribute);
}

Error invalid_inertial(const urdf::Link& link) {
  return invalid(link, "mass properties must be finite", "inertial", link.lines.inertial);
}

// Integer of any size: a sign and a magnitude in base 2^32, least significant limb first,
// with no leading zero limbs (zero has none and is never negative).
class BigInt {
 public:
  explicit BigInt(std::int64_t value = 0) : negative_(value < 0) {
    const std::uint64_t m = magnitude(value);
    limbs_ = {static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(m >> 32)};
    normalise();
  }

  BigInt& operator*=(std::int64_t factor) {
    negative_ = negative_ != (factor < 0);
    const std::uint64_t m = magnitude(factor);
    // x·m = x·m_lo + x·m_hi·2^32
    Limbs low = limbs_;
    Limbs high = limbs_;
    scale(low, static_cast<std::uint32_t>(m));
    scale(high, static_cast<std::uint32_t>(m >> 32));
    high.insert(high.begin(), 0);
    add_magnitude(low, high);
    limbs_ = std::move(low);
    normalise();
    return *this;
  }

  BigInt& operator<<=(std::size_t bits) {
    if (limbs_.empty()) return *this;
    const std::size_t whole = bits / 32;
    const unsigned part = static_cast<unsigned>(bits % 32);
    if (part != 0) {
      std::uint32_t carry = 0;
      for (std::uint32_t& limb : limbs_) {
        const std::uint32_t next = limb >> (32 - part);
        limb = (limb << part) | carry;
        carry = next;
      }
      if (carry != 0) limbs_.push_back(carry);
    }
    limbs_.insert(limbs_.begin(), whole, 0);
    return *this;
  }

  BigInt& operator+=(const BigInt& other) {
    if (negative_ == other.negative_) {
      add_magnitude(limbs_, other.limbs_);
    } else if (compare_magnitude(limbs_, other.limbs_) >= 0) {
      subtract_magnitude(limbs_, other.limbs_);
    } else {
      Limbs larger = other.limbs_;
      subtract_magnitude(larger, limbs_);
      limbs_ = std::move(larger);
      negative_ = other.negative_;
    }
    normalise();
    return *this;
  }

  int sign() const { return limbs_.empty() ? 0 : negative_ ? -1 : 1; }

 private:
  using Limbs = std::vector<std::uint32_t>;

  static std::uint64_t magnitude(std::int64_t v) {
    return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  }

  void normalise() {
    while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
    if (limbs_.empty()) negative_ = false;
  }

  static void scale(Limbs& x, std::uint32_t factor) {
    std::uint64_t carry = 0;
    for (std::uint32_t& limb : x) {
      const std::uint64_t t = std::uint64_t{limb} * factor + carry;
      limb = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    if (carry != 0) x.push_back(static_cast<std::uint32_t>(carry));
  }

  static int compare_magnitude(const Limbs& x, const Limbs& y) {
    if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
    for (std::size_t i = x.size(); i-- > 0;)
      if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
    return 0;
  }

  // x += y
  static void add_magnitude(Limbs& x, const Limbs& y) {
    if (x.size() < y.size()) x.resize(y.size(), 0);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < x.size() && (i < y.size() || carry != 0); ++i) {
      const std::uint64_t t = std::uint64_t{x[i]} + (i < y.size() ? y[i] : 0) + carry;
      x[i] = static_cast<std::uint32_t>(t);
      carry = t >> 32;
    }
    if (carry != 0) x.push_back(static_cast<std::uint32_t>(carry));
  }

  // x -= y, for |x| >= |y|
  static void subtract_magnitude(Limbs& x, const Limbs& y) {
    std::uint64_t borrow = 0;
    for (std::size_t i = 0; i < x.size() && (i < y.size() || borrow != 0); ++i) {
      const std::uint64_t t = std::uint64_t{x[i]} - (i < y.size() ? y[i] : 0) - borrow;
      x[i] = static_cast<std::uint32_t>(t);
      borrow = t >> 63;
    }
  }

  bool negative_ = false;
  Limbs limbs_;
};

// A product c·x₁·…·x_N of doubles with a small integer coefficient c.
template <std::size_t N>
using Product = std::pair<int, std::array<double, N>>;

// Sign of a sum of products, exact. Every double is m·2^q with an integer |m| < 2^53
// (frexp), so each product is an integer times a power of two; shifting every product
// to the smallest power leaves a sum of integers.
template <std::size_t N>
int exact_sign(std::initializer_list<Product<N>> sum) {
  std::vector<std::pair<BigInt, int>> terms;  // integer, power of two
  for (const auto& [coefficient, factors] : sum) {
    BigInt value(coefficient);
    int power = 0;
    for (const double x : factors) {
      int exponent = 0;
      // x = fraction·2^exponent, |fraction| in [0.5, 1)
      const double fraction = std::frexp(x, &exponent);
      value *= static_cast<std::int64_t>(std::ldexp(fraction, 53));
      power += exponent - 53;
    }
    if (value.sign() != 0) terms.emplace_back(std::move(value), power);
  }
  if (terms.empty()) return 0;
  const int lowest = std::ranges::min(terms, {}, [](const auto& t) { return t.second; }).second;
  BigInt total;
  for (auto& [value, power] : terms) {
    value <<= static_cast<std::size_t>(power - lowest);
    total += value;
  }
  return total.sign();
}

// A symmetric matrix is PSD iff all seven principal minors are >= 0. The lower triangle
// [[a,·,·],[b,d,·],[c,e,f]] is read, as the eigensolver reads it.
bool principal_minors_nonnegative(const Mat3& m) {
  const double a = m(0, 0), b = m(1, 0), c = m(2, 0), d = m(1, 1), e = m(2, 1), f = m(2, 2);
  return a >= 0.0 && d >= 0.0 && f >= 0.0 && exact_sign<2>({{1, {a, d}}, {-1, {b, b}}}) >= 0 &&
         exact_sign<2>({{1, {a, f}}, {-1, {c, c}}}) >= 0 &&
         exact_sign<2>({{1, {d, f}}, {-1, {e, e}}}) >= 0 &&
         exact_sign<3>(
             {{1, {a, d, f}}, {2, {b, c, e}}, {-1, {a, e, e}}, {-1, {d, c, c}}, {-1, {f, b, b}}}) >= 0;
}

}  // namespace

// Decide by eigenvalues when the smallest is clearly away from zero and exactly otherwise.
// S = I/max|Iᵢⱼ| has entries in [-1, 1], so one tolerance suits tiny and huge inertias.
// The solver (Householder tridiagonalisation, implicit QR) is backward stable: its
// eigenvalues are those of S + E with ‖E‖₂ a few ε·‖S‖₂, and by Weyl each moves by at
// most ‖E‖₂; dividing by the largest entry adds ε/2·‖S‖_F (underflow far less). Errors
// seen on rank-deficient and graded matrices stay below 6ε·‖S‖_F; 64ε·‖S‖_F leaves a wide
// margin, and a wider band only sends more matrices to the exact test, never to a wrong
// verdict. Within the band, or if the solver fails, the signs of the principal minors of
// I itself are computed exactly: those of S are not enough, since dividing rounds.
bool is_positive_semidefinite(const Mat3& inertia) {
  const double k = inertia.cwiseAbs().maxCoeff();
  if (k == 0.0) return true;
  const Mat3 scaled = inertia / k;
  const Eigen::SelfAdjointEigenSolver<Mat3> solver(scaled, Eigen::EigenvaluesOnly);
  if (solver.info() == Eigen::Success) {
    const double tolerance = 64.0 * std::numeric_limits<double>::epsilon() * scaled.norm();
    const double lowest = solver.eigenvalues()[0];
    if (lowest > tolerance) return true;
    if (lowest < -tolerance) return false;
  }
  return principal_minors_nonnegative(inertia);
}

namespace {

Mat3 inertia_matrix(const urdf::Inertia& i) {
  Mat3 inertia;
  inertia << i.ixx, i.ixy, i.ixz, i.ixy, i.iyy, i.iyz, i.ixz, i.iyz, i.izz;
  return inertia;
}

// Eigenvalues (ascending) and eigenvectors of I/k, k = max|Iᵢⱼ| > 0: entries in
// [-1, 1], so tiny and huge inertias are solved alike. None if the solver fails.
struct ScaledSpectrum {
  double k = 0.0;
  Vec3 values = Vec3::Zero();
  Mat3 vectors = Mat3::Identity();
};

std::optional<ScaledSpectrum> scaled_spectrum(const Mat3& inertia, int options) {
  ScaledSpectrum s;
  s.k = inertia.cwiseAbs().maxCoeff();
  if (s.k == 0.0) return s;
  const Eigen::SelfAdjointEigenSolver<Mat3> solver(inertia / s.k, options);
  if (solver.info() != Eigen::Success) return std::nullopt;
  s.values = solver.eigenvalues();
  if (options & Eigen::ComputeEigenvectors) s.vectors = solver.eigenvectors();
  return s;
}

double capped(double x) { return std::min(x, std::numeric_limits<double>::max()); }

// The nearest positive semidefinite matrix (Frobenius norm): V·max(Λ, 0)·Vᵀ.
// Rounding in the product can leave it a hair outside the cone, so its diagonal
// is lifted by a few ulps of its largest moment until the exact rule accepts it.
// None when it does not fit in doubles.
std::optional<Mat3> without_negative_eigenvalues(const ScaledSpectrum& s) {
  const Vec3 kept = s.values.cwiseMax(0.0);
  const Mat3 product = s.vectors * kept.asDiagonal() * s.vectors.transpose();
  Mat3 held;
  for (int c = 0; c < 3; ++c)
    for (int r = c; r < 3; ++r) held(r, c) = held(c, r) = product(r, c) * s.k;
  double lift = std::max(std::numeric_limits<double>::epsilon() * kept.maxCoeff() * s.k,
                         std::numeric_limits<double>::denorm_min());
  for (int step = 0;; ++step) {
    if (!held.allFinite()) return std::nullopt;
    if (is_positive_semidefinite(held)) return held;
    // Each lift doubles: after 53 the diagonal has grown by the largest moment.
    VELKOR_INVARIANT(step < 64,
                     "an inertia stays indefinite after its negative eigenvalues were removed");
    held.diagonal().array() += lift;
    lift *= 2.0;
  }
}

std::string moment_text(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", value);
  return text;
}

// A written inertia that is not positive semidefinite: repaired when its defect
// is within the allowance, else the refusal, which names the numbers when a
// tolerance was given.
std::expected<InertiaRepair, Error> repaired(const urdf::Link& link, const Mat3& written,
                                             const InertiaAllowance& allowance) {
  const Error refusal = invalid_inertia(link, "inertia must be positive semi-definite");
  if (allowance.tolerance == 0.0) return std::unexpected(refusal);
  const auto spectrum = scaled_spectrum(written, Eigen::ComputeEigenvectors);
  if (!spectrum) return std::unexpected(refusal);
  // The exact rule found a negative eigenvalue; where the solver puts the smallest
  // at zero or above (within its error of zero), the defect counts as nothing.
  const double defect = capped(std::max(-spectrum->values[0], 0.0) * spectrum->k);
  const double allowed = allowance.tolerance * allowance.scale;
  if (!(defect <= allowed))
    return std::unexpected(invalid_inertia(
        link, "inertia must be positive semi-definite: its smallest eigenvalue is " +
                  moment_text(-defect) + " kg·m², beyond the tolerated " + moment_text(-allowed) +
                  " kg·m² (inertia_tolerance times " + moment_text(allowance.scale) +
                  " kg·m², the largest principal moment of the robot's links)"));
  const auto held = without_negative_eigenvalues(*spectrum);
  if (!held) return std::unexpected(invalid_inertial(link));
  return InertiaRepair{link.name, defect, allowance.scale > 0.0 ? defect / allowance.scale : 0.0,
                       written, *held};
}

}  // namespace

double inertia_scale(std::span<const urdf::Link> links) {
  double scale = 0.0;
  for (const urdf::Link& link : links) {
    const Mat3 inertia = inertia_matrix(link.inertial.inertia);
    if (!inertia.allFinite()) continue;
    if (const auto spectrum = scaled_spectrum(inertia, Eigen::EigenvaluesOnly))
      scale = std::max(scale, capped(std::max(spectrum->values[2], 0.0) * spectrum->k));
  }
  return scale;
}

std::expected<Link, Error> robot_link(const urdf::Link& link, const InertiaAllowance& allowance,
                                      std::vector<InertiaRepair>& repairs) {
  const urdf::Inertial& in = link.inertial;
  if (!(std::isfinite(in.mass) && in.mass >= 0.0))
    return std::unexpected(invalid(link, "mass must be finite and non-negative", "inertial/mass",
                                   link.lines.mass, "value"));
  if (!all_finite(in.origin.xyz) || !all_finite(in.origin.rpy))
    return std::unexpected(invalid(link, "inertial origin must contain only finite values",
                                   "inertial/origin", link.lines.origin,
                                   all_finite(in.origin.xyz) ? "rpy" : "xyz"));
  Mat3 inertia = inertia_matrix(in.inertia);
  if (!inertia.allFinite())
    return std::unexpected(
        invalid_inertia(link, "inertia must contain only finite values", first_non_finite(in.inertia)));
  std::optional<InertiaRepair> repair;
  if (!is_positive_semidefinite(inertia)) {
    auto accepted = repaired(link, inertia, allowance);
    if (!accepted) return std::unexpected(std::move(accepted.error()));
    inertia = accepted->held;
    repair = std::move(*accepted);
  }

  // I_c = R·I·Rᵀ: the inertia axes of the file rotated into link axes.
  const Mat3 R = rpy_quaternion(in.origin.rpy[0], in.origin.rpy[1], in.origin.rpy[2]).toRotationMatrix();
  const Vec3 com(in.origin.xyz[0], in.origin.xyz[1], in.origin.xyz[2]);
  const Mat3 inertia_com = R * inertia * R.transpose();
  const auto properties = MassProperties::from_com_inertia(in.mass, com, inertia_com);
  // Finite inputs can still overflow (a mass of 1e200 at 1e200 m); a model holding
  // infinities would poison every dynamics result.
  const double* record = &properties.mass;
  for (std::size_t k = 0; k < 25; ++k)
    if (!std::isfinite(record[k])) return std::unexpected(invalid_inertial(link));
  if (repair) repairs.push_back(std::move(*repair));
  return Link{link.name, properties};
}

}  // namespace velkor
