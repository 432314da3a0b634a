// An owning reference to a Python object, so no raw Py_DECREF appears in
// control flow.
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "python.hpp"

namespace velkor::py {

class PyRef {
 public:
  PyRef() = default;
  static PyRef steal(PyObject* object) { return PyRef(object); }
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(const PyRef& other) : object_(other.object_) { Py_XINCREF(object_); }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// A method's result: its one object, or a tuple of its K objects.
template <std::size_t K>
PyObject* one_or_tuple(std::array<PyRef, K>& items) {
  if constexpr (K == 1) {
    return items[0].release();
  } else {
    PyRef tuple = PyRef::steal(PyTuple_New(K));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < K; ++i)
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple.release();
  }
}

}  // namespace velkor::py
