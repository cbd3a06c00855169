#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

typedef struct hts_idx_t hts_idx_t;

namespace varsift::hts {

// Why an index cannot be used. The caller decides whether that is an error or a reason to scan.
struct IndexProblem {
  enum class Kind : unsigned char {
    missing,     // no index file
    unreadable,  // cannot be opened, truncated or malformed
    stale,       // older than its data file, or pointing past the data's end
    foreign,     // names sequences the data's header does not declare
    outweighed,  // larger than the caller would read: a scan of the data costs less
  };
  Kind kind = Kind::missing;
  std::string message;
};

// A sequence that a query touches is damaged, or points past the data's end: the index cannot
// answer the query. Sequences no query touches are never checked, nor handed to htslib.
class IndexDamaged : public std::runtime_error {
 public:
  explicit IndexDamaged(IndexProblem problem)
      : std::runtime_error(problem.message), problem_(std::move(problem)) {}
  const IndexProblem& problem() const noexcept { return problem_; }

 private:
  IndexProblem problem_;
};

// Records to look up, by POS, 1-based and inclusive; an empty sequence means every sequence the
// index names.
struct Region {
  std::string sequence;
  std::uint64_t first = 0;
  std::uint64_t last = 0;
};

// A stretch of the data file between two BGZF virtual offsets, [begin, end).
struct VirtualRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  // The sequence, by its position in the index, whose records the index says start at
  // `begin`; -1 when not known.
  int sequence = -1;
  friend bool operator==(const VirtualRange&, const VirtualRange&) = default;
};

// Regions resolved to the sequences of an index and gathered per smallest bin, so that
// neighbouring sites cost one index query. Cheap to make: a cost estimate counts its queries
// before any runs. Intervals on every sequence are kept once, not once per sequence.
struct QueryPlan {
  struct Interval {
    int tid;             // unused in `everywhere`
    std::int64_t begin;  // 0-based, half-open, as the index stores coordinates
    std::int64_t end;
  };
  std::vector<Interval> named;       // by tid, then begin; disjoint within a tid
  std::vector<Interval> everywhere;  // by begin; disjoint
  std::size_t sequences = 0;

  // The index queries it takes at most.
  std::size_t queries() const noexcept { return named.size() + everywhere.size() * sequences; }
};

struct IndexLayout;

// A tabix (.tbi) or coordinate-sorted (.csi) index of a BGZF VCF, owned: its bytes, inflated,
// their layout walked. htslib loads them only to answer a plan, and then only the sequences
// the plan touches, each checked in full the first time, with only the bins its intervals
// meet: loading or checking the bins of 10^5 sequences, or the thousands of one, costs more
// than a query needs. Not for several threads.
class Index {
 public:
  enum class Format : unsigned char { tbi, csi };

  // Loads the index of `data_path`: from `index_path` when given, else NAME.tbi or NAME.csi
  // beside the data (the newer if both exist). Checks that the index is no older than the data
  // file and that its layout is sound; the sequences a query touches are checked (sound, and
  // pointing within the data) before htslib reads them.
  // With `worth_reading`, an index is read only if it holds for the index file's size and
  // the data file's, in bytes; otherwise the problem is `outweighed`.
  static std::optional<Index> load(
      const std::string& data_path, const std::optional<std::string>& index_path,
      IndexProblem& problem,
      const std::function<bool(std::uint64_t, std::uint64_t)>& worth_reading = {});

  // Loads the index file `file` of data of `data_size` bytes (none: unknown), with every check
  // of load() but its age; problems and path() name it `path`.
  static std::optional<Index> load_file(const std::string& data_path, const std::string& file,
                                        std::string path, std::optional<std::uint64_t> data_size,
                                        IndexProblem& problem);
  // The compressed offset of the last block that holds an indexed record (found on the first
  // call, from every sequence's chunks).
  std::uint64_t last_block() const;
  // The data file's size, in bytes, as load() found it; the largest value when unknown.
  std::uint64_t data_bytes() const noexcept { return data_bytes_; }

  Index(Index&& other) noexcept;
  Index& operator=(Index&& other) noexcept;
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;
  ~Index();

  Format format() const noexcept { return format_; }
  const std::string& path() const noexcept { return path_; }
  // Bits of the smallest bin and levels below the root bin, named as the formats name them.
  int min_shift() const noexcept { return min_shift_; }
  int depth() const noexcept { return depth_; }

  const std::vector<std::string>& sequences() const noexcept;
  // Records the index counts on a sequence, by its position in sequences(): 0 for one without
  // bins; nullopt when the index keeps no count, or the sequence is damaged.
  std::optional<std::uint64_t> records(int tid) const;

