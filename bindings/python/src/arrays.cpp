#include "arrays.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fault.hpp"
#include "fork_handlers.hpp"

namespace velkor::py {
namespace {

constexpr const char* already_borrowed = "The given array is already borrowed";

// The number of elements: a vector's one dimension, without NumPy's general product.
inline npy_intp element_count(PyArrayObject* array) {
  return PyArray_NDIM(array) == 1 ? PyArray_DIM(array, 0) : PyArray_SIZE(array);
}

// The size of an element, float64 read without NumPy's run-time version check.
inline std::uintptr_t item_size(PyArrayObject* array) {
  return PyArray_DESCR(array)->type_num == NPY_DOUBLE
             ? sizeof(double)
             : static_cast<std::uintptr_t>(PyArray_ITEMSIZE(array));
}

inline bool overlap(const Extent& a, const Extent& b) { return a.begin < b.end && b.begin < a.end; }

// The most arrays one hold covers: a call's joint vectors and outs.
constexpr std::size_t max_arrays = 16;

// A lock for the few instructions a registry visit takes: uncontended it
// costs one atomic exchange, where a mutex costs a library call each way.
class SpinLock {
 public:
  void lock() {
    while (locked_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

// Process-wide record of the array memory held by running calls: one entry
// per hold, its read ranges then its write ranges. A read conflicts with the
// writes only, a write with both; a hold's own ranges count too (an out that
// overlaps the same call's input is refused), and a hold is all or none.
class HoldRegistry {
 public:
  static constexpr std::size_t refused = std::numeric_limits<std::size_t>::max();

  // The id of one hold over `reads` and `writes`: 0 when no array has memory
  // to hold, `refused` (nothing held) when one conflicts.
  std::size_t take(std::span<const Extent> reads, std::span<const Extent> writes) {
    VELKOR_INVARIANT(reads.size() + writes.size() <= max_arrays, "too many arrays in one hold");
    const std::thread::id owner = std::this_thread::get_id();
    std::lock_guard guard(lock_);
    if (used_ == entries_.size()) entries_.resize(2 * used_);  // a rare crowd of running calls
    // Filled in the first free entry, which counts as held once used_ covers it.
    Entry& e = entries_[used_];
    std::size_t count = 0;
    for (const Extent& extent : reads) {
      e.extents[count] = extent;
      count += extent.begin != extent.end;  // an empty range shares nothing
    }
    e.reads = count;
    for (const Extent& extent : writes) {
      if (extent.begin == extent.end) continue;
      for (std::size_t i = 0; i < count; ++i)  // this hold's own ranges so far
        if (overlap(e.extents[i], extent)) return refused;
      e.extents[count++] = extent;
    }
    if (count == 0) return 0;
    e.count = count;
    if (used_ > 0 && conflicts(e)) return refused;  // all or none: the order of the checks is free
    e.id = next_id_++;
    e.owner = owner;
    ++used_;
    return e.id;
  }

  // take for R reads and W writes at `extents` (reads first), the counts
  // known when compiled: the common call's hold. `writes`: false when the
  // call has no out, and only the reads are held.
  template <std::size_t R, std::size_t W>
  std::size_t take_fixed(const Extent* extents, bool writes) {
    const std::thread::id owner = std::this_thread::get_id();
    std::lock_guard guard(lock_);
    if (used_ == entries_.size()) entries_.resize(2 * used_);
    Entry& e = entries_[used_];
    // The common call's arrays have elements: no range is empty.
    for (std::size_t i = 0; i < R + W; ++i) e.extents[i] = extents[i];  // inline moves, not memcpy
    e.reads = R;
    e.count = writes ? R + W : R;
    if (writes)
      for (std::size_t w = R; w < R + W; ++w)
        for (std::size_t i = 0; i < w; ++i)
          if (overlap(e.extents[i], e.extents[w])) return refused;
    if (used_ > 0 && conflicts(e)) return refused;
    e.id = next_id_++;
    e.owner = owner;
    ++used_;
    return e.id;
  }

  void release(std::size_t id) {
    std::lock_guard guard(lock_);
    if (used_ > 0 &&
        entries_[used_ - 1].id == id) {  // the last hold taken, unless another thread took one since
      --used_;
      return;
    }
    for (std::size_t i = used_; i-- > 0;) {
      if (entries_[i].id != id) continue;
      if (i + 1 != used_) entries_[i] = entries_[used_ - 1];
      --used_;
      return;
    }
  }

  void before_fork() { lock_.lock(); }
  void after_fork_in_parent() { lock_.unlock(); }
  // Only the forking thread exists in the child: the holds of every other
  // thread's calls would otherwise never be released.
  void after_fork_in_child() {
    new (&lock_) SpinLock;
    const std::thread::id self = std::this_thread::get_id();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < used_; ++i)
      if (entries_[i].owner == self) entries_[kept++] = entries_[i];
    used_ = kept;
  }

  static HoldRegistry& instance() { return registry; }

 private:
  HoldRegistry() : entries_(64) {}

  // Never destroyed: threads still computing at exit may release holds after
  // static destructors. Made when the module loads, before any call.
  static HoldRegistry& registry;

  struct Entry {
    Entry() {}  // left unset: take fills what it uses
    std::size_t id;
    std::thread::id owner;
    std::size_t reads;  // extents [0, reads) are read, [reads, count) written
    std::size_t count;
    std::array<Extent, max_arrays> extents;
  };

  // Whether `taking` (filled, not yet held) conflicts with a held entry: its
  // reads with their writes, its writes with all their ranges.
  bool conflicts(const Entry& taking) const {
    for (std::size_t k = 0; k < used_; ++k) {
      const Entry& e = entries_[k];
      for (std::size_t j = 0; j < taking.count; ++j)
        for (std::size_t i = j < taking.reads ? e.reads : 0; i < e.count; ++i)
          if (overlap(e.extents[i], taking.extents[j])) return true;
    }
    return false;
  }

  SpinLock lock_;
  std::vector<Entry> entries_;  // [0, used_) are held
  std::size_t used_ = 0;
  std::size_t next_id_ = 1;
};

HoldRegistry& HoldRegistry::registry = *new HoldRegistry;

bool is_float_vector(PyObject* value) {
  if (!PyArray_Check(value)) return false;
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  // Native byte order too: the core reads the memory as plain doubles.
  // (float64 itself is the common case: a comparison, before NumPy's general equivalence call)
  return PyArray_NDIM(array) == 1 &&
         (PyArray_TYPE(array) == NPY_DOUBLE || PyArray_EquivTypenums(PyArray_TYPE(array), NPY_DOUBLE)) &&
         PyArray_ISNOTSWAPPED(array);
}

bool usable_in_place(PyArrayObject* array) {
  return PyArray_ISALIGNED(array) &&
         (PyArray_IS_C_CONTIGUOUS(array) || PyArray_IS_F_CONTIGUOUS(array)) &&
         PyArray_DATA(array) != nullptr;
}

// True when the array's memory belongs to an array that owns it and got it
// from NumPy's default allocator: private heap memory, one address only.
bool numpy_heap_memory(PyArrayObject* array) {
  PyObject* object = reinterpret_cast<PyObject*>(array);
  while (object != nullptr && PyArray_Check(object)) {
    auto* a = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_CHKFLAGS(a, NPY_ARRAY_OWNDATA)) return PyArray_HANDLER(a) == PyDataMem_DefaultHandler;
    object = PyArray_BASE(a);
  }
  return false;  // a memory map, a buffer of another object, or no owner at all
}

// Reads every item as float() reads a number; false (error cleared) when one does not convert.
bool read_sequence(PyObject* value, std::vector<double>& out) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(value));
  if (!iterator) {
    PyErr_Clear();
    return false;
  }
  const Py_ssize_t hint = PyObject_LengthHint(value, 0);
  if (hint < 0) PyErr_Clear();
  else out.reserve(static_cast<std::size_t>(hint));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    const double number = PyFloat_CheckExact(item.get()) ? PyFloat_AS_DOUBLE(item.get())
                                                         : PyFloat_AsDouble(item.get());
    if (number == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    out.push_back(number);
  }
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

// Where a range of array memory comes from when it is a map of a file (or of a
// shared-memory object): that file's identity and the byte range within it.
struct FileRange {
  std::size_t array;  // index of the array the range belongs to
  unsigned long long device;
  unsigned long long inode;
  std::uintptr_t begin;
  std::uintptr_t end;
};

// One line of /proc/self/maps: "start-end perms offset major:minor inode path".
// False for an anonymous mapping (inode 0), which exists at one address only.
bool parse_map_line(std::string_view line, std::uintptr_t& start, std::uintptr_t& end,
                    unsigned long long& offset, unsigned long long& device, unsigned long long& inode) {
  const char* p = line.data();
  const char* const stop = p + line.size();
  const auto number = [&](int base, unsigned long long& value) {
    const char* begin = p;
    value = 0;
    for (; p < stop; ++p) {
      const char c = *p;
      int digit;
      if (c >= '0' && c <= '9') digit = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      else break;
      value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    return p > begin;
  };
  const auto skip = [&](char c) {
    if (p >= stop || *p != c) return false;
    ++p;
    return true;
  };
  const auto skip_field = [&] {
    while (p < stop && *p != ' ') ++p;
    return skip(' ');
  };
  unsigned long long s = 0, e = 0, major = 0, minor = 0;
  if (!number(16, s) || !skip('-') || !number(16, e) || !skip(' ') || !skip_field() ||
      !number(16, offset) || !skip(' ') || !number(16, major) || !skip(':') || !number(16, minor) ||
      !skip(' ') || !number(10, inode))
    return false;
  start = static_cast<std::uintptr_t>(s);
  end = static_cast<std::uintptr_t>(e);
  device = major << 32 | minor;
  return inode != 0;
}

// The file ranges behind `extents` (one per array), read from the process's
// memory map. False when the map cannot be read.
bool file_ranges(std::span<const Extent> extents, std::vector<FileRange>& ranges) {
  const int fd = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::array<char, 8192> buffer;
  std::size_t filled = 0;
  bool ok = true;
  while (true) {
    const ssize_t got = ::read(fd, buffer.data() + filled, buffer.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ok = false;
      break;
    }
    filled += static_cast<std::size_t>(got);
    std::size_t used = 0;
    while (true) {
      const auto newline = std::find(buffer.begin() + static_cast<std::ptrdiff_t>(used),
                                     buffer.begin() + static_cast<std::ptrdiff_t>(filled), '\n');
      const bool last = newline == buffer.begin() + static_cast<std::ptrdiff_t>(filled);
      if (last && got != 0) break;  // an incomplete line: read on
      const std::string_view line(buffer.data() + used,
                                  static_cast<std::size_t>(newline - buffer.begin()) - used);
      std::uintptr_t start, end;
      unsigned long long offset, device, inode;
      if (parse_map_line(line, start, end, offset, device, inode)) {
        for (std::size_t i = 0; i < extents.size(); ++i) {
          const std::uintptr_t begin = std::max(start, extents[i].begin);
          const std::uintptr_t stop = std::min(end, extents[i].end);
          if (begin < stop)
            ranges.push_back({i, device, inode, static_cast<std::uintptr_t>(offset) + (begin - start),
                              static_cast<std::uintptr_t>(offset) + (stop - start)});
        }
      }
      if (last) break;
      used = static_cast<std::size_t>(newline - buffer.begin()) + 1;
    }
    if (got == 0) break;
    if (used == 0 && filled == buffer.size()) {  // a line longer than the buffer: not a map line
      ok = false;
      break;
    }
    std::memmove(buffer.data(), buffer.data() + used, filled - used);
    filled -= used;
  }
  ::close(fd);
  return ok;
}

}  // namespace

Extent extent_of(PyArrayObject* array) {
  const auto data = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array));
  if (PyArray_NDIM(array) != 1) {  // contiguous batch arrays: their bytes
    const npy_intp size = PyArray_SIZE(array);
    return size == 0 ? Extent{}
                     : Extent{data, data + static_cast<std::uintptr_t>(size) * item_size(array)};
  }
  const npy_intp n = PyArray_DIM(array, 0);
  if (n == 0) return {};
  const std::uintptr_t item = item_size(array);
  const npy_intp span = (n - 1) * PyArray_STRIDE(array, 0);
  return span >= 0 ? Extent{data, data + static_cast<std::uintptr_t>(span) + item}
                   : Extent{data - static_cast<std::uintptr_t>(-span), data + item};
}

