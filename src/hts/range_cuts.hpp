#pragma once

#include <cstdint>
#include <vector>

#include "index.hpp"

namespace varsift::hts {

// Where the BGZF file an index describes may be cut into ranges of about `size` compressed
// bytes each, so that ranges read apart give every line once: virtual offsets where the index
// says records start, found by site queries, the first 0 (the file's start), each in a later
// block than the one before. Only as many as the index places apart; one (0) when it places
// none. A cut is believed only as far as a reader checks that the line before it ends there.
std::vector<std::uint64_t> record_cuts(const Index& index, std::uint64_t size);

}  // namespace varsift::hts