  // Whether the index names its sequences, as tabix's do; a BCF's .csi does not.
  bool named() const noexcept;
  // Names the sequences of an index that does not (a BCF's) by the header's contigs, in the
  // dictionary's order, as its sequence ids are. Gives a problem when the index names its own
  // or holds more sequences than `contigs`.
  std::optional<IndexProblem> name_sequences(std::span<const std::string_view> contigs);

  // Gives a problem when the header (its bytes, lines ending in \n) declares sequences
  // (##contig lines) and the index names one it does not declare: the index then belongs to
  // another file. `declares` tells whether the header has any ##contig line.
  std::optional<IndexProblem> check_header(std::string_view header, bool& declares) const;

  // Builds a plan one region at a time without copying names. Sites in order (as selections
  // give them, sorted within a sequence) extend a run of smallest bins as they come, so that a
  // million of them cost a pass and no list; sites out of order are kept as plain numbers,
  // which sort quickly even by the million. What lies past the last bin holding a record of
  // its sequence is left out: no record can be there.
  class Planner {
   public:
    explicit Planner(const Index& index);
    // Adds POS first to last, 1-based and inclusive, on a sequence ("": every sequence).
    void add(std::string_view sequence, std::uint64_t first, std::uint64_t last);
    QueryPlan finish();

   private:
    // A run of smallest bins, as tid << 32 | bin, first to last.
    struct Run {
      std::uint64_t first = 0;
      std::uint64_t last = 0;
      bool open = false;
    };
    int tid_of(std::string_view sequence) const noexcept;
    void add_site(Run& run, std::vector<std::uint64_t>& out_of_order,
                  std::vector<QueryPlan::Interval>& intervals, std::uint64_t key);
    void close(Run& run, std::vector<QueryPlan::Interval>& intervals) const;

    const Index& index_;
    std::string last_name_;
    int last_tid_ = -1;
    bool last_valid_ = false;
    std::int64_t widest_extent_ = 0;  // of every sequence
    Run named_run_;
    Run everywhere_run_;
    std::vector<std::uint64_t> named_bins_;  // sites out of order: tid << 32 | smallest bin
    std::vector<std::uint64_t> everywhere_bins_;
    QueryPlan plan_;
  };

  QueryPlan plan(std::span<const Region> regions) const;
  // Checks the sequences the plan touches, once each: a problem when one is damaged or points
  // past the data's end.
  std::optional<IndexProblem> check(const QueryPlan& plan) const;
  // The sorted, disjoint ranges that hold every record the plan may match. Throws
  // IndexDamaged where check() gives a problem.
  std::vector<VirtualRange> ranges(const QueryPlan& plan) const;

 private:
  Index(std::string data_path, std::string file, std::string path, std::string bytes,
        IndexLayout&& layout, std::uint64_t data_bytes);
  // The sequences a plan queries, by position.
  std::vector<bool> touched(const QueryPlan& plan) const;
  // Checks the sequences marked, once each; the first problem, damage before offsets past
  // the end.
  std::optional<IndexProblem> check_sequences(const std::vector<bool>& wanted) const;
  // Sorts intervals and joins those that reach into the same or the next smallest bin: they
  // share their index chunks.
  void gather(std::vector<QueryPlan::Interval>& intervals) const;
  // Calls query(tid, begin, end) for each interval the plan queries, by sequence in order,
  // sorted and disjoint within one, clipped to the sequence's extent.
  template <class Query>
  void for_each_query(const QueryPlan& plan, Query&& query) const;

  struct IndexDestroyer {
    void operator()(hts_idx_t* index) const noexcept;
  };
  // htslib's index of some sequences, and each sequence's position there (-1: not held).
  struct LoadedIndex {
    std::unique_ptr<hts_idx_t, IndexDestroyer> index;
    std::vector<int> position;
  };
  // htslib's index of the sequences the plan queries, checked first, each with only the bins
  // its intervals meet.
  LoadedIndex load(const QueryPlan& plan) const;
  // Appends sequence `tid`'s bytes with only the bins that meet `intervals` (sorted,
  // disjoint) and the statistics; gives whether every bin was kept.
  bool append_bins(std::string& out, std::size_t tid,
                   std::span<const QueryPlan::Interval> intervals) const;
  // The bytes of an index of the sequences held in `position`, whose bins are `sections`.
  std::string kept_bytes(const std::vector<int>& position, std::string_view sections) const;

  std::string data_path_;
  std::string file_;
  std::string path_;
  std::string bytes_;
  std::unique_ptr<IndexLayout> layout_;
  Format format_;
  int min_shift_;
  int depth_;
  std::uint64_t data_bytes_;  // the data file's size; the largest value when unknown
  // By sequence: not checked yet, sound, or damaged.
  enum class Checked : unsigned char { no, sound, damaged };
  mutable std::vector<Checked> checked_;
  mutable std::optional<std::uint64_t> last_block_;
};

}  // namespace varsift::hts
