// Array arguments and results: extraction of float vectors, the slices the core
// reads, `out` validation, and the process-wide hold registry that keeps two
// running calls from writing memory another one uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "errors.hpp"
#include "numpy.hpp"
#include "py_ref.hpp"

namespace velkor::py {

// The bytes [begin, end) an array's elements cover; empty (begin == end)
// for an array without elements, which shares nothing.
struct Extent {
  std::uintptr_t begin;
  std::uintptr_t end;
};
// The extent of a vector (any stride) or of a contiguous array of any shape.
Extent extent_of(PyArrayObject* array);

// A hold on a range of array memory, released when the owner goes away.
class Hold {
 public:
  enum class Kind { Read, Write };
  Hold() = default;
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  Hold(Hold&& other) noexcept { *this = std::move(other); }
  Hold& operator=(Hold&& other) noexcept;
  ~Hold() { release(); }

  // One hold on the memory of `reads` (shared with other reads) and of
  // `writes` (shared with nothing, this hold's other arrays included): all or
  // none, in one visit to the registry. Each array is a vector or a
  // contiguous array of any shape. False when one conflicts (the caller
  // reports "The given array is already borrowed").
  bool take(std::span<const Extent> reads, std::span<const Extent> writes);
  bool take(PyArrayObject* array, Kind kind) {
    const Extent extent = extent_of(array);
    return kind == Kind::Read ? take({&extent, 1}, {}) : take({}, {&extent, 1});
  }
  bool take_reads(std::span<PyArrayObject* const> arrays);
  // take for R reads then W writes at `extents`, none of them empty; the
  // writes only when `writes`. Instantiated for R from 1 to 3 and W of 1, 2,
  // 3 or 6: the common call's vectors and results.
  template <std::size_t R, std::size_t W>
  bool take_fixed(const Extent* extents, bool writes);
  void release() {
    if (id_ != 0) release_taken();
  }

 private:
  void release_taken();

  std::size_t id_ = 0;  // 0: nothing held
};

// A one-dimensional float vector argument, converted and held for the call.
class InputArray {
 public:
  // Extracts argument `name`: a 1-D float64 array as is, else a sequence of
  // numbers, else NumPy's forced conversion; false with an exception set. An
  // array's memory is not read until `hold` has taken a read hold on it.
  bool extract(PyObject* value, const char* name);

  // Takes one read hold on the array memory of all `inputs` (false with
  // "The given array is already borrowed" set), then makes their values readable.
  static bool hold(std::span<InputArray> inputs, Hold& hold);
  // The same with write holds on `writes` in the same visit; false, with no
  // exception set and nothing held, when any of them conflicts.
  static bool try_hold(std::span<InputArray> inputs, std::span<const Extent> writes, Hold& hold);

  // Reads `values`, memory the caller has held and keeps alive for the call.
  void use(std::span<const double> values) {
    values_ = values;
    size_ = values.size();
  }

  // The contiguous values the core reads: the array's own memory when it is
  // aligned and contiguous, else a gathered copy.
  std::span<const double> values() const { return values_; }
  std::size_t size() const { return size_; }

 private:
  // The extents of the arrays of `inputs` not read yet, into `extents`; their count.
  static std::size_t unread_extents(std::span<InputArray> inputs, std::span<Extent> extents);
  // Makes the values of held `inputs` readable.
  static void read_held(std::span<InputArray> inputs);
  void read_array(PyArrayObject* array);

  // What a converted or gathered argument owns (the common call owns nothing).
  struct Owned {
    PyRef array;
    std::vector<double> copy;
  };
  Owned& owned() { return owned_ ? *owned_ : owned_.emplace(); }

