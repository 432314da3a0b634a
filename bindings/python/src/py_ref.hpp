// An owning reference to a Python object, so no raw Py_DECREF appears in
// control flow.
#pragma once

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

}  // namespace velkor::py
