#include "core/allocator.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>

#include "address_sanitizer.hpp"
#include "child_process.hpp"
#include "core/line.hpp"
#include "core/position_set.hpp"
#include "core/subset.hpp"

#if defined(VARSIFT_TEST_ASAN)
// Under AddressSanitizer a request that cannot be met must come back as null, as from malloc.
extern "C" [[gnu::visibility("default")]] const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

namespace varsift::core {
namespace {

using testing::run_in_child;

// What `body` throws, as its text, or "no exception".
template <class Body>
std::string exhaustion_of(Body body) {
  try {
    body();
  } catch (const MemoryExhausted& exhausted) {
    return exhausted.what();
  }
  return "no exception";
}

TEST(Allocator, ImpossibleRequestThrowsWithItsSize) {
  EXPECT_EQ(exhaustion_of([] { Allocator<char>().allocate(std::size_t{1} << 62); }),
            "memory allocation of 4611686018427387904 bytes failed");
}

TEST(Allocator, OversizedCountIsExhaustionNotAWrappedSize) {
  EXPECT_EQ(exhaustion_of([] { Allocator<std::uint64_t>().allocate(std::size_t{1} << 62); }),
            "memory allocation of 18446744073709551615 bytes failed");
}

TEST(Allocator, ExhaustionIsABadAllocThatKeepsItsSize) {
  try {
    memory_exhausted(12345);
  } catch (const std::bad_alloc& error) {
    EXPECT_EQ(dynamic_cast<const MemoryExhausted&>(error).bytes(), 12345U);
    EXPECT_STREQ(error.what(), "memory allocation of 12345 bytes failed");
  }
}

#if !defined(VARSIFT_TEST_ASAN)
// A sanitizer reserves address space far beyond any limit, so these run without one.
void limit_memory(rlim_t bytes) {
  const rlimit limit{bytes, bytes};
  setrlimit(RLIMIT_AS, &limit);
}

TEST(Allocator, LongLineUnderAMemoryLimitEndsTheSubsetAndClosesTheFile) {
  const testing::TempFile file(std::string(96 << 20, 'x'));
  const auto child = run_in_child([&] {
    limit_memory(160 << 20);
    const int before = testing::open_descriptor_count();
    std::string text = exhaustion_of([&] { subset_vcf(file.path(), {}); });
    if (testing::open_descriptor_count() != before) text += " (file left open)";
    return text;
  });
  EXPECT_EQ(child.exit_code, 0);
  EXPECT_TRUE(child.output.starts_with("memory allocation of ")) << child.output;
  EXPECT_TRUE(child.output.ends_with(" bytes failed")) << child.output;
  // Nothing is written: the entry point reports the failure once the call has unwound.
  EXPECT_EQ(child.stderr_bytes, "");
}

TEST(Allocator, GrowingListUnderAMemoryLimitThrows) {
  const auto child = run_in_child([] {
    limit_memory(256 << 20);
    return exhaustion_of([] {
      PositionList positions;
      positions.reserve(std::size_t{1} << 30);
    });
  });
  EXPECT_EQ(child.output, "memory allocation of 8589934592 bytes failed");
}
#endif

}  // namespace
}  // namespace varsift::core
