#include "system_calls.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace varsift::core {
namespace {

const SystemCalls real_calls{
    [](const char* path, int flags) { return ::open(path, flags); },
    [](int fd, void* buffer, std::size_t count) { return ::read(fd, buffer, count); },
    [](int fd) { return ::close(fd); },
};

const SystemCalls* current = &real_calls;

}  // namespace

const SystemCalls& system_calls() noexcept { return *current; }

ScopedSystemCalls::ScopedSystemCalls(const SystemCalls& calls) noexcept : previous_(current) {
  current = &calls;
}

ScopedSystemCalls::~ScopedSystemCalls() { current = previous_; }

}  // namespace varsift::core
