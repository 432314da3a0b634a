// Whole-body differential inverse kinematics: several targets at once, contacts
// held exactly, joint limits respected.
//
// Each iteration solves one small QP in the tangent step Δv (N values: a free
// base's 6, angular then linear, world axes, as the Jacobian's; then the joints):
//
//   minimise    Σ_t w_t² ‖S_t (J_t Δv + e_t)‖² + λ_k ‖Δv‖² + w_p² ‖Δq − (q_p − q)‖²
//   subject to  J_c Δv = −e_c                   contact tasks (equalities)
//               lower − q ≤ Δq ≤ upper − q      joint position limits
//               −dt·v_max ≤ Δq ≤ dt·v_max       joint velocity limits, when dt is given
//                                               (a joint whose v_max is not above 0,
//                                               the file giving none, has no such bound)
//
// with λ_k = λ + E_k/10, E_k = Σ_t w_t² ‖S_t e_t‖² the task cost where the step
// starts (damping that fades as the tasks are met: short steps far from the
// targets, Gauss-Newton steps near them), and moves the configuration:
// c ← integrate(c, Δv, 1), each joint then clamped
// into its limits (rounding can leave a step a hair past a bound). The QP is
// solved exactly by DenseQp (linalg/dense_qp.hpp). Cost
// and constraints are written ½ Δvᵀ H Δv + gᵀ Δv with H = 2(Σ JᵀSᵀS J w² + λI +
// w_p² P), P selecting the joints; λ_k in place of λ.
//
// Task errors e_t, world axes: a pose task, the rotation vector of R·R_targetᵀ
// (the rotation that carries the target's axes onto the tool frame's), then
// p − p_target of the tool point; S_t = diag(orientation_weight·I₃,
// position_weight·I₃), rows of a zero weight dropped. A centre-of-mass task,
// c − c_target (3). A contact task, the constraint set's position error
// (robot/dynamics/constraint_rows.hpp), each contact against its target, or,
// without one, against where the contact is at the solve's start. A pose
// task's tool frame is a frame row of the same room held to its target, so
// its error and Jacobian are a contact's.
//
// A task's reported error is ‖S_t e_t‖ without w_t (metres and radians mixed by
// the position and orientation weights); a contact task's, the largest absolute
// entry of e_c. The solve converges when every task error is at most the
// tolerance; it stops without converging when an iteration's step is below the
// tolerance or after max_iterations, and then reports whether a bound was
// active in the last step (a limit stopped progress). It returns the best
// configuration met: of those whose contacts hold to the tolerance, the lowest
// task cost (the smallest contact miss when none holds).
//
// A coupled model (Model::coupling, q_full = G q + b): q and Δq are its free
// coordinates, the tasks' Jacobians J G, the kernels reading q_full. A free
// coordinate's bounds are its joint's limits intersected with those of every
// joint that follows it, mapped back through the coupling (a follower at
// m·q + o within [l, u] bounds q to [(l − o)/m, (u − o)/m], the ends swapped
// when m < 0; a velocity limit v to |q̇| ≤ v/|m|): exact, since each follower
// depends on its one free coordinate alone, so no joint of q_full ever leaves
// its limits.
//
// Cost: per iteration, one kinematic pass placing every body (O(n)), each
// pose and contact task's rows from it (O(n·d)), a centre-of-mass task's
// own two passes (center_of_mass and its Jacobian, O(n) each), the QP's
// O(N²·T) assembly and its solve (O(N³)). No allocation once the problem is
// made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "error.hpp"
#include "interrupt.hpp"
#include "robot/base.hpp"
#include "robot/constraints.hpp"
#include "robot/link_id.hpp"
#include "robot/model.hpp"
#include "robot/workspace.hpp"
#include "spatial.hpp"

