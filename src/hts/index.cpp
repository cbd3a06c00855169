#include "index.hpp"

#include "bgzf_file.hpp"
#include "core/contig_line.hpp"
#include "index_check.hpp"

#include <htslib/hts.h>
#include <htslib/tbx.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

namespace varsift::hts {
namespace {

// The largest coordinate a query may name.
constexpr std::int64_t max_coordinate = std::numeric_limits<std::int64_t>::max() / 2;

struct IteratorDestroyer {
  void operator()(hts_itr_t* iterator) const noexcept { hts_itr_destroy(iterator); }
};
using IteratorHandle = std::unique_ptr<hts_itr_t, IteratorDestroyer>;

struct TbxDestroyer {
  void operator()(tbx_t* tbx) const noexcept { tbx_destroy(tbx); }
};

IndexProblem problem(IndexProblem::Kind kind, std::string message) {
  return IndexProblem{kind, std::move(message)};
}

std::optional<struct stat> stat_of(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return status;
}

bool older(const struct timespec& a, const struct timespec& b) noexcept {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

std::optional<std::string> existing_newest(const std::string& data_path) {
  std::optional<std::string> best;
  struct timespec best_time {};
  for (const char* suffix : {".tbi", ".csi"}) {
    std::string candidate = data_path + suffix;
    if (auto status = stat_of(candidate)) {
      if (!best || older(best_time, status->st_mtim)) {
        best = std::move(candidate);
        best_time = status->st_mtim;
      }
    }
  }
  return best;
}

}  // namespace

Index::Index(tbx_t* tbx, std::string path, IndexLayout&& layout)
    : tbx_(tbx),
      format_(layout.format),
      path_(std::move(path)),
      min_shift_(layout.min_shift),
      depth_(layout.depth),
      last_block_(layout.last_block),
      extents_(std::move(layout.extents)) {
  int count = 0;
  std::unique_ptr<const char*, decltype(&std::free)> names(tbx_seqnames(tbx_, &count), &std::free);
  if (count > 0 && !names) throw std::bad_alloc();
  sequences_.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) sequences_.emplace_back(names.get()[i]);
}

Index::Index(Index&& other) noexcept
    : tbx_(std::exchange(other.tbx_, nullptr)),
      format_(other.format_),
      path_(std::move(other.path_)),
      min_shift_(other.min_shift_),
      depth_(other.depth_),
      last_block_(other.last_block_),
      extents_(std::move(other.extents_)),
      sequences_(std::move(other.sequences_)) {}

Index& Index::operator=(Index&& other) noexcept {
  if (this != &other) {
    if (tbx_ != nullptr) tbx_destroy(tbx_);
    tbx_ = std::exchange(other.tbx_, nullptr);
    format_ = other.format_;
    path_ = std::move(other.path_);
    min_shift_ = other.min_shift_;
    depth_ = other.depth_;
    last_block_ = other.last_block_;
    extents_ = std::move(other.extents_);
    sequences_ = std::move(other.sequences_);
  }
  return *this;
}

Index::~Index() {
  if (tbx_ != nullptr) tbx_destroy(tbx_);
}

std::optional<Index> Index::load(const std::string& data_path,
                                 const std::optional<std::string>& index_path,
                                 IndexProblem& problem_out) {
  silence_htslib_logging();
  const auto data_status = stat_of(data_path);
  if (!data_status) {
    problem_out = problem(IndexProblem::Kind::missing,
                          "cannot read " + data_path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::string path;
  if (index_path) {
    path = *index_path;
  } else if (auto found = existing_newest(data_path)) {
    path = std::move(*found);
  } else {
    problem_out = problem(IndexProblem::Kind::missing, "no index beside " + data_path);
    return std::nullopt;
  }
  const auto index_status = stat_of(path);
  if (!index_status) {
    problem_out =
        problem(errno == ENOENT ? IndexProblem::Kind::missing : IndexProblem::Kind::unreadable,
                "cannot read index " + path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  // Opening a FIFO would wait for a writer, and neither a FIFO nor a device can be positioned.
  if (!S_ISREG(data_status->st_mode)) {
    problem_out = problem(IndexProblem::Kind::missing, data_path + " is not a regular file");
    return std::nullopt;
  }
  if (!S_ISREG(index_status->st_mode)) {
    problem_out =
        problem(IndexProblem::Kind::unreadable, "index " + path + " is not a regular file");
    return std::nullopt;
  }
  if (older(index_status->st_mtim, data_status->st_mtim)) {
    problem_out = problem(IndexProblem::Kind::stale,
                          "index " + path + " is older than its data file " + data_path);
    return std::nullopt;
  }
  return load_file(data_path, path, path, static_cast<std::uint64_t>(data_status->st_size),
                   problem_out);
}

std::optional<Index> Index::load_file(const std::string& data_path, const std::string& file,
                                      std::string path, std::optional<std::uint64_t> data_size,
                                      IndexProblem& problem_out) {
  silence_htslib_logging();
  // htslib's loader trusts the bytes it reads: they are checked first.
  IndexLayout layout;
  if (auto bad = check_index_file(file, path, data_path, data_size, layout)) {
    problem_out = std::move(*bad);
    return std::nullopt;
  }
  std::unique_ptr<tbx_t, TbxDestroyer> tbx(
      tbx_index_load3(data_path.c_str(), file.c_str(), HTS_IDX_SILENT_FAIL));
  if (!tbx) {
    problem_out = problem(IndexProblem::Kind::unreadable,
                          "index " + path + " is malformed or not a tabix-style index");
    return std::nullopt;
  }
  return Index(tbx.release(), std::move(path), std::move(layout));
}

std::optional<std::uint64_t> Index::records(int tid) const noexcept {
  std::uint64_t mapped = 0;
  std::uint64_t unmapped = 0;
  if (hts_idx_get_stat(tbx_->idx, tid, &mapped, &unmapped) != 0) return std::nullopt;
  return mapped;
}

std::optional<IndexProblem> Index::check_header(std::span<const std::string> header_lines) const {
  // Marks the sequences the header declares, by htslib's table of names: no table of our own
  // for a header of many contigs.
  std::vector<bool> declared(sequences_.size());
  bool any = false;
  std::string id;
  for (const std::string& line : header_lines) {
    if (std::string_view found = core::contig_id(line); !found.empty()) {
      any = true;
      id.assign(found);
      if (id.find('\0') != std::string::npos) continue;
      if (const int tid = tbx_name2id(tbx_, id.c_str()); tid >= 0) {
        declared[static_cast<std::size_t>(tid)] = true;
      }
    }
  }
  if (!any) return std::nullopt;
  for (std::size_t tid = 0; tid < sequences_.size(); ++tid) {
    if (!declared[tid]) {
      return problem(IndexProblem::Kind::foreign, "index " + path_ + " names sequence " +
                                                      sequences_[tid] +
                                                      ", which the header does not declare");
    }
  }
  return std::nullopt;
}

Index::Planner::Planner(const Index& index) : index_(index) {
  plan_.sequences = index.sequences_.size();
}

int Index::Planner::tid_of(const std::string& sequence) const noexcept {
  // htslib's own table of names, made at load: no table per plan. A name holding NUL is none.
  if (sequence.find('\0') != std::string::npos) return -1;
  return tbx_name2id(index_.tbx_, sequence.c_str());
}

void Index::Planner::add(std::string_view sequence, std::uint64_t first, std::uint64_t last) {
  if (last < first) return;
  const auto clamp = [](std::uint64_t value) {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(value, max_coordinate));
  };
  // The index keeps a record at POS p from p - 1; POS 0 is kept from 0 as well.
  const std::int64_t begin = first == 0 ? 0 : clamp(first - 1);
  const std::int64_t end = std::max(clamp(last), begin + 1);
  int tid = 0;
  if (!sequence.empty()) {
    if (!last_valid_ || sequence != last_name_) {
      last_name_.assign(sequence);
      last_tid_ = tid_of(last_name_);
      last_valid_ = true;
    }
    if (last_tid_ < 0) return;  // the index holds no record there
    tid = last_tid_;
  }
  // A site asks for its whole smallest bin: the same bins and linear index entry answer.
  const auto bin = static_cast<std::uint64_t>(begin >> index_.min_shift_);
  if (first == last && bin < (std::uint64_t{1} << 32) - 1) {
    if (sequence.empty()) {
      everywhere_bins_.push_back(bin);
    } else {
      named_bins_.push_back(static_cast<std::uint64_t>(tid) << 32 | bin);
    }
  } else {
    (sequence.empty() ? plan_.everywhere : plan_.named).push_back({tid, begin, end});
  }
}

QueryPlan Index::Planner::finish() {
  const int shift = index_.min_shift_;
  const auto add_runs = [shift](std::vector<std::uint64_t>& bins,
                                std::vector<QueryPlan::Interval>& intervals) {
    std::sort(bins.begin(), bins.end());
    for (std::size_t i = 0; i < bins.size();) {
      std::size_t j = i + 1;
      while (j < bins.size() && bins[j] <= bins[j - 1] + 1) ++j;
      const auto tid = static_cast<int>(bins[i] >> 32);
      const auto begin = static_cast<std::int64_t>(bins[i] & 0xFFFFFFFF) << shift;
      const auto end = (static_cast<std::int64_t>(bins[j - 1] & 0xFFFFFFFF) + 1) << shift;
      intervals.push_back({tid, begin, end});
      i = j;
    }
  };
  add_runs(named_bins_, plan_.named);
  add_runs(everywhere_bins_, plan_.everywhere);
  index_.gather(plan_.named);
  index_.gather(plan_.everywhere);
  return std::move(plan_);
}

QueryPlan Index::plan(std::span<const Region> regions) const {
  Planner planner(*this);
  for (const Region& region : regions) planner.add(region.sequence, region.first, region.last);
  return planner.finish();
}

void Index::gather(std::vector<QueryPlan::Interval>& intervals) const {
  std::sort(intervals.begin(), intervals.end(), [](const auto& a, const auto& b) {
    return a.tid != b.tid ? a.tid < b.tid : a.begin < b.begin;
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < intervals.size(); ++i) {
    if (kept != 0) {
      auto& last = intervals[kept - 1];
      if (last.tid == intervals[i].tid &&
          (intervals[i].begin >> min_shift_) <= ((last.end - 1) >> min_shift_) + 1) {
        last.end = std::max(last.end, intervals[i].end);
        continue;
      }
    }
    intervals[kept++] = intervals[i];
  }
  intervals.resize(kept);
}

std::vector<VirtualRange> Index::ranges(const QueryPlan& plan) const {
  std::vector<VirtualRange> ranges;
  const auto query = [&](int tid, std::int64_t begin, std::int64_t end) {
    // No record begins at or past the sequence's extent: htslib need not list the bins there,
    // which a deep .csi scheme counts by the billion.
    end = std::min(end, extents_[static_cast<std::size_t>(tid)]);
    if (begin >= end) return;
    IteratorHandle iterator(hts_itr_query(tbx_->idx, tid, begin, end, tbx_readrec));
    if (!iterator) throw std::bad_alloc();
    for (int i = 0; i < iterator->n_off; ++i) {
      ranges.push_back({iterator->off[i].u, iterator->off[i].v, tid});
    }
  };
  if (plan.everywhere.empty()) {
    // Only the sequences named.
    for (const auto& interval : plan.named) query(interval.tid, interval.begin, interval.end);
  } else {
    auto named = plan.named.begin();
    std::vector<QueryPlan::Interval> merged;
    for (std::size_t tid = 0; tid < sequences_.size(); ++tid) {
      merged.assign(plan.everywhere.begin(), plan.everywhere.end());
      for (; named != plan.named.end() && named->tid == static_cast<int>(tid); ++named) {
        merged.push_back(*named);
      }
      if (merged.size() != plan.everywhere.size()) {
        for (auto& interval : merged) interval.tid = 0;
        gather(merged);
      }
      for (const auto& interval : merged) {
        query(static_cast<int>(tid), interval.begin, interval.end);
      }
    }
  }
  std::sort(ranges.begin(), ranges.end(),
            [](const VirtualRange& a, const VirtualRange& b) { return a.begin < b.begin; });
  std::size_t kept = 0;
  for (const VirtualRange& range : ranges) {
    if (range.end <= range.begin) continue;
    if (kept != 0 && range.begin <= ranges[kept - 1].end) {
      ranges[kept - 1].end = std::max(ranges[kept - 1].end, range.end);
    } else {
      ranges[kept++] = range;
    }
  }
  ranges.resize(kept);
  return ranges;
}

}  // namespace varsift::hts
