// fork() in a process where other threads may be inside calls: the handlers
// keep the process-wide records (handle locks, array holds, load-buffer
// borrows) consistent across the fork, and in the child they drop what the
// other threads held, since those threads do not exist there.
#pragma once

namespace velkor::py {

// Registers the handlers once per process; later calls do nothing.
void install_fork_handlers();

// The parts the handlers call, each defined beside the records it keeps.
void holds_before_fork();
void holds_after_fork_in_parent();
void holds_after_fork_in_child();
void borrows_before_fork();
void borrows_after_fork_in_parent();
void borrows_after_fork_in_child();

}  // namespace velkor::py