PyArrayObject* float_vector(PyObject* value) {
  return is_float_vector(value) ? reinterpret_cast<PyArrayObject*>(value) : nullptr;
}

bool owner_has_private_memory(PyArrayObject* array) { return numpy_heap_memory(array); }

bool share_mapped_memory(std::span<PyArrayObject* const> arrays) {
  std::array<Extent, 8> extents;
  std::size_t count = 0;
  for (PyArrayObject* array : arrays) {
    if (element_count(array) == 0 || numpy_heap_memory(array)) continue;
    VELKOR_INVARIANT(count < extents.size(), "too many arrays in one check");
    extents[count++] = extent_of(array);
  }
  if (count < 2) return false;
  std::vector<FileRange> ranges;
  if (!file_ranges({extents.data(), count}, ranges)) return false;  // no map to read: nothing seen
  for (std::size_t i = 0; i < ranges.size(); ++i)
    for (std::size_t j = 0; j < i; ++j) {
      const FileRange &a = ranges[i], &b = ranges[j];
      if (a.array != b.array && a.device == b.device && a.inode == b.inode && a.begin < b.end &&
          b.begin < a.end)
        return true;
    }
  return false;
}

void holds_before_fork() { HoldRegistry::instance().before_fork(); }
void holds_after_fork_in_parent() { HoldRegistry::instance().after_fork_in_parent(); }
void holds_after_fork_in_child() { HoldRegistry::instance().after_fork_in_child(); }