namespace velkor {

// The tool frame (in the link's frame) of `link` reaching `target` (world).
struct PoseTask {
  LinkId link;
  Pose target = Pose::identity();
  Pose tool = Pose::identity();
  double weight = 1.0;
  double position_weight = 1.0;
  double orientation_weight = 1.0;
};

// The centre of mass reaching `target` (world, metres).
struct CenterOfMassTask {
  Vec3 target = Vec3::Zero();
  double weight = 1.0;
};

// The contacts of a constraint set held exactly (loop closures closed).
struct ConstraintTask {
  std::shared_ptr<const ConstraintSet> set;
};

using IkTask = std::variant<PoseTask, CenterOfMassTask, ConstraintTask>;

// Options, as the single-link solver's IkOptions (inverse_kinematics.hpp) has
// them: iterations, tolerances, damping, each checked when given, a bad one
// the InvalidIkOptions error naming it. Those fixed with the problem:
struct IkProblemOptions {
  double damping = 1e-6;        // λ, added to the ‖Δv‖² term; finite, ≥ 0, ≤ max_damping
  std::vector<double> posture;  // a configuration (C values), or empty: none
  double posture_weight = 0.0;  // w_p; finite, ≥ 0, ≤ max_weight
};

// ... and those of one solve.
struct IkSolveOptions {
  std::uint64_t max_iterations = 100;  // steps in all, restarts included
  double tolerance = 1e-10;            // on every task error (metres and radians)
  std::optional<double> dt;            // seconds: the velocity limits bound each step
  // Fresh starts allowed when the solve stalls (the task cost not a tenth
  // lower in `stall` steps, or a step below the tolerance) before it converges: each
  // from joint positions drawn uniformly within the limits (within ±π of 0 for
  // a joint without limits) by a generator seeded with `seed`, the base where
  // the solve started. The draws depend on the seed and the restart's number
  // alone, so a solve that ran r restarts gives the same result every time.
  std::uint64_t restarts = 0;
  std::uint64_t seed = 0;
  std::uint64_t stall = 10;
  // Seconds from the solve's start after which no restart begins (the
  // attempt under way still runs to its end); none when empty. The clock is
  // read only when a restart is due, so timing decides how many restarts run,
  // never what an attempt does.
  std::optional<double> time_budget;
  // The name of `start` in the error of a start that is not a configuration.
  Label start_name = "q0";
};

// Failures, as the single-link solver's: a bad argument or option is a
// ValueError-class error (InvalidIkOptions, InvalidIkTask, NonFiniteIkInput,
// wrong lengths), a solver that cannot go on a SolverError-class one naming
// the iteration or the task (IkNumericalFailure, IkStepCycled,
// IkInfeasibleTask), a stop Interrupted. Where the single-link solver refuses
// an unconverged solve (IkNotConverged) or a solution outside the limits
// (IkJointLimitViolation), this one never leaves the limits and reports an
// unconverged solve in its outcome.

struct IkOutcome {
  bool converged = false;
  std::uint64_t iterations = 0;
  bool limited = false;         // a joint bound was active in the last step
  std::uint64_t restarts = 0;   // the fresh starts taken
  bool out_of_time = false;     // a restart was due when time_budget had run out
};

class IkSolver;  // the QP solver and its matrices, one per problem copy

// A checked problem: tasks, damping and posture on one model. Copies share the
// tasks and own their scratch.
class IkProblem {
 public:
  // Checks each task against the model (link ids, finite targets and tool
  // poses, weights finite and ≥ 0 with each of a pose task's products
  // weight·position_weight and weight·orientation_weight, and a centre-of-mass
  // task's weight, at most max_weight, at least one of the two positive per
  // pose task, a constraint set of this model), the damping (finite, ≥ 0, at
  // most max_damping) and posture weight (finite, ≥ 0, at most max_weight) and
  // the posture's length (C) and values. On a coupled model, a free
  // coordinate whose own limits and its followers' leave no position is an
  // InvalidModel naming the joints.
  static constexpr double max_weight = 1e100;   // its square, 1e200, leaves room in H
  static constexpr double max_damping = 1e200;
  static std::expected<IkProblem, Error> make(const Model& model, bool floating,
                                              std::vector<IkTask> tasks, IkProblemOptions settings);

