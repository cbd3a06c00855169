#include "index_check.hpp"

#include <htslib/bgzf.h>
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "bgzf_file.hpp"
#include "binning.hpp"
#include "little_endian.hpp"

namespace varsift::hts {
namespace {

// The tabix binning scheme: 16 kbp leaf bins, five levels below the root.
constexpr int tabix_min_shift = 14;
constexpr int tabix_depth = 5;
// The largest min_shift bcftools writes, and the deepest scheme whose bin numbers fit 32 bits.
constexpr int max_min_shift = 30;
constexpr int max_depth = 10;
constexpr std::size_t chunk_bytes = 16;
// Room reserved for inflated bytes at most; more grows as read.
constexpr std::size_t max_reserve = std::size_t{256} << 20;

struct Fault {
  std::string message;
};

// Reads the bytes in order; every read and count is checked against what is left. Faults name
// the place: the part of the header, or the sequence and bin being read.
class Walker {
 public:
  static constexpr std::size_t none = ~std::size_t{0};

  Walker(std::string_view bytes, std::uint64_t data_bytes) noexcept
      : bytes_(bytes), size_(bytes.size()), data_bytes_(data_bytes) {}

  std::size_t left() const noexcept { return bytes_.size(); }
  // The count of bytes read so far.
  std::size_t done() const noexcept { return size_ - bytes_.size(); }
  void at_sequence(std::size_t tid) noexcept {
    tid_ = tid;
    in_bin_ = false;
  }
  void at_bin(std::uint32_t bin) noexcept {
    bin_ = bin;
    in_bin_ = true;
  }
  [[noreturn]] void fail(const std::string& what) const { throw Fault{place() + what}; }

  std::string_view take(std::size_t size, const char* what) {
    if (size > bytes_.size()) fail(std::string(what) + " ends early");
    const std::string_view taken = bytes_.substr(0, size);
    bytes_.remove_prefix(size);
    return taken;
  }
  std::uint32_t u32(const char* what) {
    return little_endian_32(reinterpret_cast<const unsigned char*>(take(4, what).data()));
  }
  std::uint64_t u64(const char* what) {
    const auto* p = reinterpret_cast<const unsigned char*>(take(8, what).data());
    return std::uint64_t{little_endian_32(p)} | std::uint64_t{little_endian_32(p + 4)} << 32U;
  }
  std::int32_t i32(const char* what) { return static_cast<std::int32_t>(u32(what)); }

  // A count of items taking at least `least_bytes` each: not negative, and fitting what is left.
  std::size_t count(const char* what, std::size_t least_bytes) {
    const std::int32_t value = i32(what);
    if (value < 0) fail(std::string(what) + " is negative (" + std::to_string(value) + ")");
    if (static_cast<std::uint64_t>(value) * least_bytes > bytes_.size()) {
      fail(std::string(what) + " " + std::to_string(value) + " exceeds the bytes left");
    }
    return static_cast<std::size_t>(value);
  }

  // A virtual offset: its compressed part must lie within the data file. Damage goes first, so
  // the walk goes on past such an offset.
  std::uint64_t offset(const char* what) {
    const std::uint64_t value = u64(what);
    if ((value >> 16) > data_bytes_ && past_end_.empty()) {
      past_end_ = place() + what + " at byte " + std::to_string(value >> 16) + " of " +
                  std::to_string(data_bytes_);
    }
    return value;
  }
  // The first offset past the data's end; empty if none.
  const std::string& past_end() const noexcept { return past_end_; }

 private:
  std::string place() const {
    if (tid_ == none) return "";
    std::string place = "sequence " + std::to_string(tid_);
    if (in_bin_) place += ", bin " + std::to_string(bin_);
    return place + ": ";
  }