Hold& Hold::operator=(Hold&& other) noexcept {
  if (this != &other) {
    release();
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

bool Hold::take(std::span<const Extent> reads, std::span<const Extent> writes) {
  release();
  const std::size_t id = HoldRegistry::instance().take(reads, writes);
  if (id == HoldRegistry::refused) return false;
  id_ = id;
  return true;
}

template <std::size_t R, std::size_t W>
bool Hold::take_fixed(const Extent* extents, bool writes) {
  release();
  const std::size_t id = HoldRegistry::instance().take_fixed<R, W>(extents, writes);
  if (id == HoldRegistry::refused) return false;
  id_ = id;
  return true;
}

#define VELKOR_TAKE_FIXED(R, W) template bool Hold::take_fixed<R, W>(const Extent*, bool);
#define VELKOR_TAKE_FIXED_FOR(R) \
  VELKOR_TAKE_FIXED(R, 1) VELKOR_TAKE_FIXED(R, 2) VELKOR_TAKE_FIXED(R, 3) VELKOR_TAKE_FIXED(R, 6)
VELKOR_TAKE_FIXED_FOR(1)
VELKOR_TAKE_FIXED_FOR(2)
VELKOR_TAKE_FIXED_FOR(3)
#undef VELKOR_TAKE_FIXED_FOR
#undef VELKOR_TAKE_FIXED

bool Hold::take_reads(std::span<PyArrayObject* const> arrays) {
  std::array<Extent, max_arrays> extents;
  VELKOR_INVARIANT(arrays.size() <= extents.size(), "too many arrays in one hold");
  for (std::size_t i = 0; i < arrays.size(); ++i) extents[i] = extent_of(arrays[i]);
  return take({extents.data(), arrays.size()}, {});
}

void Hold::release_taken() { HoldRegistry::instance().release(std::exchange(id_, 0)); }

bool InputArray::extract(PyObject* value, const char* name) {
  if (is_float_vector(value)) {
    owned().array = PyRef::borrow(value);
    unread_ = reinterpret_cast<PyArrayObject*>(value);
    size_ = static_cast<std::size_t>(PyArray_DIM(unread_, 0));
    // Memory used in place is only pointed at here: it is read once held.
    if (size_ > 0 && usable_in_place(unread_)) {
      values_ = {static_cast<const double*>(PyArray_DATA(unread_)), size_};
      const auto begin = reinterpret_cast<std::uintptr_t>(values_.data());
      extent_ = {begin, begin + size_ * sizeof(double)};
    } else {
      extent_ = extent_of(unread_);
    }
    return true;
  }
  // Arrays of other shapes or types go straight to NumPy's conversion, so a
  // (3, 1) array is not read row by row as three numbers.
  if (!PyArray_Check(value) && !PyUnicode_Check(value) && PySequence_Check(value)) {
    std::vector<double>& copy = owned().copy;
    if (read_sequence(value, copy)) {
      values_ = copy;
      size_ = copy.size();
      return true;
    }
    copy.clear();
  }
  PyObject* converted =
      PyArray_FromAny(value, PyArray_DescrFromType(NPY_DOUBLE), 0, 0, NPY_ARRAY_FORCECAST, nullptr);
  if (converted == nullptr) return false;
  owned().array = PyRef::steal(converted);
  auto* array = reinterpret_cast<PyArrayObject*>(converted);
  if (PyArray_NDIM(array) != 1) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected a one-dimensional array of numbers, got %s with %d "
                 "dimensions",
                 name, Py_TYPE(value)->tp_name, PyArray_NDIM(array));
    return false;
  }
  unread_ = array;
  extent_ = extent_of(array);
  size_ = static_cast<std::size_t>(PyArray_DIM(array, 0));
  return true;
}

