#include "allocator.hpp"

#include <charconv>
#include <cstdlib>
#include <string_view>

#include "fd_writer.hpp"

namespace varsift::core {

void memory_exhausted(std::size_t bytes) noexcept {
  // Built on the stack: the heap is exactly what is missing.
  constexpr std::string_view head = "memory allocation of ";
  constexpr std::string_view tail = " bytes failed\n";
  char text[head.size() + 20 + tail.size()];
  char* end = head.copy(text, head.size()) + text;
  end = std::to_chars(end, text + sizeof(text), bytes).ptr;
  end += tail.copy(end, tail.size());
  write_all(2, std::string_view(text, static_cast<std::size_t>(end - text)));
  std::abort();
}

void* allocate_or_abort(std::size_t bytes) noexcept {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) memory_exhausted(bytes);
  return p;
}

}  // namespace varsift::core