  std::string_view bytes_;
  std::size_t size_;
  std::uint64_t data_bytes_;
  std::size_t tid_ = none;
  std::uint32_t bin_ = 0;
  bool in_bin_ = false;
  std::string past_end_;
};

// NUL-terminated names: exactly `count`, none empty, none twice.
void check_names(const Walker& walker, std::string_view names, std::size_t count,
                 SequenceNames& table) {
  std::vector<std::string_view> listed;
  listed.reserve(count);
  while (!names.empty()) {
    const std::string_view name = names.substr(0, names.find('\0'));
    if (name.empty()) walker.fail("empty sequence name");
    listed.push_back(name);
    names.remove_prefix(name.size() + 1);
  }
  if (listed.size() != count) {
    walker.fail("names block holds " + std::to_string(listed.size()) + " names for " +
                std::to_string(count) + " sequences");
  }
  if (auto twice = table.assign(listed)) walker.fail("sequence " + *twice + " named twice");
}

// The tabix configuration and names, as a .tbi holds them and a .csi in its auxiliary data.
std::string_view tabix_names(Walker& walker) {
  for (int field = 0; field < 6; ++field) walker.i32("tabix configuration");
  return walker.take(walker.count("length of the names", 1), "names block");
}

// The header, the names and the layout of every sequence.
void walk_layout(Walker& walker, IndexLayout& layout) {
  const std::string_view magic = walker.take(4, "magic");
  std::size_t sequences = 0;
  std::string_view names;
  if (magic == std::string_view("TBI\1", 4)) {
    layout.format = Index::Format::tbi;
    layout.named = true;
    layout.min_shift = tabix_min_shift;
    layout.depth = tabix_depth;
    // Each sequence takes at least its bin and interval counts.
    sequences = walker.count("count of sequences", 8);
    names = tabix_names(walker);
  } else if (magic == std::string_view("CSI\1", 4)) {
    layout.format = Index::Format::csi;
    layout.min_shift = walker.i32("min_shift");
    layout.depth = walker.i32("depth");
    if (layout.min_shift < 1 || layout.min_shift > max_min_shift || layout.depth < 1 ||
        layout.depth > max_depth) {
      walker.fail("min_shift " + std::to_string(layout.min_shift) + " and depth " +
                  std::to_string(layout.depth) + " are beyond any binning scheme in use");
    }
    Walker aux(walker.take(walker.count("length of the auxiliary data", 1), "auxiliary data"), 0);
    // A BCF's index holds no names: its sequences are its header's contigs, in their order.
    layout.named = aux.left() != 0;
    if (layout.named) {
      names = tabix_names(aux);
      if (aux.left() != 0) walker.fail("auxiliary data goes on after the names");
    }
    // Each sequence takes at least its bin count.
    sequences = walker.count("count of sequences", 4);
  } else {
    walker.fail("not a tabix or CSI index");
  }
  layout.sequences = sequences;
  if (layout.named) {
    if (!names.empty() && names.back() != '\0') walker.fail("names block not NUL-terminated");
    check_names(walker, names, sequences, layout.names);
  }

  const Binning binning(layout.min_shift, layout.depth);
  const bool csi = layout.format == Index::Format::csi;
  layout.extents.assign(sequences, 0);
  layout.records.assign(sequences, std::nullopt);
  layout.sections.assign(sequences + 1, 0);
  for (std::size_t tid = 0; tid < sequences; ++tid) {
    walker.at_sequence(tid);
    layout.sections[tid] = walker.done();
    // A bin takes at least its number and chunk count, and in .csi its first offset.
    const std::size_t bin_count = walker.count("count of bins", csi ? 16 : 8);
    // A sequence without bins holds no record; one with bins keeps its count in a pseudo-bin.
    if (bin_count == 0) layout.records[tid] = 0;
    std::int64_t& extent = layout.extents[tid];
    for (std::size_t i = 0; i < bin_count; ++i) {
      const std::uint32_t bin = walker.u32("bin");
      walker.at_bin(bin);
      if (csi) walker.take(8, "offset of the first record");
      const std::size_t chunks = walker.count("count of chunks", chunk_bytes);
      if (bin == binning.pseudo() && chunks == 2) {
        walker.take(2 * 8, "statistics");
        layout.records[tid] = walker.u64("count of records");
        walker.take(8, "count of unplaced records");
        continue;
      }
      walker.take(chunks * chunk_bytes, "chunks");
      if (!binning.valid(bin)) {
        extent = std::numeric_limits<std::int64_t>::max();
      } else if (bin != binning.pseudo()) {
        extent = std::max(extent, binning.end(bin));
      }
    }
    walker.at_sequence(tid);
    if (!csi) walker.take(walker.count("count of linear index entries", 8) * 8, "linear index");
  }
  layout.sections[sequences] = walker.done();
  walker.at_sequence(Walker::none);
  // The count of records without coordinates is optional.
  if (walker.left() == 8) walker.u64("count of unplaced records");
  if (walker.left() != 0) walker.fail(std::to_string(walker.left()) + " bytes after the end");
}

// Every field of one sequence's bytes.
void walk_sequence(Walker& walker, const IndexLayout& layout, std::size_t tid) {
  const Binning binning(layout.min_shift, layout.depth);
  const bool csi = layout.format == Index::Format::csi;
  const std::size_t bin_count = walker.count("count of bins", csi ? 16 : 8);
  std::vector<std::uint32_t> bins;
  bins.reserve(bin_count);
  for (std::size_t i = 0; i < bin_count; ++i) {
    const std::uint32_t bin = walker.u32("bin");
    walker.at_bin(bin);
    if (!binning.valid(bin)) walker.fail("no such bin in the scheme");
    bins.push_back(bin);
    if (csi) walker.offset("offset of the first record");
    const std::size_t chunks = walker.count("count of chunks", chunk_bytes);
    if (bin == binning.pseudo()) {
      // The sequence's first and last offsets, then its record counts.
      if (chunks != 2) walker.fail("statistics take 2 chunks");
      const std::uint64_t begin = walker.offset("first offset");
      if (walker.offset("last offset") < begin) walker.fail("last offset before the first");
      walker.u64("count of records");
      walker.u64("count of unplaced records");
      continue;
    }
    std::uint64_t previous = 0;
    for (std::size_t c = 0; c < chunks; ++c) {
      const std::uint64_t begin = walker.offset("chunk start");
      const std::uint64_t end = walker.offset("chunk end");
      if (end < begin) walker.fail("a chunk ends before it begins");
      if (begin < previous) walker.fail("chunks out of order");
      previous = begin;
    }
  }
  walker.at_sequence(tid);
  std::sort(bins.begin(), bins.end());
  if (const auto twice = std::adjacent_find(bins.begin(), bins.end()); twice != bins.end()) {
    walker.fail("bin " + std::to_string(*twice) + " listed twice");
  }
  if (!csi) {
    const std::size_t intervals = walker.count("count of linear index entries", 8);
    for (std::size_t i = 0; i < intervals; ++i) walker.offset("linear index entry");
  }
  // The layout's walk found the same counts: nothing is left.
  if (walker.left() != 0) walker.fail(std::to_string(walker.left()) + " bytes after its end");
}

}  // namespace

std::optional<IndexProblem> check_index_layout(std::string_view bytes, IndexLayout& layout) {
  Walker walker(bytes, std::numeric_limits<std::uint64_t>::max());
  try {
    walk_layout(walker, layout);
  } catch (const Fault& fault) {
    return IndexProblem{IndexProblem::Kind::unreadable, fault.message};
  }
  return std::nullopt;
}

std::optional<IndexProblem> check_index_sequence(std::string_view bytes, const IndexLayout& layout,
                                                 std::size_t tid, std::uint64_t data_bytes) {
  const std::size_t begin = layout.sections[tid];
  Walker walker(bytes.substr(begin, layout.sections[tid + 1] - begin), data_bytes);
  walker.at_sequence(tid);
  try {
    walk_sequence(walker, layout, tid);
  } catch (const Fault& fault) {
    return IndexProblem{IndexProblem::Kind::unreadable, fault.message};
  }
  if (!walker.past_end().empty()) {
    return IndexProblem{IndexProblem::Kind::stale, walker.past_end()};
  }
  return std::nullopt;
}

std::uint64_t index_last_block(std::string_view bytes, const IndexLayout& layout) {
  const Binning binning(layout.min_shift, layout.depth);
  const bool csi = layout.format == Index::Format::csi;
  std::uint64_t last = 0;
  // The layout's walk bounded every count: the reads stay within the bytes.
  Walker walker(bytes.substr(0, layout.sections.back()), std::numeric_limits<std::uint64_t>::max());
  walker.take(layout.sections.front(), "header");
  for (std::size_t tid = 0; tid < layout.sequences; ++tid) {
    const std::size_t bin_count = walker.count("count of bins", csi ? 16 : 8);
    for (std::size_t i = 0; i < bin_count; ++i) {
      const std::uint32_t bin = walker.u32("bin");
      if (csi) walker.take(8, "offset of the first record");
      const std::size_t chunks = walker.count("count of chunks", chunk_bytes);
      for (std::size_t c = 0; c < chunks; ++c) {
        walker.take(8, "chunk start");
        const std::uint64_t end = walker.u64("chunk end");
        if (bin != binning.pseudo()) last = std::max(last, end >> 16);
      }
    }
    if (!csi) walker.take(walker.count("count of linear index entries", 8) * 8, "linear index");
  }
  return last;
}

void name_index_problem(IndexProblem& problem, const std::string& path,
                        const std::string& data_path) {
  problem.message =
      problem.kind == IndexProblem::Kind::stale
          ? "index " + path + " points past the end of " + data_path + " (" + problem.message + ")"
          : "index " + path + " is damaged (" + problem.message + ")";
}

std::optional<IndexProblem> check_index_file(const std::string& file, const std::string& path,
                                             IndexLayout& layout, std::string& bytes) {
  struct Closer {
    void operator()(BGZF* file) const noexcept { bgzf_close(file); }
  };
  std::unique_ptr<BGZF, Closer> index(bgzf_open(file.c_str(), "r"));
  if (!index) {
    return IndexProblem{IndexProblem::Kind::unreadable,
                        "cannot open index " + path + ": " + std::strerror(errno)};
  }
  // htslib's reader accepts a file cut between blocks; the end-of-file block tells.
  if (bgzf_compression(index.get()) != 2 || bgzf_check_EOF(index.get()) != 1) {
    return IndexProblem{IndexProblem::Kind::unreadable,
                        "index " + path + " is truncated or not BGZF-compressed"};
  }
  // Read in place, with room for what indexes usually inflate to: an index of many sequences
  // inflates to megabytes.
  constexpr std::size_t step = std::size_t{1} << 16;
  bytes.clear();
  struct stat status {};
  if (::stat(file.c_str(), &status) == 0 && status.st_size > 0) {
    bytes.reserve(
        std::min<std::size_t>(static_cast<std::size_t>(status.st_size) * 10, max_reserve));
  }
  for (std::size_t size = 0;;) {
    bytes.resize(size + step);
    const ssize_t read = bgzf_read(index.get(), bytes.data() + size, step);
    if (read < 0) {
      return IndexProblem{IndexProblem::Kind::unreadable, "index " + path + " is damaged"};
    }
    size += static_cast<std::size_t>(read);
    if (read == 0) {
      bytes.resize(size);
      break;
    }
  }
  auto problem = check_index_layout(bytes, layout);
  if (problem) name_index_problem(*problem, path, path);
  return problem;
}

}  // namespace varsift::hts