std::size_t InputArray::unread_extents(std::span<InputArray> inputs, std::span<Extent> extents) {
  std::size_t count = 0;
  for (const InputArray& input : inputs) {
    if (input.unread_ == nullptr) continue;
    VELKOR_INVARIANT(count < extents.size(), "too many arrays in one hold");
    extents[count++] = input.extent_;
  }
  return count;
}

void InputArray::read_held(std::span<InputArray> inputs) {
  for (InputArray& input : inputs) {
    if (input.unread_ == nullptr) continue;
    PyArrayObject* array = std::exchange(input.unread_, nullptr);
    if (input.values_.size() != input.size_) input.read_array(array);  // not in place: gathered
  }
}

bool InputArray::hold(std::span<InputArray> inputs, Hold& hold) {
  std::array<Extent, max_arrays> extents;
  const std::size_t count = unread_extents(inputs, extents);
  if (!hold.take({extents.data(), count}, {})) {
    PyErr_SetString(PyExc_ValueError, already_borrowed);
    return false;
  }
  read_held(inputs);
  return true;
}

bool InputArray::try_hold(std::span<InputArray> inputs, std::span<const Extent> writes, Hold& hold) {
  std::array<Extent, max_arrays> extents;
  const std::size_t count = unread_extents(inputs, extents);
  if (!hold.take({extents.data(), count}, writes)) return false;
  read_held(inputs);
  return true;
}

