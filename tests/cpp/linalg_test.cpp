// The dense linear algebra against Eigen's LLT and LDLT on random positive
// definite, semidefinite and indefinite matrices of 0, 1, 2, 7 and 40 rows:
// factors, solves, inverses, the dependent-row modes, shift, tolerance and the
// interrupt, and the products.
#include <Eigen/Dense>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "linalg/cholesky.hpp"
#include "linalg/products.hpp"
#include "test_models.hpp"

using namespace velkor;
using Eigen::MatrixXd;
using Eigen::VectorXd;
using test::failures;

namespace {

std::mt19937 rng(40);

void check(bool ok, const char* what, std::size_t n) {
  if (ok) return;
  std::printf("FAIL %s (n = %zu)\n", what, n);
  ++failures;
}

// ‖got − want‖_max ≤ tolerance · (1 + ‖want‖_max)
bool near(const MatrixXd& got, const MatrixXd& want, double tolerance = 1e-11) {
  if (got.size() == 0) return want.size() == 0;
  return (got - want).cwiseAbs().maxCoeff() <= tolerance * (1.0 + want.cwiseAbs().maxCoeff());
}

MatrixXd random(std::size_t rows, std::size_t cols) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  MatrixXd B(rows, cols);
  for (Eigen::Index j = 0; j < B.cols(); ++j)
    for (Eigen::Index i = 0; i < B.rows(); ++i) B(i, j) = unit(rng);
  return B;
}

// B Bᵀ of a random n x r B: positive definite (r = n, plus E) or of rank r.
MatrixXd gram(std::size_t n, std::size_t r, double identity) {
  const MatrixXd B = random(n, r);
  return B * B.transpose() / static_cast<double>(std::max<std::size_t>(r, 1)) +
         identity * MatrixXd::Identity(n, n);
}

std::span<const double> view(const MatrixXd& A) {
  return {A.data(), static_cast<std::size_t>(A.size())};
}
std::span<double> view(MatrixXd& A) { return {A.data(), static_cast<std::size_t>(A.size())}; }
std::span<double> view(VectorXd& x) { return {x.data(), static_cast<std::size_t>(x.size())}; }

MatrixXd lower(const MatrixXd& L) { return L.triangularView<Eigen::Lower>(); }

