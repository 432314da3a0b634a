#include "fork_handlers.hpp"

#include <pthread.h>

#include <mutex>

#include "gil.hpp"
#include "handle_lock.hpp"

namespace velkor::py {
namespace {

void prepare() {
  HandleLock::before_fork();
  holds_before_fork();
  borrows_before_fork();
}

void parent() {
  borrows_after_fork_in_parent();
  holds_after_fork_in_parent();
  HandleLock::after_fork_in_parent();
}

void child() {
  borrows_after_fork_in_child();
  holds_after_fork_in_child();
  HandleLock::after_fork_in_child();
  reset_main_thread();
}

}  // namespace

void install_fork_handlers() {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(prepare, parent, child); });
}

}  // namespace velkor::py
