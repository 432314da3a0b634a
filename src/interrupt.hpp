// A caller's way to stop a long computation early, typically because a signal
// arrived. The core never learns why: long loops poll, and a poll that answers
// true ends the computation with the `Interrupted` error before it writes any
// result. A default-constructed Interrupt never polls and costs nothing.
#pragma once

#include <chrono>
#include <cstdint>

namespace velkor {

class Interrupt {
 public:
  // True when the computation must stop. Called from the computing thread.
  using PollFunction = bool (*)(void* context);

  Interrupt() = default;
  Interrupt(PollFunction poll_function, void* context) : poll_(poll_function), context_(context) {}

  // Once per step of a long loop: polls at most once per `period` of work. The
  // clock is read on every 32nd call only, so a step costs one increment.
  bool due() {
    if (poll_ == nullptr || (++calls_ & 31u) != 0) return false;
    const Clock::time_point now = Clock::now();
    if (next_ == Clock::time_point{}) next_ = now + period;  // the first period starts here
    if (now < next_) return false;
    next_ = now + period;
    return poll_(context_);
  }

  // At a checkpoint between phases, or after a wait the operating system cut
  // short (EINTR): polls at once.
  bool poll() { return poll_ != nullptr && poll_(context_); }

  static constexpr std::chrono::milliseconds period{5};

 private:
  using Clock = std::chrono::steady_clock;
  PollFunction poll_ = nullptr;
  void* context_ = nullptr;
  std::uint32_t calls_ = 0;
  Clock::time_point next_{};
};

}  // namespace velkor
