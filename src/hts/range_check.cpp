#include "range_check.hpp"

#include "bcf_stream.hpp"
#include "bgzf_block.hpp"
#include "kept_blocks.hpp"
#include "little_endian.hpp"
#include "range_texts.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

namespace varsift::hts {
namespace {

// Bytes of a first line read to find its CHROM: longer names are not names an index holds.
constexpr std::size_t chrom_limit = 1 << 16;
// Bytes of '#' lines passed over to find a record: a joined file's header, however long.
constexpr std::size_t skip_limit = std::size_t{1} << 24;
// A BCF record's two lengths, then CHROM and POS.
constexpr std::size_t bcf_record_start = 16;

std::string at(std::uint64_t offset) {
  return "offset " + std::to_string(offset >> 16) + ":" + std::to_string(offset & 0xFFFF);
}

class Checker {
 public:
  Checker(BGZF* file, KeptBlocks& kept) noexcept : file_(file), kept_(kept) {}

  // Loads the block at the compressed address of `offset` unless it is loaded. Sets `result`
  // and gives false when it cannot.
  bool load(std::uint64_t offset, RangeCheck& result) {
    const auto address = static_cast<std::int64_t>(offset >> 16);
    if (file_->block_length > 0 && file_->block_address == address) return true;
    if (kept_.load(file_, static_cast<std::uint64_t>(address))) {
      measured_ = {address, static_cast<std::size_t>(file_->block_clength)};
      return true;
    }
    std::size_t size = 0;
    if (!block_starts_at(address, offset, result, size)) return false;
    errno = 0;
    if (bgzf_seek(file_, address << 16, SEEK_SET) == 0) {
      // bgzf_peek steps over empty blocks: an offset at one's start is the next one's start.
      const int next = bgzf_peek(file_);
      if (next >= 0) {
        if (file_->block_address == address) measured_ = {address, size};
        if (file_->block_address == address || (offset & 0xFFFF) == 0) return keep();
        result = {RangeCheck::Outcome::mismatch,
                  "the index points past the end of a BGZF block at " + at(offset)};
        return false;
      }
      if (next == -1) {
        result = {RangeCheck::Outcome::mismatch,
                  "the index points to the data's end at " + at(offset)};
        return false;
      }
    }
    result = {RangeCheck::Outcome::damaged, {}};
    return false;
  }

  // Whether a BGZF block header starts at `address`: an index pointing elsewhere does not
  // describe the file, while a block that is there but does not inflate is damage.
  bool block_starts_at(std::int64_t address, std::uint64_t offset, RangeCheck& result,
                       std::size_t& size) {
    unsigned char head[bgzf_header_size];
    errno = 0;
    const ssize_t got =
        hseek(file_->fp, address, SEEK_SET) < 0 ? -1 : hread(file_->fp, head, sizeof head);
    if (got < 0) {
      result = {RangeCheck::Outcome::damaged, {}};
      return false;
    }
    if (got == 0) {
      result = {RangeCheck::Outcome::mismatch,
                "the index points past the data's end at " + at(offset)};
      return false;
    }
    if (read_block_size(head, static_cast<std::size_t>(got), size) == LayoutStatus::invalid) {
      result = {RangeCheck::Outcome::mismatch,
                "the index points to no BGZF block at " + at(offset)};
      return false;
    }
    return true;
  }

  // Loads the block after the loaded one, which is none at the end; false on damage.
  bool next_block(RangeCheck& result) {
    errno = 0;
    if (kept_.next(file_) == -2) {
      result = {RangeCheck::Outcome::damaged, {}};
      return false;
    }
    return keep();
  }

  // Reads on to the block `offset` lies in, keeping the blocks for the reading while there is
  // room; false on damage.
  bool read_to(std::uint64_t offset, RangeCheck& result) {
    while (!kept_.full() && file_->block_length > 0 &&
           static_cast<std::uint64_t>(file_->block_address) < offset >> 16) {
      if (!next_block(result)) return false;
    }
    return true;
  }

  bool holds(std::uint64_t offset) const noexcept {
    return file_->block_length > 0 &&
           file_->block_address == static_cast<std::int64_t>(offset >> 16);
  }

  const char* data() const noexcept { return static_cast<const char*>(file_->uncompressed_block); }
  std::size_t length() const noexcept { return static_cast<std::size_t>(file_->block_length); }

  // Whether the byte before `offset`, in the loaded block, is a '\n'; true at a block start.
  bool after_newline(std::uint64_t offset, RangeCheck& result) const {
    const std::size_t within = offset & 0xFFFF;
    if (within > length()) {
      result = {RangeCheck::Outcome::mismatch,
                "the index points past the end of a BGZF block at " + at(offset)};
      return false;
    }
    if (within == 0 || data()[within - 1] == '\n') return true;
    result = {RangeCheck::Outcome::mismatch, "the index points inside a line at " + at(offset)};
    return false;
  }

