// A malloc that counts its calls of one size, for the Python tests of what a
// binding call allocates on the C heap (which tracemalloc does not see): built
// as a shared library and preloaded (LD_PRELOAD) into a child interpreter,
// which sets the size and reads the count through ctypes. glibc only.
#include <atomic>
#include <cstddef>

extern "C" void* __libc_malloc(std::size_t size);

namespace {
std::atomic<std::size_t> watched{0};
std::atomic<long> seen{0};
}  // namespace

extern "C" {

void* malloc(std::size_t size) {
  if (size != 0 && size == watched.load(std::memory_order_relaxed))
    seen.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(size);
}

// Counts the allocations of `size` bytes from now on (0: none).
void velkor_watch_malloc(std::size_t size) {
  seen = 0;
  watched = size;
}

long velkor_watched_mallocs() { return seen.load(); }
}
