#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

namespace varsift::core {

// Writes "memory allocation of N bytes failed" to standard error and aborts the process.
[[noreturn]] void memory_exhausted(std::size_t bytes) noexcept;

// malloc that ends the process with the message above instead of failing.
void* allocate_or_abort(std::size_t bytes) noexcept;

// Allocator for the containers whose size follows the input (lines, line lists, positions):
// running out of memory there ends the process rather than throwing.
template <class T>
struct Allocator {
  using value_type = T;

  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
      memory_exhausted(std::numeric_limits<std::size_t>::max());
    }
    return static_cast<T*>(allocate_or_abort(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }

  friend bool operator==(const Allocator&, const Allocator&) noexcept { return true; }
};

}  // namespace varsift::core
