#include "handle_lock.hpp"

#include <algorithm>
#include <array>
#include <new>

#include "fork_handlers.hpp"
#include "gil.hpp"
#include "python.hpp"

namespace velkor::py {
namespace {

// Every lock of the process, for the child after fork().
std::mutex list_mutex;
HandleLock* list_head = nullptr;

// The locks this thread holds, innermost last. Nesting is rare and shallow (a
// finalizer calling another handle); locks nested deeper are not tracked.
struct HeldLocks {
  std::array<HandleLock*, 8> locks{};
  std::size_t count = 0;
};
thread_local HeldLocks held;

void note_held(HandleLock* lock) {
  if (held.count < held.locks.size()) held.locks[held.count++] = lock;
}

void note_released(HandleLock* lock) {
  for (std::size_t i = held.count; i-- > 0;) {
    if (held.locks[i] != lock) continue;
    std::copy(held.locks.begin() + i + 1, held.locks.begin() + held.count, held.locks.begin() + i);
    --held.count;
    return;
  }
}

}  // namespace

HandleLock::HandleLock() {
  install_fork_handlers();
  std::lock_guard guard(list_mutex);
  next_ = list_head;
  if (list_head != nullptr) list_head->previous_ = this;
  list_head = this;
}

HandleLock::~HandleLock() {
  std::lock_guard guard(list_mutex);
  if (previous_ != nullptr) previous_->next_ = next_;
  else list_head = next_;
  if (next_ != nullptr) next_->previous_ = previous_;
}

bool HandleLock::acquire() {
  const std::thread::id self = std::this_thread::get_id();
  if (!mutex_.try_lock()) {
    if (holder_.load(std::memory_order_relaxed) == self) {
      PyErr_SetString(PyExc_RuntimeError, "robot is in use by a call on this thread");
      return false;
    }
    GilRelease released;
    mutex_.lock();
    holder_.store(self, std::memory_order_relaxed);
    note_held(this);  // before the interpreter lock is taken back: that may park this thread
    return true;
  }
  holder_.store(self, std::memory_order_relaxed);
  note_held(this);
  return true;
}

void HandleLock::release() {
  note_released(this);
  holder_.store(std::thread::id{}, std::memory_order_relaxed);
  mutex_.unlock();
}

void HandleLock::release_held_by_this_thread() {
  while (held.count > 0) held.locks[held.count - 1]->release();
}

void HandleLock::before_fork() { list_mutex.lock(); }

void HandleLock::after_fork_in_parent() { list_mutex.unlock(); }

void HandleLock::after_fork_in_child() {
  new (&list_mutex) std::mutex;
  const std::thread::id self = std::this_thread::get_id();
  for (HandleLock* lock = list_head; lock != nullptr; lock = lock->next_) {
    if (lock->mutex_.try_lock()) {
      lock->mutex_.unlock();
      continue;
    }
    if (lock->holder_.load(std::memory_order_relaxed) == self) continue;  // this thread's own call
    // Held by a thread that does not exist here: the call it was making is gone.
    new (&lock->mutex_) std::mutex;
    lock->holder_.store(std::thread::id{}, std::memory_order_relaxed);
  }
}

}  // namespace velkor::py
