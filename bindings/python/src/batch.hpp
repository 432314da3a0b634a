// Batch evaluators: the array methods of a handle over many states at once, one
// state per row, split over native threads with the interpreter lock released
// once for the whole batch.
#pragma once

#include "python.hpp"

namespace velkor::py {

bool create_batch_types();

// robot.batch(threads=None) for both handle kinds.
template <class CoreRobot>
PyObject* handle_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Its method table row on a CoreRobot handle.
#define VELKOR_BATCH_ROW(CoreRobot)                                                   \
  {"batch", fastcall_entry<handle_batch<CoreRobot>>(), METH_FASTCALL | METH_KEYWORDS, \
   "batch($self, threads=None)\n--\n\n"                                               \
   "A batch evaluator of this handle (" #CoreRobot                                    \
   "Batch): its array methods over many\n"                                            \
   "states at once, one state per row, split over up to `threads` native threads\n"   \
   "(default: the machine's cores), each with a workspace of its own, allocated\n"    \
   "here. Results are bit-identical to the single calls. The evaluator keeps the\n"   \
   "handle alive and uses its lock, settings and loads. Raises TypeError when\n"      \
   "threads is not an integer, ValueError for threads outside 1..1024,\n"             \
   "RuntimeError \"robot is closed\"."}

}  // namespace velkor::py
