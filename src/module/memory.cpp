// Every C++ allocation of the module goes through here: a request that cannot be met throws
// core::MemoryExhausted, which the entry point raises as a failure naming the request's size,
// rather than a bare std::bad_alloc. The version script keeps these definitions inside the
// module, so the host process and other extensions keep their own.

#include <cstdlib>
#include <new>

#include "core/allocator.hpp"

void* operator new(std::size_t bytes) { return varsift::core::allocate(bytes); }
void* operator new[](std::size_t bytes) { return varsift::core::allocate(bytes); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
