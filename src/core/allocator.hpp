#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

namespace varsift::core {

// An allocation that cannot be met. It unwinds like any exception, releasing what each frame
// holds; the entry point then raises it as the failure "memory allocation of N bytes failed".
// The text is kept inside the object, since memory is what is missing.
class MemoryExhausted final : public std::bad_alloc {
 public:
  explicit MemoryExhausted(std::size_t bytes) noexcept;

  std::size_t bytes() const noexcept { return bytes_; }
  // "memory allocation of N bytes failed".
  const char* what() const noexcept override { return text_; }

 private:
  std::size_t bytes_;
  char text_[64];
};

// Throws MemoryExhausted for a request of `bytes`.
[[noreturn]] void memory_exhausted(std::size_t bytes);

// malloc that throws MemoryExhausted instead of giving null.
void* allocate(std::size_t bytes);

// Allocator for the containers whose size follows the input (lines, line lists, positions).
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
    return static_cast<T*>(core::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { std::free(p); }

  friend bool operator==(const Allocator&, const Allocator&) noexcept { return true; }
};

}  // namespace varsift::core
