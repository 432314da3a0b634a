// Owns NumPy's API table for the module this library is linked into.
#define VELKOR_NUMPY_IMPORT
#include "numpy.hpp"

namespace velkor::py {

bool import_numpy() {
  if (PyArray_API != nullptr) return true;
  import_array1(false);
  return true;
}

}  // namespace velkor::py
