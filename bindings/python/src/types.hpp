// Process-wide type objects and exception types, created once by the module's
// exec step and kept for the life of the process.
#pragma once

#include "python.hpp"

namespace velkor::py {

struct Types {
  PyTypeObject* pose = nullptr;
  PyTypeObject* twist = nullptr;
  PyTypeObject* base_state = nullptr;
  PyTypeObject* load = nullptr;
  PyTypeObject* load_buffer = nullptr;
  PyTypeObject* contact = nullptr;
  PyTypeObject* loop_closure = nullptr;
  PyTypeObject* constraint_set = nullptr;
  PyTypeObject* ik_options = nullptr;
  PyTypeObject* pose_task = nullptr;
  PyTypeObject* center_of_mass_task = nullptr;
  PyTypeObject* constraint_task = nullptr;
  PyTypeObject* ik_problem = nullptr;
  PyTypeObject* ik_result = nullptr;
  PyTypeObject* robot = nullptr;
  PyTypeObject* floating_robot = nullptr;
  PyObject* velkor_error = nullptr;
  PyObject* model_error = nullptr;
  PyObject* solver_error = nullptr;
  PyObject* panic_error = nullptr;
};

Types& types();

}  // namespace velkor::py
