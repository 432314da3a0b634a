// The per-handle calculation (core robot value, workspace, link poses buffer)
// behind a mutex with a poisoned flag, and the locking discipline every method
// follows: try-lock first; when busy, wait with the interpreter lock released.
#pragma once

#include <exception>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "python.hpp"
#include "robot/robot.hpp"
#include "robot/workspace.hpp"

namespace velkor::py {

template <class CoreRobot>
struct Calculation {
  explicit Calculation(CoreRobot core_robot)
      : robot(std::move(core_robot)),
        workspace(robot.model().joint_count(), robot.model().dof_count()),
        link_poses(robot.model().link_count(), Pose::identity()) {}

  const Model& model() const { return robot.model(); }

  CoreRobot robot;
  Workspace workspace;
  std::vector<Pose> link_poses;  // world poses of all links, written by forward kinematics
};

// Releases the interpreter lock for its lifetime, also while unwinding.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

template <class CoreRobot>
class CalculationSlot {
 public:
  // Held lock on an open calculation. A fault unwinding through a held guard
  // poisons the slot for good.
  class Guard {
   public:
    Guard() = default;
    explicit Guard(CalculationSlot* slot) : slot_(slot), exceptions_(std::uncaught_exceptions()) {}
    Guard(Guard&& other) noexcept
        : slot_(std::exchange(other.slot_, nullptr)), exceptions_(other.exceptions_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() {
      if (slot_ == nullptr) return;
      if (std::uncaught_exceptions() > exceptions_) slot_->poisoned_ = true;
      slot_->mutex_.unlock();
    }

    explicit operator bool() const { return slot_ != nullptr; }
    Calculation<CoreRobot>& calculation() const { return *slot_->calculation_; }

   private:
    CalculationSlot* slot_ = nullptr;
    int exceptions_ = 0;
  };

  explicit CalculationSlot(Calculation<CoreRobot> calculation)
      : calculation_(std::move(calculation)) {}

  // An empty guard means failure, with PanicError (poisoned) or
  // RuntimeError("robot is closed") set.
  Guard lock() {
    acquire();
    if (poisoned_) {
      mutex_.unlock();
      raise_panic("robot workspace lock is poisoned");
      return Guard();
    }
    if (!calculation_) {
      mutex_.unlock();
      PyErr_SetString(PyExc_RuntimeError, "robot is closed");
      return Guard();
    }
    return Guard(this);
  }

  // Drops the calculation; idempotent. False with PanicError set when poisoned.
  bool close() {
    acquire();
    if (poisoned_) {
      mutex_.unlock();
      raise_panic("robot workspace lock is poisoned");
      return false;
    }
    std::optional<Calculation<CoreRobot>> taken = std::move(calculation_);
    calculation_.reset();
    mutex_.unlock();
    return true;  // `taken` is destroyed here, outside the lock
  }

 private:
  // Never blocks on the mutex while holding the interpreter lock.
  void acquire() {
    if (mutex_.try_lock()) return;
    GilRelease released;
    mutex_.lock();
  }

  std::mutex mutex_;
  bool poisoned_ = false;
  std::optional<Calculation<CoreRobot>> calculation_;
};

}  // namespace velkor::py