  // The CHROM of the first record from `offset` of the loaded block on, past '#' lines (an
  // index may point to those that lie among the records), read on into the next blocks; false
  // with `result` set when no record follows or its line holds no TAB.
  bool record_chrom(std::uint64_t offset, std::string& chrom, RangeCheck& result) {
    chrom.clear();
    std::size_t from = offset & 0xFFFF;
    std::size_t read = 0;
    bool line_start = true;
    bool skipping = false;
    for (;;) {
      std::string_view rest(data() + from, length() - from);
      read += rest.size();
      while (!rest.empty()) {
        if (line_start) skipping = rest.front() == '#';
        line_start = false;
        const std::size_t stop = rest.find_first_of(skipping ? "\n" : "\t\n");
        if (!skipping) chrom.append(rest.substr(0, stop));
        if (stop == std::string_view::npos) break;
        if (!skipping) {
          if (rest[stop] == '\t') return true;
          result = {RangeCheck::Outcome::mismatch,
                    "the index points to a line that is not a record at " + at(offset)};
          return false;
        }
        rest.remove_prefix(stop + 1);
        line_start = true;
      }
      if (chrom.size() > chrom_limit || read > skip_limit) break;
      if (!next_block(result)) return false;
      if (file_->block_length == 0) break;
      from = 0;
    }
    result = {RangeCheck::Outcome::mismatch, "the index points to no record at " + at(offset)};
    return false;
  }

  // Keeps in `texts` what the loaded block, where `range` begins, holds of it: the range
  // whole when it ends there (for VCF, at the line end found), else up to the block's end.
  void keep_text(const VirtualRange& range, std::size_t number, RangeTexts& texts) const {
    const std::size_t from = range.begin & 0xFFFF;
    if (range.begin >> 16 != range.end >> 16) {
      // The rest goes on from the next block, where this one ends (when its size is known).
      if (measured_.first != file_->block_address || measured_.second == 0) return;
      const auto next = static_cast<std::uint64_t>(measured_.first) + measured_.second;
      texts.keep(number, std::string_view(data() + from, length() - from), next << 16);
    } else if ((range.end & 0xFFFF) <= length()) {
      texts.keep(number, std::string_view(data() + from, (range.end & 0xFFFF) - from),
                 std::nullopt);
    }
  }

  // The contig id of the BCF record at `offset` of the loaded block, its first bytes read on
  // into the next blocks; false with `result` set when no record starts there.
  bool bcf_record_contig(std::uint64_t offset, std::int32_t& contig, RangeCheck& result) {
    std::size_t from = offset & 0xFFFF;
    if (from > length()) {
      result = {RangeCheck::Outcome::mismatch,
                "the index points past the end of a BGZF block at " + at(offset)};
      return false;
    }
    unsigned char start[bcf_record_start];
    std::size_t have = 0;
    for (;;) {
      const std::size_t take = std::min(sizeof start - have, length() - from);
      std::memcpy(start + have, data() + from, take);
      have += take;
      if (have == sizeof start) break;
      if (!next_block(result)) return false;
      if (file_->block_length == 0) break;
      from = 0;
    }
    if (have < sizeof start || little_endian_32(start) < BcfRecordBytes::fixed_bytes) {
      result = {RangeCheck::Outcome::mismatch, "the index points to no record at " + at(offset)};
      return false;
    }
    contig = static_cast<std::int32_t>(little_endian_32(start + 8));
    return true;
  }

 private:
  // Keeps the block just loaded while there is room; always true.
  bool keep() {
    kept_.keep(file_);
    return true;
  }

  BGZF* file_;
  KeptBlocks& kept_;
  // The compressed address and size of the last block loaded at an address it checked.
  std::pair<std::int64_t, std::size_t> measured_{-1, 0};
};

}  // namespace

RangeCheck check_ranges(BGZF* file, std::span<const VirtualRange> ranges,
                        const std::vector<std::string>& sequences, KeptBlocks& kept,
                        RangeCheckOptions options, RangeTexts* texts) {
  RangeCheck result;
  Checker checker(file, kept);
  std::string chrom;
  const auto name = [&sequences](std::int32_t id) {
    return id >= 0 && static_cast<std::size_t>(id) < sequences.size()
               ? sequences[static_cast<std::size_t>(id)]
               : "number " + std::to_string(id);
  };
  for (std::size_t number = 0; number < ranges.size(); ++number) {
    const VirtualRange& range = ranges[number];
    if (!checker.load(range.begin, result)) return result;
    if (options.bcf) {
      std::int32_t contig = -1;
      if (!checker.bcf_record_contig(range.begin, contig, result)) return result;
      if (contig != range.sequence) {
        return {RangeCheck::Outcome::mismatch, "the index points to a record of contig " +
                                                   name(contig) +
                                                   " where it lists those of contig " +
                                                   name(range.sequence) + " at " + at(range.begin)};
      }
    } else {
      if (!checker.after_newline(range.begin, result)) return result;
      if (!checker.record_chrom(range.begin, chrom, result)) return result;
      if (range.sequence >= 0 && static_cast<std::size_t>(range.sequence) < sequences.size() &&
          chrom != sequences[static_cast<std::size_t>(range.sequence)]) {
        return {RangeCheck::Outcome::mismatch,
                "the index points to a record on " + chrom.substr(0, 40) + " at " +
                    at(range.begin) + " for sequence " +
                    sequences[static_cast<std::size_t>(range.sequence)]};
      }
    }
    // The rest of the range, while the reading can be spared fetching it again.
    if (options.whole_ranges && !checker.read_to(range.end, result)) return result;
    // An end in a block loaded already costs nothing more to check.
    if (!options.bcf && (range.end & 0xFFFF) != 0 && checker.holds(range.end) &&
        !checker.after_newline(range.end, result)) {
      return result;
    }
    if (texts != nullptr && range.begin < range.end && checker.holds(range.begin)) {
      checker.keep_text(range, number, *texts);
    }
    ++result.checked;
    if (options.window && kept.full()) break;
  }
  return result;
}

}  // namespace varsift::hts
