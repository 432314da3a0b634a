// Pinocchio's code generator: each algorithm is taped once on CppADCodeGen scalars,
// the tape written out as C, compiled with gcc (Pinocchio's own setting, -Ofast) into
// a shared library and loaded. A call fills the input vector, runs the loaded
// function and copies its output, as Pinocchio's evalFunction does. This file alone
// instantiates Pinocchio's algorithms on those scalars, 7 to 12 minutes of
// compilation, hence the option VELKOR_BENCH_CODEGEN.
#include <pinocchio/codegen/cppadcg-algo.hpp>  // before any other Pinocchio header

#include "generated.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

// A fresh folder for the generated libraries and gcc's object files, removed with
// everything in it when dropped (also when a generation fails half way).
struct Folder {
  std::string path;
  Folder() : path((std::filesystem::temp_directory_path() / "velkor_codegen_XXXXXX").string()) {
    if (mkdtemp(path.data()) == nullptr) throw std::runtime_error("cannot create " + path);
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
};

// One generated function, its value only (no Jacobian code): generated, compiled and
// loaded on construction.
template <class Generator>
struct Loaded : Generator {
  Loaded(const pinocchio::Model& model, const std::string& folder, const std::string& name)
      : Generator(model, name, folder + "/" + name) {
    this->build_jacobian = false;
    this->initLib();
    CppAD::cg::GccCompiler<double> gcc("/usr/bin/gcc");
    std::vector<std::string> flags = gcc.getCompileFlags();
    flags[0] = "-Ofast";
    gcc.setCompileFlags(flags);
    gcc.setTemporaryFolder(folder + "/objects_" + name);
    this->dynamicLibManager_ptr->createDynamicLibrary(gcc, false);
    this->loadLib(false);
  }

  using Generator::res;
};

}  // namespace

struct GeneratedKernels::Kernels {
  Folder folder;  // first in, last out: after the libraries are closed
  Loaded<pinocchio::CodeGenRNEA<double>> rnea;
  Loaded<pinocchio::CodeGenCRBA<double>> crba;
  Loaded<pinocchio::CodeGenABA<double>> aba;

  explicit Kernels(const pinocchio::Model& model)
      : rnea(model, folder.path, "rnea"),
        crba(model, folder.path, "crba"),
        aba(model, folder.path, "aba") {}
};

GeneratedKernels::GeneratedKernels(const pinocchio::Model& model)
    : kernels_(std::make_unique<Kernels>(model)) {}

GeneratedKernels::~GeneratedKernels() = default;

const Eigen::VectorXd& GeneratedKernels::rnea(const Eigen::VectorXd& q, const Eigen::VectorXd& v,
                                              const Eigen::VectorXd& a) {
  kernels_->rnea.evalFunction(q, v, a);
  return kernels_->rnea.res;
}

const Eigen::MatrixXd& GeneratedKernels::crba(const Eigen::VectorXd& q) {
  kernels_->crba.evalFunction(q);
  return kernels_->crba.M;
}

const Eigen::VectorXd& GeneratedKernels::aba(const Eigen::VectorXd& q, const Eigen::VectorXd& v,
                                             const Eigen::VectorXd& tau) {
  kernels_->aba.evalFunction(q, v, tau);
  return kernels_->aba.res;
}