  IkProblem(const IkProblem& other);
  IkProblem& operator=(const IkProblem& other);
  IkProblem(IkProblem&&) noexcept;
  IkProblem& operator=(IkProblem&&) noexcept;
  ~IkProblem();

  std::span<const IkTask> tasks() const { return *tasks_; }
  const IkProblemOptions& settings() const { return *settings_; }
  bool floating() const { return floating_; }
  std::uint64_t model_id() const { return model_id_; }
  std::size_t generalized_count() const { return N_; }
  std::size_t configuration_count() const { return C_; }
  std::size_t equality_rows() const { return m_; }  // the contact tasks' rows

  // Solves from `start` (C values; joints outside their limits are first
  // clamped into them) into `out` (C values) and `task_errors` (one per task).
  // Errors: wrong lengths or a non-finite start (ValueError), contact rows the
  // QP cannot meet (SolverError naming the task: IkInfeasibleTask), Interrupted.
  // An unreachable target is no error: the outcome says not converged.
  // `base`: the robot's (a Robot's base frame and gravity; a FloatingRobot's
  // gravity, the pose coming from the configuration).
  std::expected<IkOutcome, Error> solve(const Model& model, const Base& base, Workspace& w,
                                        std::span<const double> start, const IkSolveOptions& options,
                                        std::span<double> out, std::span<double> task_errors,
                                        Interrupt& interrupt);

  // One iteration's QP at configuration `c` (C values), for checking against
  // other solvers: H (N·N), g (N), A (m·N), b (m), the bounds on Δv (N each;
  // ±infinity where there is none, the base's) and the step the solver takes
  // (N). H and A row-major (entry (r, k) at N·r + k), as NumPy lays them out.
  std::expected<void, Error> step_qp(const Model& model, const Base& base, Workspace& w,
                                     std::span<const double> c, std::optional<double> dt,
                                     std::span<double> H, std::span<double> g, std::span<double> A,
                                     std::span<double> b, std::span<double> lower,
                                     std::span<double> upper, std::span<double> step);

 private:
  IkProblem() = default;
  std::expected<void, Error> check_start(const Model& model, const Base& base,
                                         std::span<const double> start, Label name) const;
  void start_at(const Model& model, const Base& base, Workspace& w, std::span<const double> start);
  std::expected<double, Error> assemble(const Model& model, const Base& robot_base, Workspace& w,
                                        const double* c, std::optional<double> dt);
  std::expected<void, Error> solve_qp(std::uint64_t iteration);  // the iteration names a failure
  bool bound_active() const;
  void clamp(double* c) const;
  void restart(std::span<const double> start, std::uint64_t seed, std::uint64_t number, double* c) const;
  // q_full of the free coordinates q (a coupled model's, in the solver's
  // scratch), else q itself.
  std::span<const double> full_positions(const Model& model, std::span<const double> q);
  // The contraction J G of `rows` rows of the solver's full Jacobian into `out`.
  void contract(const Model& model, std::size_t rows, double* out);

  // Per joint coordinate: the position bounds and the velocity limit (0: none).
  struct Bounds {
    std::vector<double> lower, upper, speed;
  };

  std::shared_ptr<const std::vector<IkTask>> tasks_;
  std::shared_ptr<const IkProblemOptions> settings_;
  std::shared_ptr<const Bounds> bounds_;
  std::shared_ptr<const std::vector<ResolvedConstraint>> pose_items_;  // per task: a pose task's frame
  std::unique_ptr<IkSolver> solver_;
  bool floating_ = false;
  std::uint64_t model_id_ = 0;
  std::size_t N_ = 0, C_ = 0, m_ = 0;
  std::size_t contact_items_ = 0;
  std::size_t full_ = 0;  // a coupled model's DOF count; 0 for any other
};

}  // namespace velkor