void InputArray::read_array(PyArrayObject* array) {
  const auto n = static_cast<std::size_t>(PyArray_DIM(array, 0));
  if (n == 0) {
    values_ = {};
  } else if (usable_in_place(array)) {
    values_ = {static_cast<const double*>(PyArray_DATA(array)), n};
  } else {
    // Strided or misaligned: gather in index order, negative strides included.
    std::vector<double>& copy = owned().copy;
    copy.resize(n);
    const char* base = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp stride = PyArray_STRIDE(array, 0);
    for (std::size_t i = 0; i < n; ++i)
      std::memcpy(&copy[i], base + static_cast<npy_intp>(i) * stride, sizeof(double));
    values_ = copy;
  }
}

bool OutputArray::check_type(PyObject* out) {
  if (out == nullptr || out == Py_None || is_float_vector(out)) return true;
  PyErr_Format(PyExc_TypeError,
               "argument 'out': expected None or a one-dimensional float64 numpy.ndarray, got %s",
               Py_TYPE(out)->tp_name);
  return false;
}

bool arrays_overlap(PyArrayObject* a, PyArrayObject* b) {
  const Extent x = extent_of(a), y = extent_of(b);
  return x.begin != x.end && y.begin != y.end && overlap(x, y);
}

bool OutputArray::check_tuple(PyObject* out, std::size_t count) {
  if (out == nullptr || out == Py_None) return true;
  bool ok = PyTuple_Check(out) && static_cast<std::size_t>(PyTuple_GET_SIZE(out)) == count;
  for (std::size_t i = 0; ok && i < count; ++i)
    ok = is_float_vector(PyTuple_GET_ITEM(out, static_cast<Py_ssize_t>(i)));
  if (!ok) {
    PyErr_Format(
        PyExc_TypeError,
        "argument 'out': expected None or a tuple of %zu one-dimensional float64 numpy.ndarray, got %s",
        count, Py_TYPE(out)->tp_name);
    return false;
  }
  for (std::size_t i = 0; i < count; ++i)
    for (std::size_t j = 0; j < i; ++j) {
      if (arrays_overlap(
              reinterpret_cast<PyArrayObject*>(PyTuple_GET_ITEM(out, static_cast<Py_ssize_t>(i))),
              reinterpret_cast<PyArrayObject*>(PyTuple_GET_ITEM(out, static_cast<Py_ssize_t>(j))))) {
        PyErr_SetString(PyExc_ValueError, "the arrays in out must not overlap");
        return false;
      }
    }
  std::array<PyArrayObject*, 8> arrays;
  VELKOR_INVARIANT(count <= arrays.size(), "too many arrays in out");
  for (std::size_t i = 0; i < count; ++i)
    arrays[i] = reinterpret_cast<PyArrayObject*>(PyTuple_GET_ITEM(out, static_cast<Py_ssize_t>(i)));
  if (share_mapped_memory({arrays.data(), count})) {
    PyErr_SetString(PyExc_ValueError, "the arrays in out must not overlap");
    return false;
  }
  return true;
}

