#include "backtrace.hpp"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fd_writer.hpp"

namespace varsift::core {
namespace {

constexpr int max_frames = 128;

std::string hex(std::uintptr_t value) {
  char digits[2 + 16];
  digits[0] = '0';
  digits[1] = 'x';
  const auto end = std::to_chars(digits + 2, digits + sizeof(digits), value, 16).ptr;
  return std::string(digits, end);
}

std::string describe(void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0) return hex(reinterpret_cast<std::uintptr_t>(address));
  std::string out;
  if (info.dli_sname != nullptr) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    out = status == 0 ? demangled : info.dli_sname;
    std::free(demangled);
    out += " + " + hex(reinterpret_cast<std::uintptr_t>(address) -
                       reinterpret_cast<std::uintptr_t>(info.dli_saddr));
  } else {
    out = "<unknown>";
  }
  out += "\n             at ";
  out += info.dli_fname != nullptr ? info.dli_fname : "<unknown object>";
  out += " + " + hex(reinterpret_cast<std::uintptr_t>(address) -
                     reinterpret_cast<std::uintptr_t>(info.dli_fbase));
  return out;
}

}  // namespace

[[gnu::noinline]] void write_backtrace(int fd, std::size_t skip) noexcept {
  try {
    void* frames[max_frames];
    const int count = ::backtrace(frames, max_frames);
    std::string text = "stack backtrace:\n";
    for (int i = static_cast<int>(skip) + 1, shown = 0; i < count; ++i, ++shown) {
      std::string number = std::to_string(shown);
      text.append(number.size() < 4 ? 4 - number.size() : 0, ' ');
      text += number + ": " + describe(frames[i]) + "\n";
    }
    write_all(fd, text);
  } catch (...) {
    // A backtrace is a courtesy: without memory for it the report goes on without it.
  }
}

}  // namespace varsift::core
