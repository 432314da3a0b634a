// The per-handle lock: a mutex with a poisoned flag and the identity of its
// holder. Knowing the holder lets a thread that re-enters a handle it already
// holds (a finalizer or signal handler run in the middle of its call) fail
// instead of waiting for itself, and lets the process recover the lock when its
// holder can never release it: in a child after fork(), where the holder does
// not exist, and at interpreter exit, where the holder is parked for good. Calls
// leave nothing in a handle's workspace, so a recovered handle simply works.
// The lock is one atomic word: free, held, or held with waiters, who sleep in
// the kernel (std::atomic::wait) until the holder's release wakes one. An
// uncontended acquire and release cost one atomic instruction each.
#pragma once

#include <atomic>
#include <thread>

namespace velkor::py {

class HandleLock {
 public:
  HandleLock();
  HandleLock(const HandleLock&) = delete;
  HandleLock& operator=(const HandleLock&) = delete;
  ~HandleLock();

  // Takes the lock without ever waiting for it while holding the interpreter
  // lock. False, with RuntimeError set, when this thread holds it already.
  bool acquire() {
    int free = Free;
    if (!state_.compare_exchange_strong(free, Held, std::memory_order_acquire,
                                        std::memory_order_relaxed))
      return acquire_contended();
    holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return true;
  }
  void release() {
    holder_.store(std::thread::id{}, std::memory_order_relaxed);
    if (state_.exchange(Free, std::memory_order_release) == Waited) state_.notify_one();
  }
  bool held_by_this_thread() const {
    return holder_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

  bool poisoned = false;  // read and written under the lock only

  // Releases the locks held by this thread, which is about to stop for good.
  static void release_held_by_this_thread();

  // fork(): every lock list stays consistent, and in the child the locks whose
  // holders were other threads are free again.
  static void before_fork();
  static void after_fork_in_parent();
  static void after_fork_in_child();

 private:
  enum : int { Free, Held, Waited };  // Waited: held, and a thread may be waiting
  bool acquire_contended();

  std::atomic<int> state_{Free};
  std::atomic<std::thread::id> holder_{};
  HandleLock* previous_ = nullptr;  // the list of every lock of the process
  HandleLock* next_ = nullptr;
};

}  // namespace velkor::py