bool OutputArray::prepare(PyObject* out, std::size_t length, DeferredError& error, Settled settled) {
  const auto n = static_cast<npy_intp>(length);
  if (out == nullptr || out == Py_None) {
    npy_intp dims[1] = {n};
    array_ = PyRef::steal(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
    if (!array_) {
      PyErr_Clear();
      error.set(PyExc_MemoryError, "");
      return false;
    }
    data_ = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array_.get())));
    private_ = true;
    return true;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(out);
  if (PyArray_DIM(array, 0) != n) {
    error.set(PyExc_ValueError, "out must contain exactly " + std::to_string(length) + " elements");
    return false;
  }
  if (settled == Settled::Checked) {
    array_ = PyRef::borrow(out);
    data_ = static_cast<double*>(PyArray_DATA(array));
    private_ = numpy_heap_memory(array);
    return true;
  }
  if (!PyArray_ISWRITEABLE(array)) {
    error.set(PyExc_ValueError, "The given array is not writeable");
    return false;
  }
  if (settled == Settled::Unheld && !hold_.take(array, Hold::Kind::Write)) {
    error.set(PyExc_ValueError, already_borrowed);
    return false;
  }
  if (n > 0 && !usable_in_place(array)) {
    hold_.release();
    error.set(PyExc_ValueError, "out must be a contiguous float64 array");
    return false;
  }
  array_ = PyRef::borrow(out);
  data_ = static_cast<double*>(PyArray_DATA(array));
  private_ = numpy_heap_memory(array);
  return true;
}

}  // namespace velkor::py
