#include "core/allocator.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>

#include "child_process.hpp"
#include "core/line.hpp"
#include "core/position_set.hpp"
#include "core/subset.hpp"

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer a request that cannot be met must come back as null, as from malloc.
extern "C" [[gnu::visibility("default")]] const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

namespace varsift::core {
namespace {

using testing::run_in_child;

// The sanitizer may warn before the message; the message is the last line.
std::string last_line(const std::string& text) {
  const std::size_t start = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
  return start == std::string::npos ? text : text.substr(start + 1);
}

TEST(Allocator, ImpossibleRequestEndsTheProcessWithItsSize) {
  const auto child = run_in_child([] {
    Allocator<char>().allocate(std::size_t{1} << 62);
    return std::string("allocated");
  });
  EXPECT_EQ(child.signal, SIGABRT);
  EXPECT_EQ(last_line(child.stderr_bytes),
            "memory allocation of 4611686018427387904 bytes failed\n");
}

TEST(Allocator, OversizedCountIsExhaustionNotAWrappedSize) {
  const auto child = run_in_child([] {
    Allocator<std::uint64_t>().allocate(std::size_t{1} << 62);
    return std::string("allocated");
  });
  EXPECT_EQ(child.signal, SIGABRT);
  EXPECT_EQ(last_line(child.stderr_bytes),
            "memory allocation of 18446744073709551615 bytes failed\n");
}

#if !defined(__SANITIZE_ADDRESS__)
// A sanitizer reserves address space far beyond any limit, so these run without one.
void limit_memory(rlim_t bytes) {
  const rlimit limit{bytes, bytes};
  setrlimit(RLIMIT_AS, &limit);
}

TEST(Allocator, LongLineUnderAMemoryLimitEndsTheProcess) {
  const testing::TempFile file(std::string(96 << 20, 'x'));
  const auto child = run_in_child([&] {
    limit_memory(160 << 20);
    subset_vcf(file.path(), {});
    return std::string("read");
  });
  EXPECT_EQ(child.signal, SIGABRT);
  EXPECT_TRUE(child.stderr_bytes.starts_with("memory allocation of ")) << child.stderr_bytes;
  EXPECT_TRUE(child.stderr_bytes.ends_with(" bytes failed\n")) << child.stderr_bytes;
}

TEST(Allocator, GrowingListUnderAMemoryLimitEndsTheProcess) {
  const auto child = run_in_child([] {
    limit_memory(256 << 20);
    PositionList positions;
    positions.reserve(std::size_t{1} << 30);
    return std::string("reserved");
  });
  EXPECT_EQ(child.signal, SIGABRT);
  EXPECT_EQ(child.stderr_bytes, "memory allocation of 8589934592 bytes failed\n");
}
#endif

}  // namespace
}  // namespace varsift::core
