// Pinocchio's code-generated rnea, crba and aba for one model (see generated.cpp).
#pragma once

#include <memory>

#include <Eigen/Core>
#include <pinocchio/multibody/fwd.hpp>

class GeneratedKernels {
 public:
  // Tapes the three algorithms on `model` (its gravity included), writes them out as C,
  // compiles that with gcc into a shared library in a fresh temporary folder and loads it.
  explicit GeneratedKernels(const pinocchio::Model& model);
  ~GeneratedKernels();
  GeneratedKernels(const GeneratedKernels&) = delete;
  GeneratedKernels& operator=(const GeneratedKernels&) = delete;

  // τ = RNEA(q, v, a)
  const Eigen::VectorXd& rnea(const Eigen::VectorXd& q, const Eigen::VectorXd& v,
                              const Eigen::VectorXd& a);
  // M(q): the upper triangle, the rest left zero
  const Eigen::MatrixXd& crba(const Eigen::VectorXd& q);
  // q̈ = ABA(q, v, τ)
  const Eigen::VectorXd& aba(const Eigen::VectorXd& q, const Eigen::VectorXd& v,
                             const Eigen::VectorXd& tau);

 private:
  struct Kernels;
  std::unique_ptr<Kernels> kernels_;
};
