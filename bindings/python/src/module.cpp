// The extension module _velkor: multi-phase initialisation whose exec step
// installs the process-wide hooks (fork handlers, thread parking), then
// registers the classes, then the exceptions.
#include <new>

#include "batch.hpp"
#include "constraint_set.hpp"
#include "errors.hpp"
#include "fork_handlers.hpp"
#include "gil.hpp"
#include "handle_lock.hpp"
#include "ik_options.hpp"
#include "ik_problem.hpp"
#include "ik_tasks.hpp"
#include "loads.hpp"
#include "module_slots.hpp"
#include "numpy.hpp"
#include "python.hpp"
#include "robot.hpp"
#include "types.hpp"
#include "values.hpp"

namespace velkor::py {
namespace {

int add_type(PyObject* module, const char* name, PyTypeObject* type) {
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) {
  try {
    install_fork_handlers();
    // A thread parked for good at interpreter shutdown first lets go of the handles it holds.
    set_park_hook(HandleLock::release_held_by_this_thread);
    if (!watch_exit()) return -1;
    if (!import_numpy() || !create_value_types()) return -1;
    const Types& t = types();
    if (add_type(module, "Pose", t.pose) < 0 || add_type(module, "Twist", t.twist) < 0 ||
        add_type(module, "BaseState", t.base_state) < 0)
      return -1;
    if (!create_load_types() || add_type(module, "Load", t.load) < 0 ||
        add_type(module, "LoadBuffer", t.load_buffer) < 0)
      return -1;
    if (!create_constraint_types() || add_type(module, "Contact", t.contact) < 0 ||
        add_type(module, "LoopClosure", t.loop_closure) < 0 ||
        add_type(module, "ConstraintSet", t.constraint_set) < 0)
      return -1;
    if (!create_ik_options_type() || add_type(module, "IkOptions", t.ik_options) < 0) return -1;
    if (!create_ik_task_types() || add_type(module, "PoseTask", t.pose_task) < 0 ||
        add_type(module, "CenterOfMassTask", t.center_of_mass_task) < 0 ||
        add_type(module, "ConstraintTask", t.constraint_task) < 0)
      return -1;
    if (!create_ik_problem_types() || add_type(module, "IkProblem", t.ik_problem) < 0 ||
        add_type(module, "IkResult", t.ik_result) < 0)
      return -1;
    if (!create_robot_type() || add_type(module, "Robot", t.robot) < 0) return -1;
    if (!create_floating_robot_type() || add_type(module, "FloatingRobot", t.floating_robot) < 0)
      return -1;
    if (!create_batch_types() || !create_exception_types()) return -1;
    if (PyModule_AddObjectRef(module, "VelkorError", t.velkor_error) < 0 ||
        PyModule_AddObjectRef(module, "ModelError", t.model_error) < 0 ||
        PyModule_AddObjectRef(module, "SolverError", t.solver_error) < 0 ||
        PyModule_AddObjectRef(module, "PanicError", t.panic_error) < 0)
      return -1;
    return 0;
  } catch (const std::bad_alloc&) {  // the import fails; the interpreter goes on
    PyErr_NoMemory();
    return -1;
  } catch (...) {
    Py_FatalError("uncaught panic at ffi boundary");
  }
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,     "_velkor", nullptr, 0,       nullptr,
    module_slots<exec_module>, nullptr,   nullptr, nullptr,
};

}  // namespace
}  // namespace velkor::py

PyMODINIT_FUNC PyInit__velkor() { return PyModuleDef_Init(&velkor::py::module_def); }
