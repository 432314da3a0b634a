// The per-handle calculation (core robot value, workspace, link poses buffer)
// behind the handle's lock, and the locking discipline every method follows:
// try-lock first; when busy, wait with the interpreter lock released.
#pragma once

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "gil.hpp"
#include "handle_lock.hpp"
#include "python.hpp"
#include "robot/robot.hpp"
#include "robot/workspace.hpp"

namespace velkor::py {

// The joint-vector arguments of one call (q, qd, and qdd or forces), as the core reads them.
using Inputs = std::array<std::span<const double>, 3>;

template <class CoreRobot>
struct Calculation {
  static constexpr std::size_t base_coordinates = std::is_same_v<CoreRobot, FloatingRobot> ? 6 : 0;
  static constexpr std::size_t base_configuration = base_coordinates == 0 ? 0 : 7;

  explicit Calculation(CoreRobot core_robot)
      : robot(std::move(core_robot)),
        workspace(robot.model().joint_count(), robot.model().dof_count()),
        input_copies(3 * (robot.model().dof_count() + base_configuration)) {
    // (the core reserves the workspace's coupled scratch on its first call)
  }

  const Model& model() const { return robot.model(); }

  // The inputs copied into `input_copies`, each that fits its row (longer ones
  // are refused by the core's length checks, unread). The core may write `out`
  // before it has read all of its inputs, and an `out` the caller passes can
  // share memory with an input under another address (two maps of one file),
  // which no overlap check sees. Reading copies keeps every result exact.
  Inputs copy_inputs(const Inputs& inputs) {
    Inputs copies = inputs;
    const std::size_t row = input_copies.size() / copies.size();
    for (std::size_t i = 0; i < copies.size(); ++i) {
      if (inputs[i].size() > row) continue;
      double* copy = input_copies.data() + i * row;
      std::copy(inputs[i].begin(), inputs[i].end(), copy);
      copies[i] = std::span<const double>(copy, inputs[i].size());
    }
    return copies;
  }

  CoreRobot robot;
  Workspace workspace;
  std::vector<double> input_copies;  // three rows of the configuration length C ≥ N
};

template <class CoreRobot>
class CalculationSlot {
 public:
  // Held lock on an open calculation. A fault unwinding through a held guard
  // poisons the slot for good.
  class Guard {
   public:
    Guard() = default;
    // `watched`: false for a holder whose work catches every exception
    // itself (deferred_panic_guard), so that none can unwind through it.
    Guard(CalculationSlot* slot, bool watched)
        : slot_(slot), exceptions_(watched ? std::uncaught_exceptions() : unwatched) {}
    Guard(Guard&& other) noexcept
        : slot_(std::exchange(other.slot_, nullptr)), exceptions_(other.exceptions_) {}
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard& operator=(Guard&&) = delete;
    [[gnu::always_inline]] ~Guard() {
      if (slot_ == nullptr) return;
      if (exceptions_ != unwatched && std::uncaught_exceptions() > exceptions_)
        slot_->lock_.poisoned = true;
      slot_->lock_.release();
    }

    explicit operator bool() const { return slot_ != nullptr; }
    Calculation<CoreRobot>& calculation() const { return *slot_->calculation_; }

   private:
    static constexpr int unwatched = -1;
    CalculationSlot* slot_ = nullptr;
    int exceptions_ = 0;
  };

  explicit CalculationSlot(Calculation<CoreRobot> calculation) : calculation_(std::move(calculation)) {}

  // An empty guard means failure, with PanicError (poisoned),
  // RuntimeError("robot is closed") or the re-entry RuntimeError set.
  // `watched` (see Guard): false only for work run in deferred_panic_guard.
  [[gnu::always_inline]] Guard lock(bool watched = true) {
    if (!lock_.acquire()) return Guard();
    if (lock_.poisoned) {
      lock_.release();
      raise_panic("robot workspace lock is poisoned");
      return Guard();
    }
    if (!calculation_) {
      lock_.release();
      PyErr_SetString(PyExc_RuntimeError, "robot is closed");
      return Guard();
    }
    return Guard(this, watched);
  }

  bool held_by_this_thread() const { return lock_.held_by_this_thread(); }

  // Drops the calculation; idempotent. False with PanicError set when poisoned.
  bool close() {
    if (!lock_.acquire()) return false;
    if (lock_.poisoned) {
      lock_.release();
      raise_panic("robot workspace lock is poisoned");
      return false;
    }
    std::optional<Calculation<CoreRobot>> taken = std::move(calculation_);
    calculation_.reset();
    lock_.release();
    return true;  // `taken` is destroyed here, outside the lock
  }

 private:
  HandleLock lock_;
  std::optional<Calculation<CoreRobot>> calculation_;
};

}  // namespace velkor::py
