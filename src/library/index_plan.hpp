#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "hts/index.hpp"
#include "hts/index_cost.hpp"
#include "hts/range_texts.hpp"
#include "index_input.hpp"
#include "selection.hpp"

typedef struct BGZF BGZF;

namespace varsift::library {

// Whether a failed check of the index is an error (forced, or named) rather than the way to a
// scan.
bool index_is_binding(const IndexOptions& options) noexcept;

// Where a local file's ranges are all checked before the first line (a failed check gives way
// to a scan), the room for the ranges inside one block that the check keeps for the reading;
// null elsewhere, where the reading goes on from what the check loaded or kept.
std::unique_ptr<hts::RangeTexts> texts_for_check(const IndexOptions& options, bool remote);

// The ranges an index gives for a selection, and whether to follow them.
struct IndexPlan {
  enum class Verdict : unsigned char {
    follow,
    scan,     // the automatic choice: a scan costs less
    damaged,  // a sequence the query touches is damaged: see `problem`
  };
  Verdict verdict = Verdict::scan;
  std::vector<hts::VirtualRange> ranges;
  // What following the index would cost, as far as it was weighed.
  hts::ReadCost cost;
  std::optional<hts::IndexProblem> problem;
};

// Plans reading `selection` through `index`, the data's size `file_bytes`; `file` stands in
// the block where the records begin, read last, whose size scales the cost. Only the sequences
// the query touches are checked, and not even those where the plan alone rules the index out.
// Over a URL, where a failed check gives way to a scan, the cost counts the second fetch of
// what the check reads past the `kept_bytes` it keeps.
IndexPlan plan_index_read(const hts::Index& index, BGZF* file, const Selection& selection,
                          const IndexOptions& options, int threads, std::uint64_t file_bytes,
                          bool remote, std::size_t kept_bytes);

}  // namespace varsift::library
