#include "handle_lock.hpp"

#include <mutex>
#include <new>

#include "gil.hpp"
#include "python.hpp"

namespace velkor::py {
namespace {

// Every lock of the process, for the child after fork().
std::mutex list_mutex;
HandleLock* list_head = nullptr;

}  // namespace

HandleLock::HandleLock() {
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

bool HandleLock::acquire_contended() {
  const std::thread::id self = std::this_thread::get_id();
  if (holder_.load(std::memory_order_relaxed) == self) {
    PyErr_SetString(PyExc_RuntimeError, "robot is in use by a call on this thread");
    return false;
  }
  GilRelease released;
  // Marked Waited while it sleeps, so the holder's release wakes it; a thread
  // that takes the lock this way keeps the mark, which at worst costs one
  // needless wake-up call.
  while (state_.exchange(Waited, std::memory_order_acquire) != Free)
    state_.wait(Waited, std::memory_order_relaxed);
  // Known as the holder before the interpreter lock is taken back, which may park this thread.
  holder_.store(self, std::memory_order_relaxed);
  return true;
}

void HandleLock::release_held_by_this_thread() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard guard(list_mutex);
  for (HandleLock* lock = list_head; lock != nullptr; lock = lock->next_)
    if (lock->holder_.load(std::memory_order_relaxed) == self) lock->release();
}

void HandleLock::before_fork() { list_mutex.lock(); }

void HandleLock::after_fork_in_parent() { list_mutex.unlock(); }

void HandleLock::after_fork_in_child() {
  new (&list_mutex) std::mutex;
  const std::thread::id self = std::this_thread::get_id();
  for (HandleLock* lock = list_head; lock != nullptr; lock = lock->next_) {
    if (lock->state_.load(std::memory_order_relaxed) == Free) continue;
    if (lock->holder_.load(std::memory_order_relaxed) == self) {
      // This thread's own call: no other thread exists here to wait for it.
      lock->state_.store(Held, std::memory_order_relaxed);
      continue;
    }
    // Held by a thread that does not exist here: the call it was making is gone.
    lock->holder_.store(std::thread::id{}, std::memory_order_relaxed);
    lock->state_.store(Free, std::memory_order_relaxed);
  }
}

}  // namespace velkor::py
