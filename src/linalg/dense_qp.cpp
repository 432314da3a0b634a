#include "linalg/dense_qp.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "linalg/cholesky.hpp"

namespace velkor {

namespace {
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double eps = std::numeric_limits<double>::epsilon();
}  // namespace

void DenseQp::reserve(std::size_t n, std::size_t m) {
  n_ = n;
  m_ = m;
  J_.assign(n * n, 0.0);
  R_.assign(n * n, 0.0);
  d_.assign(n, 0.0);
  z_.assign(n, 0.0);
  r_.assign(n + 1, 0.0);
  u_.assign(n + 1, 0.0);
  u_old_.assign(n + 1, 0.0);
  x_.assign(n, 0.0);
  x_old_.assign(n, 0.0);
  active_.assign(n + 1, 0);
  active_old_.assign(n + 1, 0);
  inactive_.assign(2 * n, 0);
  excluded_.assign(2 * n, 0);
}

void DenseQp::normal_times_J(std::size_t k, std::span<const double> A) {
  // d = Jᵀ n_k: a row of A, or ±e_i (J's row i)
  for (std::size_t c = 0; c < n_; ++c) {
    double sum = 0.0;
    if (k < m_) {
      for (std::size_t i = 0; i < n_; ++i) sum += Jat(i, c) * A[i * m_ + k];
    } else {
      const std::size_t i = (k - m_) / 2;
      sum = (k - m_) % 2 == 0 ? Jat(i, c) : -Jat(i, c);
    }
    d_[c] = sum;
  }
}

double DenseQp::normal_dot(std::size_t k, std::span<const double> A, const double* v) const {
  if (k >= m_) {
    const std::size_t i = (k - m_) / 2;
    return (k - m_) % 2 == 0 ? v[i] : -v[i];
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < n_; ++i) sum += A[i * m_ + k] * v[i];
  return sum;
}

double DenseQp::slack(std::size_t k, std::span<const double> A, std::span<const double> b,
                      std::span<const double> lower, std::span<const double> upper) const {
  const double nx = normal_dot(k, A, x_.data());
  if (k < m_) return nx - b[k];
  const std::size_t i = (k - m_) / 2;
  return (k - m_) % 2 == 0 ? nx - lower[i] : nx + upper[i];  // x − l ≥ 0, u − x ≥ 0
}

void DenseQp::update_z() {
  // z = J[:, iq:] d[iq:]
  for (std::size_t i = 0; i < n_; ++i) {
    double sum = 0.0;
    for (std::size_t j = iq_; j < n_; ++j) sum += J_[j * n_ + i] * d_[j];
    z_[i] = sum;
  }
}

void DenseQp::update_r() {
  // R[:iq, :iq] r = d[:iq], R upper triangular
  for (std::size_t i = iq_; i-- > 0;) {
    double sum = 0.0;
    for (std::size_t j = i + 1; j < iq_; ++j) sum += R_[j * n_ + i] * r_[j];
    r_[i] = (d_[i] - sum) / R_[i * n_ + i];
  }
}

bool DenseQp::add_constraint() {
  // Givens rotations zero d[iq+1:] from the bottom up, applied to J's columns
  for (std::size_t j = n_ - 1; j >= iq_ + 1; --j) {
    double cc = d_[j - 1], ss = d_[j];
    const double h = std::hypot(cc, ss);
    if (h == 0.0) continue;
    d_[j] = 0.0;
    ss /= h;
    cc /= h;
    if (cc < 0.0) {
      cc = -cc;
      ss = -ss;
      d_[j - 1] = -h;
    } else {
      d_[j - 1] = h;
    }
    const double xny = ss / (1.0 + cc);
    for (std::size_t k = 0; k < n_; ++k) {
      const double t1 = Jat(k, j - 1), t2 = Jat(k, j);
      Jat(k, j - 1) = t1 * cc + t2 * ss;
      Jat(k, j) = xny * (t1 + Jat(k, j - 1)) - t2;
    }
  }
  ++iq_;
  // R's new column: d[:iq]
  for (std::size_t i = 0; i < iq_; ++i) Rat(i, iq_ - 1) = d_[i];
  if (std::abs(d_[iq_ - 1]) <= eps * R_norm_) return false;  // dependent on the active normals
  R_norm_ = std::max(R_norm_, std::abs(d_[iq_ - 1]));
  return true;
}

void DenseQp::drop_constraint(std::size_t l) {
  std::size_t qq = m_;
  for (std::size_t i = m_; i < iq_; ++i)
    if (active_[i] == l) {
      qq = i;
      break;
    }
  // remove it from the active list, its multiplier and R's column
  for (std::size_t i = qq; i + 1 < iq_; ++i) {
    active_[i] = active_[i + 1];
    u_[i] = u_[i + 1];
    for (std::size_t j = 0; j < n_; ++j) Rat(j, i) = Rat(j, i + 1);
  }
  active_[iq_ - 1] = active_[iq_];
  u_[iq_ - 1] = u_[iq_];
  active_[iq_] = 0;
  u_[iq_] = 0.0;
  for (std::size_t j = 0; j < iq_; ++j) Rat(j, iq_ - 1) = 0.0;
  --iq_;
  if (iq_ == 0) return;
  // restore R's triangle by Givens rotations, applied to J's columns too
  for (std::size_t j = qq; j < iq_; ++j) {
    double cc = Rat(j, j), ss = Rat(j + 1, j);
    const double h = std::hypot(cc, ss);
    if (h == 0.0) continue;
    cc /= h;
    ss /= h;
    Rat(j + 1, j) = 0.0;
    if (cc < 0.0) {
      Rat(j, j) = -h;
      cc = -cc;
      ss = -ss;
    } else {
      Rat(j, j) = h;
    }
    const double xny = ss / (1.0 + cc);
    for (std::size_t k = j + 1; k < iq_; ++k) {
      const double t1 = Rat(j, k), t2 = Rat(j + 1, k);
      Rat(j, k) = t1 * cc + t2 * ss;
      Rat(j + 1, k) = xny * (t1 + Rat(j, k)) - t2;
    }
    for (std::size_t k = 0; k < n_; ++k) {
      const double t1 = Jat(k, j), t2 = Jat(k, j + 1);
      Jat(k, j) = t1 * cc + t2 * ss;
      Jat(k, j + 1) = xny * (Jat(k, j) + t1) - t2;
    }
  }
}

QpStatus DenseQp::solve(std::span<const double> H, std::span<const double> g, std::span<const double> A,
                        std::span<const double> b, std::span<const double> lower,
                        std::span<const double> upper, std::span<double> x_out) {
  const std::size_t n = n_, m = m_;
  // H = L Lᵀ in R's storage for now (L(i, j) at R_[j·n + i]), then J = L⁻ᵀ (upper triangular)
  std::fill(R_.begin(), R_.end(), 0.0);
  if (linalg::cholesky(n, H, 0.0, 0.0, linalg::DependentRows::refuse, R_).outcome !=
      linalg::Factored::done)
    return QpStatus::NotPositiveDefinite;
  // Lᵀ J = E: J = L⁻ᵀ (upper triangular)
  linalg::cholesky_inverse_transpose(n, R_, J_);
  std::fill(R_.begin(), R_.end(), 0.0);
  R_norm_ = 1.0;
  // x = −H⁻¹g = −J Jᵀ g
  for (std::size_t c = 0; c < n; ++c) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += Jat(i, c) * g[i];
    d_[c] = sum;
  }
  for (std::size_t i = 0; i < n; ++i) {
    double sum = 0.0;
    for (std::size_t c = 0; c < n; ++c) sum += Jat(i, c) * d_[c];
    x_[i] = -sum;
  }
  iq_ = 0;
  // the equalities first: a full step onto each; once n of them are taken
  // they span every normal, so the rows after them depend on them
  for (std::size_t k = 0; k < m && iq_ < n; ++k) {
    normal_times_J(k, A);
    update_z();
    update_r();
    const double zn = normal_dot(k, A, z_.data());
    double t2 = 0.0;
    if (std::abs(zn) > eps) t2 = -slack(k, A, b, lower, upper) / zn;
    for (std::size_t i = 0; i < n; ++i) x_[i] += t2 * z_[i];
    u_[iq_] = t2;
    for (std::size_t i = 0; i < iq_; ++i) u_[i] -= t2 * r_[i];
    active_[iq_] = k;
    // A row in the span of those before adds nothing: it holds with them when
    // it is consistent with them (checked at the end), and is left out.
    if (!add_constraint()) --iq_;
  }
  const std::size_t bounds = 2 * n;
  const auto bounded = [&](std::size_t c) {  // a finite bound
    const std::size_t i = c / 2;
    const double v = c % 2 == 0 ? lower[i] : upper[i];
    return std::abs(v) < no_bound;
  };
  for (std::size_t c = 0; c < bounds; ++c) inactive_[c] = 1;
  const std::size_t max_changes = 20 * (n + m + 2);
  for (std::size_t changes = 0;; ++changes) {
    if (changes > max_changes) return QpStatus::Cycling;  // degenerate beyond repair
    // step 1: the most violated bound not active
    for (std::size_t i = m; i < iq_; ++i) inactive_[active_[i] - m] = 0;
    for (std::size_t c = 0; c < bounds; ++c) excluded_[c] = 1;
    std::copy(u_.begin(), u_.begin() + static_cast<std::ptrdiff_t>(iq_), u_old_.begin());
    std::copy(active_.begin(), active_.begin() + static_cast<std::ptrdiff_t>(iq_), active_old_.begin());
    std::copy(x_.begin(), x_.end(), x_old_.begin());
  choose:
    double worst = 0.0;
    std::size_t p = bounds;
    for (std::size_t c = 0; c < bounds; ++c) {
      if (!inactive_[c] || !excluded_[c] || !bounded(c)) continue;
      const double s = slack(m + c, A, b, lower, upper);
      if (s < worst) {
        worst = s;
        p = c;
      }
    }
    const double tolerance = 1e-14 * (1.0 + std::abs(worst));
    if (p == bounds || worst >= -tolerance) {
      // the rows left out as dependent must hold too
      for (std::size_t k = 0; k < m; ++k) {
        double scale = std::abs(b[k]);
        for (std::size_t i = 0; i < n; ++i) scale += std::abs(A[i * m + k] * x_[i]);
        if (std::abs(slack(k, A, b, lower, upper)) > 1e-9 * (1.0 + scale)) return QpStatus::Infeasible;
      }
      std::copy(x_.begin(), x_.end(), x_out.begin());
      return QpStatus::Solved;
    }
    const std::size_t kp = m + p;
    u_[iq_] = 0.0;
    active_[iq_] = kp;
    double sp = worst;
    // step 2: move towards it, dropping bounds whose multipliers would turn negative
    for (;;) {
      normal_times_J(kp, A);
      update_z();
      update_r();
      double t1 = inf;
      std::size_t l = 0;
      for (std::size_t k = m; k < iq_; ++k)
        if (r_[k] > 0.0 && u_[k] / r_[k] < t1) {
          t1 = u_[k] / r_[k];
          l = active_[k];
        }
      double zz = 0.0;
      for (std::size_t i = 0; i < n; ++i) zz += z_[i] * z_[i];
      const double zn = normal_dot(kp, A, z_.data());
      const double t2 = zz > eps ? -sp / zn : inf;
      const double t = std::min(t1, t2);
      if (t >= inf) return QpStatus::Infeasible;
      if (t2 >= inf) {  // no primal move: drop bound l
        for (std::size_t k = 0; k < iq_; ++k) u_[k] -= t * r_[k];
        u_[iq_] += t;
        inactive_[l - m] = 1;
        drop_constraint(l);
        continue;
      }
      for (std::size_t i = 0; i < n; ++i) x_[i] += t * z_[i];
      for (std::size_t k = 0; k < iq_; ++k) u_[k] -= t * r_[k];
      u_[iq_] += t;
      if (t == t2) {  // full step: the bound becomes active
        if (!add_constraint()) {  // dependent on the active ones: exclude it, restore
          excluded_[p] = 0;
          drop_constraint(kp);
          for (std::size_t c = 0; c < bounds; ++c) inactive_[c] = 1;
          for (std::size_t i = m; i < iq_; ++i) {
            active_[i] = active_old_[i];
            u_[i] = u_old_[i];
            inactive_[active_[i] - m] = 0;
          }
          std::copy(x_old_.begin(), x_old_.end(), x_.begin());
          goto choose;
        }
        inactive_[p] = 0;
        break;
      }
      // partial step: drop bound l and go on towards p
      inactive_[l - m] = 1;
      drop_constraint(l);
      sp = slack(kp, A, b, lower, upper);
    }
  }
}

}  // namespace velkor
