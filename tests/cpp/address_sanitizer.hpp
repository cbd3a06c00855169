#pragma once

// VARSIFT_TEST_ASAN is defined where AddressSanitizer is built in: it reserves address space
// far beyond any limit, and returns null for impossible requests only when told to.
#if defined(__SANITIZE_ADDRESS__)
#define VARSIFT_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARSIFT_TEST_ASAN 1
#endif
#endif