void positive_definite(std::size_t n) {
  const MatrixXd A = gram(n, n, 1.0);
  const MatrixXd I = MatrixXd::Identity(n, n);
  MatrixXd L = MatrixXd::Zero(n, n);
  const auto done = linalg::cholesky(n, view(A), 0.0, 1e-10, linalg::DependentRows::refuse, view(L));
  check(done.outcome == linalg::Factored::done, "positive definite: factored", n);
  const Eigen::LLT<MatrixXd> llt(A);
  check(near(lower(L), llt.matrixL()), "positive definite: L against Eigen's LLT", n);

  // The shift factors A + μE.
  const double mu = 0.25;
  MatrixXd L_shift = MatrixXd::Zero(n, n);
  linalg::cholesky(n, view(A), mu, 0.0, linalg::DependentRows::refuse, view(L_shift));
  check(near(lower(L_shift), Eigen::LLT<MatrixXd>(A + mu * I).matrixL()), "shifted factor", n);

  // Solves and inverses made with the factor.
  const VectorXd b = random(n, 1);
  VectorXd x = b;
  linalg::cholesky_solve(n, view(L), view(x));
  check(near(x, llt.solve(b)), "cholesky_solve against Eigen's LLT", n);
  MatrixXd X(n, n), inverse(n, n), J(n, n);
  const bool inverted =
      linalg::cholesky_inverse(n, view(L), view(X), view(inverse), [](std::size_t) { return false; });
  check(inverted, "cholesky_inverse completes", n);
  const MatrixXd L_inverse = llt.matrixL().solve(I);
  check(near(lower(X), L_inverse), "cholesky_inverse: L⁻¹", n);
  check(near(inverse, llt.solve(I)), "cholesky_inverse: A⁻¹", n);
  check(inverse == inverse.transpose(), "cholesky_inverse: symmetric", n);
  linalg::cholesky_inverse_transpose(n, view(L), view(J));
  check(near(J, L_inverse.transpose()), "cholesky_inverse_transpose: L⁻ᵀ, zero below", n);

  // LDLᵀ: L_ldlt √D = L_llt; solved with its unit lower inverse against Eigen's LDLT.
  MatrixXd U = MatrixXd::Zero(n, n), Y(n, n);
  VectorXd D(n);
  check(linalg::ldlt(n, view(A), view(U), view(D)), "ldlt: factored", n);
  check(near(lower(U) * D.cwiseSqrt().asDiagonal(), llt.matrixL()), "ldlt against Eigen's LLT", n);
  linalg::unit_lower_inverse(n, view(U), view(Y));
  check(near(Y * lower(U), I), "unit_lower_inverse: Y L = E, zero above", n);
  const VectorXd y = Y.transpose() * (Y * b).cwiseQuotient(D);
  check(near(y, Eigen::LDLT<MatrixXd>(A).solve(b)), "ldlt solve against Eigen's LDLT", n);

  // The interrupt: asked before each column with its work, and obeyed.
  if (n >= 2) {
    std::size_t asked = 0, work = 0;
    const auto stop_at_one = [&](std::size_t w) {
      work += w;
      return ++asked == 2;
    };
    const auto stopped =
        linalg::cholesky(n, view(A), 0.0, 0.0, linalg::DependentRows::refuse, view(L), stop_at_one);
    check(stopped.outcome == linalg::Factored::stopped && stopped.column == 1 && work == n + 1,
          "cholesky: stopped at column 1", n);
    asked = 0;
    check(!linalg::cholesky_inverse(n, view(L), view(X), view(inverse), stop_at_one),
          "cholesky_inverse: stopped", n);
  }
}

// Rank r < n: the rows after the first r depend on them.
void semidefinite(std::size_t n) {
  if (n < 2) return;
  const std::size_t r = n / 2;
  const MatrixXd A = gram(n, r, 0.0);
  MatrixXd L = MatrixXd::Zero(n, n);
  const auto refused = linalg::cholesky(n, view(A), 0.0, 1e-10, linalg::DependentRows::refuse, view(L));
  check(refused.outcome == linalg::Factored::dependent && refused.column == r,
        "semidefinite: refused at r", n);
  const auto skipped = linalg::cholesky(n, view(A), 0.0, 1e-10, linalg::DependentRows::skip, view(L));
  check(skipped.outcome == linalg::Factored::done, "semidefinite: skip completes", n);
  std::size_t zero_columns = 0;
  for (std::size_t j = 0; j < n; ++j) zero_columns += L.col(j).tail(n - j).isZero(0.0) ? 1 : 0;
  check(zero_columns == n - r, "semidefinite: n − r columns skipped", n);
  // b in A's range: x solves A x = b with x_j = 0 on the skipped rows, as Eigen's LDLT solves it.
  const VectorXd b = A * random(n, 1);
  VectorXd x = b;
  linalg::cholesky_solve(n, view(L), view(x));
  check(near(A * x, b, 1e-9), "semidefinite: skip solves a consistent system", n);
  check(near(A * Eigen::LDLT<MatrixXd>(A).solve(b), b, 1e-9), "semidefinite: Eigen's LDLT agrees", n);
  check(x.tail(n - r).isZero(0.0), "semidefinite: skipped rows get zero", n);
  // The shift makes it definite; tolerance zero then asks only d > 0.
  const MatrixXd I = MatrixXd::Identity(n, n);
  check(linalg::cholesky(n, view(A), 1e-3, 0.0, linalg::DependentRows::refuse, view(L)).outcome ==
                linalg::Factored::done &&
            near(lower(L), Eigen::LLT<MatrixXd>(A + 1e-3 * I).matrixL(), 1e-9),
        "semidefinite + shift against Eigen's LLT", n);
  // Exactly singular: the pivot is an exact zero, which LDLᵀ refuses.
  const MatrixXd ones = MatrixXd::Ones(n, n);
  MatrixXd U(n, n);
  VectorXd D(n);
  check(!linalg::ldlt(n, view(ones), view(U), view(D)), "ldlt refuses a zero pivot", n);
}

