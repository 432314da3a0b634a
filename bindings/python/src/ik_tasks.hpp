// The task value classes of the whole-body inverse kinematics (PoseTask,
// CenterOfMassTask, ConstraintTask) and their conversion into the core's tasks.
#pragma once

#include "handle.hpp"
#include "py_ref.hpp"
#include "robot/ik/whole_body_ik.hpp"

namespace velkor::py {

bool create_ik_task_types();

// `tasks` as a new tuple of task objects; TypeError naming the argument (a str
// is no sequence of tasks) or the index of an item of another class.
PyRef ik_task_tuple(PyObject* tasks);

// The core's task of task object `object`, item i of the tasks: the link id
// resolved against `links`, the poses accepted, a constraint set checked to be
// of the model `links` belongs to. False with ValueError "tasks[i]: ..." set.
bool core_ik_task(PyObject* object, Py_ssize_t i, const LinkTable& links, IkTask& task);

}  // namespace velkor::py
