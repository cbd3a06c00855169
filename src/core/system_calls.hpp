#pragma once

#include <sys/types.h>
#include <cstddef>

namespace varsift::core {

// The platform calls behind file access, gathered so that tests can stand in for them.
struct SystemCalls {
  int (*open)(const char* path, int flags);
  ssize_t (*read)(int fd, void* buffer, std::size_t count);
  int (*close)(int fd);
};

// The calls in force: the real ones unless a test has put others in place.
const SystemCalls& system_calls() noexcept;

// Puts `calls` in place for the lifetime of this object (tests only).
class ScopedSystemCalls {
 public:
  explicit ScopedSystemCalls(const SystemCalls& calls) noexcept;
  ~ScopedSystemCalls();
  ScopedSystemCalls(const ScopedSystemCalls&) = delete;
  ScopedSystemCalls& operator=(const ScopedSystemCalls&) = delete;

 private:
  const SystemCalls* previous_;
};

}  // namespace varsift::core
