// Internal faults: broken invariants that no valid input can cause. They are
// thrown, never returned, and the Python layer turns them into PanicError.
#pragma once

#include <exception>
#include <string>

namespace velkor {

class Fault : public std::exception {
 public:
  Fault() = default;
  explicit Fault(std::string message) : message_(std::move(message)), has_message_(true) {}

  bool has_message() const { return has_message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  bool has_message_ = false;
};

[[noreturn]] void fault(const char* message);
[[noreturn]] void fault();

// Checks an invariant that holds for every valid model and workspace.
#define VELKOR_INVARIANT(condition, message)    \
  do {                                          \
    if (!(condition)) ::velkor::fault(message); \
  } while (false)

}  // namespace velkor