  std::optional<Owned> owned_;
  // Set by extract or use, whichever comes first; unread_ alone is set here.
  PyArrayObject* unread_ = nullptr;  // an array whose values are set once it is held
  Extent extent_;                    // unread_'s
  std::size_t size_ = 0;
  std::span<const double> values_;
};

// `value` as a one-dimensional float64 array of native byte order, else nullptr.
PyArrayObject* float_vector(PyObject* value);

// `value` as a plain ndarray (no subclass) of one dimension with elements,
// float64 of native byte order, aligned and C-contiguous, else nullptr; its
// extent in `extent`. The common form of a joint vector (and of an `out`,
// `writeable` asked), checked in a few instructions.
[[gnu::always_inline]] inline PyArrayObject* plain_vector(PyObject* value, Extent& extent,
                                                          bool writeable = false) {
  if (Py_TYPE(value) != &PyArray_Type) return nullptr;
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  const int needed = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | (writeable ? NPY_ARRAY_WRITEABLE : 0);
  const PyArray_Descr* descr = PyArray_DESCR(array);
  if (PyArray_NDIM(array) != 1 || (PyArray_FLAGS(array) & needed) != needed ||
      descr->type_num != NPY_DOUBLE || !PyArray_ISNBO(descr->byteorder) || PyArray_DIM(array, 0) <= 0)
    return nullptr;
  extent.begin = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array));
  extent.end = extent.begin + static_cast<std::uintptr_t>(PyArray_DIM(array, 0)) * sizeof(double);
  return array;
}

// Whether two arrays (vectors, or contiguous arrays of any shape) share memory.
bool arrays_overlap(PyArrayObject* a, PyArrayObject* b);

// True when the array's memory is NumPy's own heap memory, owned by an array
// (this one or a base): mapped at one address only, so nothing can share it
// under another address. Memory maps and other objects' buffers are not.
// An array that owns its memory is looked at here; a view's owner is found in
// arrays.cpp.
bool owner_has_private_memory(PyArrayObject* array);
inline bool is_private_memory(PyArrayObject* array) {
  if (PyArray_CHKFLAGS(array, NPY_ARRAY_OWNDATA))
    return PyArray_HANDLER(array) == PyDataMem_DefaultHandler;
  return owner_has_private_memory(array);
}

// Whether two of `arrays` share memory under different addresses: two maps of
// one file, or of one shared-memory object, which no address comparison sees.
// Only arrays that are not private memory are looked up, in the process's
// memory map (/proc/self/maps, read once; Linux). Cost: nothing when fewer
// than two arrays are foreign memory, else one read of the map.
bool share_mapped_memory(std::span<PyArrayObject* const> arrays);

// The result array: the caller's `out` or a new array.
class OutputArray {
 public:
  // Before the lock: `out` is None or a 1-D float64 ndarray (TypeError naming out).
  static bool check_type(PyObject* out);
  // The same for a method with `count` results: None or a tuple of `count`
  // such arrays (TypeError naming out) whose memory does not overlap (ValueError).
  static bool check_tuple(PyObject* out, std::size_t count);

  // How far a caller's `out` is settled before the lock: Unheld; Held (the
  // call's own hold covers it); Checked (held, and a plain writeable vector:
  // see plain_vector).
  enum class Settled { Unheld, Held, Checked };

  // Under the lock: creates the array when `out` is None, else checks its
  // length, takes its write hold and checks that it is writeable and
  // contiguous, in that order (what `settled` says is done is not done
  // again). Its failures are recorded in `error`, to be raised after the
  // lock is released.
  bool prepare(PyObject* out, std::size_t length, DeferredError& error,
               Settled settled = Settled::Unheld);
  double* data() const { return data_; }
  // True when no input can share the array's memory under another address:
  // the array was created here, or its memory is NumPy's own heap memory
  // (mapped at one address only). Memory maps and foreign buffers are not.
  bool is_private() const { return private_; }
  void release_hold() { hold_.release(); }
  PyObject* take() { return array_.release(); }

 private:
  PyRef array_;
  Hold hold_;
  double* data_ = nullptr;
  bool private_ = false;
};

}  // namespace velkor::py
