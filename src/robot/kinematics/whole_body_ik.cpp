#include "robot/kinematics/whole_body_ik.hpp"

#include <proxsuite/proxqp/dense/dense.hpp>

namespace velkor {

class IkSolver {};

IkProblem::IkProblem(const IkProblem& other)
    : tasks_(other.tasks_),
      settings_(other.settings_),
      floating_(other.floating_),
      model_id_(other.model_id_),
      N_(other.N_),
      C_(other.C_),
      m_(other.m_) {}
IkProblem& IkProblem::operator=(const IkProblem& other) {
  if (this != &other) *this = IkProblem(other);
  return *this;
}
IkProblem::IkProblem(IkProblem&&) noexcept = default;
IkProblem& IkProblem::operator=(IkProblem&&) noexcept = default;
IkProblem::~IkProblem() = default;

std::expected<IkProblem, Error> IkProblem::make(const Model& model, bool floating,
                                                std::vector<IkTask> tasks, IkSettings settings) {
  IkProblem p;
  p.floating_ = floating;
  p.model_id_ = model.id;
  p.N_ = model.dof_count() + (floating ? 6 : 0);
  p.C_ = model.dof_count() + (floating ? 7 : 0);
  p.tasks_ = std::make_shared<const std::vector<IkTask>>(std::move(tasks));
  p.settings_ = std::make_shared<const IkSettings>(std::move(settings));
  return p;
}

std::expected<IkOutcome, Error> IkProblem::solve(const Model&, Workspace&, std::span<const double> start,
                                                 const IkSolveOptions&, std::span<double> out,
                                                 std::span<double> task_errors, Interrupt&) {
  std::copy(start.begin(), start.end(), out.begin());
  std::fill(task_errors.begin(), task_errors.end(), 0.0);
  return IkOutcome{};
}

std::expected<void, Error> IkProblem::step_qp(const Model&, Workspace&, std::span<const double>,
                                              std::optional<double>, std::span<double>,
                                              std::span<double>, std::span<double>, std::span<double>,
                                              std::span<double>, std::span<double>, std::span<double>) {
  return {};
}

}  // namespace velkor
