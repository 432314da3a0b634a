// The slots of the binding's extension modules (_velkor and _velkor_testing).
#pragma once

#include "python.hpp"

namespace velkor::py {

// Exec fills the module in. The type objects are process-wide (types.hpp), so
// one interpreter only; a free-threaded build may run the module without the
// interpreter lock (every handle has a lock of its own).
template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace velkor::py
