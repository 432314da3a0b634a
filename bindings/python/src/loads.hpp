// The Load value class, the LoadBuffer class, and the conversion of a `loads=`
// argument into the core's load list.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "handle.hpp"
#include "robot/loads.hpp"

namespace velkor::py {

bool create_load_types();

// A new LoadBuffer object for a model, sharing the handle's link table.
PyObject* new_load_buffer(LoadBuffer buffer, std::shared_ptr<const LinkTable> link_table);

// A converted `loads=` argument: nothing, a private list built from Load
// objects, or a LoadBuffer held in shared mode until this object goes away.
class LoadsArgument {
 public:
  LoadsArgument() = default;
  LoadsArgument(const LoadsArgument&) = delete;
  LoadsArgument& operator=(const LoadsArgument&) = delete;
  ~LoadsArgument() {
    if (held_buffer_ != nullptr) release_buffer();
  }

  // False with an exception set. None (or an omitted argument) is no load.
  bool convert(PyObject* value, const LinkTable& table) {
    return value == nullptr || value == Py_None || convert_given(value, table);
  }
  std::span<const IndexedLoad> loads() const { return loads_; }

 private:
  bool convert_given(PyObject* value, const LinkTable& table);
  void release_buffer();

  std::vector<IndexedLoad> list_;
  PyObject* held_buffer_ = nullptr;  // strong reference while borrowed
  std::span<const IndexedLoad> loads_;
};

}  // namespace velkor::py
