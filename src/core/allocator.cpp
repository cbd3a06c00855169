#include "allocator.hpp"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace varsift::core {

MemoryExhausted::MemoryExhausted(std::size_t bytes) noexcept : bytes_(bytes) {
  constexpr std::string_view head = "memory allocation of ";
  constexpr std::string_view tail = " bytes failed";
  static_assert(head.size() + 20 + tail.size() < sizeof(text_));
  char* end = head.copy(text_, head.size()) + text_;
  end = std::to_chars(end, text_ + sizeof(text_), bytes).ptr;
  end += tail.copy(end, tail.size());
  *end = '\0';
}

void memory_exhausted(std::size_t bytes) { throw MemoryExhausted(bytes); }

void* allocate(std::size_t bytes) {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) memory_exhausted(bytes);
  return p;
}

}  // namespace varsift::core
