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
  // The first period starts now, so that a computation of a few long steps
  // polls after its first step that ends a period later.
  Interrupt(PollFunction poll_function, void* context)
      : poll_(poll_function), context_(context), last_(Clock::now()), next_(last_ + period) {}

  // Once per step of a long loop: polls at most once per `period` of work. The
  // clock is read every `stride` steps only, and the stride adapts so that a
  // read comes about every period/8 of work: short steps (a light batch row)
  // cost one increment each, a step of a second (a heavy row) reads the clock
  // after every step.
  bool due() {
    if (poll_ == nullptr || ++calls_ < stride_) return false;
    calls_ = 0;
    const Clock::time_point now = Clock::now();
    const Clock::duration since = now - last_;
    last_ = now;
    if (since < period / 16 && stride_ < max_stride) stride_ *= 2;
    else if (since > period / 4 && stride_ > 1) stride_ /= 2;
    if (now < next_) return false;
    next_ = now + period;
    return poll_(context_);
  }

  // At a checkpoint between phases, or after a wait the operating system cut
  // short (EINTR): polls at once.
  bool poll() { return poll_ != nullptr && poll_(context_); }

  // Whether this Interrupt polls at all (false: default-constructed).
  bool polls() const { return poll_ != nullptr; }

  static constexpr std::chrono::milliseconds period{5};

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr std::uint32_t max_stride = 1024;
  PollFunction poll_ = nullptr;
  void* context_ = nullptr;
  std::uint32_t calls_ = 0;
  std::uint32_t stride_ = 1;
  Clock::time_point last_{};
  Clock::time_point next_{};
};

}  // namespace velkor