// The first pivot that is not positive is the first leading minor that is not.
void indefinite(std::size_t n) {
  if (n == 0) return;
  const MatrixXd A = gram(n, n, 0.0) - 0.3 * MatrixXd::Identity(n, n);
  std::size_t first = n;
  for (std::size_t k = 1; k <= n && first == n; ++k)
    if (Eigen::LLT<MatrixXd>(A.topLeftCorner(k, k)).info() != Eigen::Success) first = k - 1;
  MatrixXd L = MatrixXd::Zero(n, n), U(n, n);
  VectorXd D(n);
  const auto refused = linalg::cholesky(n, view(A), 0.0, 0.0, linalg::DependentRows::refuse, view(L));
  const bool definite = first == n;
  check(definite ? refused.outcome == linalg::Factored::done
                 : refused.outcome == linalg::Factored::dependent && refused.column == first,
        "indefinite: refused where Eigen's LLT fails", n);
  check(linalg::ldlt(n, view(A), view(U), view(D)) == definite, "indefinite: ldlt agrees", n);
}

// A pivot below the tolerance times its diagonal depends on the rows before;
// a non-finite one is refused as such, or skipped.
void tolerance_and_non_finite() {
  MatrixXd A(2, 2), L(2, 2);
  linalg::Factorisation r;
  // Relative to the diagonal, whatever the matrix's scale.
  for (const double scale : {1e-12, 1.0, 1e6}) {
    A << 1.0, 1.0, 1.0, 1.0 + 1e-12;
    A *= scale;
    r = linalg::cholesky(2, view(A), 0.0, 1e-10, linalg::DependentRows::refuse, view(L));
    check(r.outcome == linalg::Factored::dependent && r.column == 1, "tolerance: small pivot refused",
          2);
    r = linalg::cholesky(2, view(A), 0.0, 0.0, linalg::DependentRows::refuse, view(L));
    check(r.outcome == linalg::Factored::done, "tolerance zero: small pivot kept", 2);
    A = scale * MatrixXd::Identity(2, 2);
    r = linalg::cholesky(2, view(A), 0.0, 1e-10, linalg::DependentRows::refuse, view(L));
    check(r.outcome == linalg::Factored::done, "tolerance: independent rows of any scale kept", 2);
  }
  A << 1.0, 1.0, 1.0, 1.0;
  A(1, 1) = std::numeric_limits<double>::quiet_NaN();
  r = linalg::cholesky(2, view(A), 0.0, 1e-10, linalg::DependentRows::refuse, view(L));
  check(r.outcome == linalg::Factored::not_finite && r.column == 1, "NaN pivot: not finite", 2);
  r = linalg::cholesky(2, view(A), 0.0, 1e-10, linalg::DependentRows::skip, view(L));
  check(r.outcome == linalg::Factored::done && L(1, 1) == 0.0, "NaN pivot: skipped", 2);
}

void products() {
  for (std::size_t inner = 0; inner <= 9; ++inner) {
    const MatrixXd A = random(5, inner), B = random(inner, 3);
    MatrixXd C = random(5, 3);
    const MatrixXd want = C + A * B;
    linalg::add_product(view(C), view(A), view(B), 5, inner, 3);
    check(near(C, want, 1e-14), "add_product against Eigen", inner);
  }
  const MatrixXd rows = random(7, 4);  // read as 4 rows of 7
  MatrixXd out(4, 7);
  linalg::columns_of(view(rows), 4, 7, view(out));
  check(out == rows.transpose(), "columns_of: the transpose", 4);
}

}  // namespace

int main() {
  for (const std::size_t n : {0, 1, 2, 7, 40}) {
    positive_definite(n);
    semidefinite(n);
    indefinite(n);
  }
  tolerance_and_non_finite();
  products();
  return test::verdict();
}
