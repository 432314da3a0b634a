#include "robot/ik/inverse_kinematics.hpp"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cmath>

#include "robot/checks.hpp"
#include "robot/coupling.hpp"
#include "robot/kinematics/path_kernels.hpp"

namespace velkor {
namespace {

bool finite_positive(double value) { return std::isfinite(value) && value > 0.0; }

std::expected<void, Error> validate_options(const IkOptions& o) {
  if (o.max_iterations == 0)
    return std::unexpected(errors::InvalidIkOptions{"max_iterations", "must be greater than zero"});
  const std::pair<Label, double> values[] = {{"translation_tolerance", o.translation_tolerance},
                                             {"rotation_tolerance", o.rotation_tolerance},
                                             {"damping", o.damping},
                                             {"max_step_norm", o.max_step_norm}};
  for (const auto& [name, value] : values)
    if (!finite_positive(value))
      return std::unexpected(errors::InvalidIkOptions{name, "must be finite and greater than zero"});
  return {};
}

}  // namespace

std::expected<void, Error> validate_inverse_kinematics_solution(const Model& model,
                                                                std::span<const double> x) {
  for (std::size_t i = 0, n = coordinate_count(model); i < n; ++i) {
    const Joint& joint = coordinate_joint(model, i);
    if (x[i] > joint.upper + 1e-12 || x[i] < joint.lower - 1e-12)
      return std::unexpected(
          errors::IkJointLimitViolation{i, joint.name, x[i], joint.lower, joint.upper});
  }
  return {};
}

std::expected<void, Error> inverse_kinematics(const Robot& robot, Workspace& w,
                                              std::span<const double> initial_q, LinkId target,
                                              const Pose& desired, const IkOptions& options,
                                              std::span<double> out) {
  Interrupt never;
  return inverse_kinematics(robot, w, initial_q, target, desired, options, out, never);
}

std::expected<void, Error> inverse_kinematics(const Robot& robot, Workspace& w,
                                              std::span<const double> initial_q, LinkId target,
                                              const Pose& desired, const IkOptions& options,
                                              std::span<double> out, Interrupt& interrupt) {
  const Model& model = robot.model();
  const Coupling* coupling = model.coupling.get();
  const std::size_t n = model.dof_count(), n_free = coordinate_count(model);
  if (initial_q.size() != n_free)
    return std::unexpected(wrong_length("initial_q", n_free, initial_q.size()));
  VELKOR_TRY(check_finite(initial_q, "initial_q"));
  VELKOR_TRY(check_output(out, initial_q.size(), "inverse kinematics output"));
  const auto link = model.link_index(target);
  if (!link) return std::unexpected(link.error());
  if (w.ik_joints.size() != n)
    return std::unexpected(wrong_length("IK joint workspace", n, w.ik_joints.size()));
  if (w.ik_step.size() != n)
    return std::unexpected(wrong_length("IK step workspace", n, w.ik_step.size()));
  VELKOR_TRY(validate_options(options));

  // The desired pose in root-link coordinates: p* = R_bᵀ·(t − t_b), q* = conj(q_b)·q.
  const Pose& base = robot.base_frame();
  const Vec3 p_star = base.inverse_rotate(desired.translation - base.translation);
  const Quat q_star = base.rotation.conjugate() * desired.rotation;
  if (!p_star.allFinite() || !q_star.coeffs().allFinite())
    return std::unexpected(errors::NonFiniteIkInput{"target frame"});

  // x: the free coordinates; a coupled model's kernels read x_full = G x + b
  // and its Jacobian's columns contract to J G.
  const std::span<double> x = std::span(w.ik_joints).first(n_free);
  std::copy(initial_q.begin(), initial_q.end(), x.begin());
  reserve_coupled_scratch(model, w);
  const std::span<const double> x_full = coupling ? std::span<const double>(w.coupled.positions) : x;
  const std::size_t length = prepare_ancestor_path(model.parent, *link, w.path);
  const std::span<const std::size_t> path(w.path.data(), length);
  std::fill(w.jacobian.begin(), w.jacobian.end(), 0.0);  // off-path columns stay zero
  const double lambda2 = options.damping * options.damping;
  // The path's DOFs, target end first: the first moving joint on it, then its DOF ancestors.
  std::optional<std::size_t> path_top;
  for (std::size_t j : path)
    if ((path_top = model.joint_dof[j])) break;
  // The coordinates that move the target with their Jacobian columns: the
  // path's DOFs, or every free coordinate of a coupled model.
  const double* columns = coupling ? w.coupled.jacobian.data() : w.jacobian.data();
  const auto path_dofs = [&](auto&& visit) {
    if (coupling != nullptr)
      for (std::size_t g = 0; g < n_free; ++g) visit(g);
    else
      for (std::optional<std::size_t> d = path_top; d; d = model.dof_parent[*d]) visit(*d);
  };

  for (std::size_t k = 0;; ++k) {
    if (coupling != nullptr) expand_positions(*coupling, 0, x, w.coupled.positions);
    VELKOR_TRY(target_frames_kernel(model, x_full, path, w.frames));
    const auto current = jacobian_kernel(model, w.frames, *link, path, w.jacobian, false);
    if (!current) return std::unexpected(current.error());
    if (coupling != nullptr) contract_columns(*coupling, 0, 6, w.jacobian, w.coupled.jacobian);

    // E = (r, e_p), angular first like the Jacobian rows
    const Vec3 e_p = p_star - current->translation;
    const Vec3 r = rotation_error(q_star, current->rotation);
    const double translation_error = e_p.norm(), rotation_error_norm = r.norm();
    if (translation_error <= options.translation_tolerance &&
        rotation_error_norm <= options.rotation_tolerance) {
      VELKOR_TRY(validate_inverse_kinematics_solution(model, x));
      std::copy(x.begin(), x.end(), out.begin());
      return {};
    }
    if (k == options.max_iterations)
      return std::unexpected(errors::IkNotConverged{k, translation_error, rotation_error_norm});
    if (interrupt.due()) return std::unexpected(errors::Interrupted{});
    const std::size_t iteration = k + 1;

    // A = J·Jᵀ + λ²·I over the path columns
    Mat6 A = lambda2 * Mat6::Identity();
    path_dofs([&](std::size_t d) {
      const Eigen::Map<const Vec6> c(columns + 6 * d);
      A.noalias() += c * c.transpose();
    });
    const Eigen::LLT<Mat6> cholesky(A);
    // Eigen reports non-positive pivots; a NaN pivot shows as a non-positive diagonal of L.
    if (cholesky.info() != Eigen::Success || !(cholesky.matrixLLT().diagonal().array() > 0.0).all())
      return std::unexpected(errors::IkNumericalFailure{iteration});
    Vec6 E;
    E << r, e_p;
    const Vec6 y = cholesky.solve(E);

    // Δ_d = c_d·y; N = ‖Δ‖ over the path DOFs
    double norm2 = 0.0;
    path_dofs([&](std::size_t d) {
      const double delta = Eigen::Map<const Vec6>(columns + 6 * d).dot(y);
      w.ik_step[d] = delta;
      norm2 += delta * delta;
    });
    const double N = std::sqrt(norm2);
    if (!std::isfinite(N)) return std::unexpected(errors::IkNumericalFailure{iteration});
    const double scale = N > options.max_step_norm ? options.max_step_norm / N : 1.0;
    path_dofs([&](std::size_t d) { x[d] += scale * w.ik_step[d]; });
  }
}

}  // namespace velkor
