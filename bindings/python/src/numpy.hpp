// The one way NumPy's C API is included. Exactly one translation unit (the
// module) defines VELKOR_NUMPY_IMPORT and calls import_array().
#pragma once

#include "python.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
// The oldest NumPy the package supports at run time; its API has memory handlers.
#define NPY_TARGET_VERSION NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL velkor_ARRAY_API
#ifndef VELKOR_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace velkor::py {
// Makes NumPy's C API usable; false with an exception set.
bool import_numpy();
}  // namespace velkor::py
