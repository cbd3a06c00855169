#include "index.hpp"

#include "bgzf_file.hpp"
#include "binning.hpp"
#include "core/contig_line.hpp"
#include "core/fd_writer.hpp"
#include "index_check.hpp"
#include "little_endian.hpp"
#include "unique_fd.hpp"

#include <htslib/hts.h>
#include <htslib/tbx.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The newer of NAME.tbi and NAME.csi, with its status.
std::optional<std::pair<std::string, struct stat>> existing_newest(const std::string& data_path) {
  std::optional<std::pair<std::string, struct stat>> best;
  for (const char* suffix : {".tbi", ".csi"}) {
    std::string candidate = data_path + suffix;
    if (auto status = stat_of(candidate)) {
      if (!best || older(best->second.st_mtim, status->st_mtim)) {
        best.emplace(std::move(candidate), *status);
      }
    }
  }
  return best;
}

// A file in memory for htslib to read index bytes from, named through /proc: the index is
// inflated once, and what htslib reads cannot have changed since its check. None (-1) where
// memory files or /proc are missing.
UniqueFd memory_file(std::string_view bytes, std::string& name) {
  UniqueFd memory(::memfd_create("varsift-index", MFD_CLOEXEC));
  if (memory.get() < 0 || core::write_all(memory.get(), bytes) != 0) return UniqueFd();
  name = "/proc/self/fd/" + std::to_string(memory.get());
  if (::access(name.c_str(), R_OK) != 0) return UniqueFd();
  return memory;
}

}  // namespace

Index::Index(std::string data_path, std::string file, std::string path, std::string bytes,
             IndexLayout&& layout, std::uint64_t data_bytes)
    : data_path_(std::move(data_path)),
      file_(std::move(file)),
      path_(std::move(path)),
      bytes_(std::move(bytes)),
      layout_(std::make_unique<IndexLayout>(std::move(layout))),
      format_(layout_->format),
      min_shift_(layout_->min_shift),
      depth_(layout_->depth),
      data_bytes_(data_bytes),
      checked_(layout_->sequences, Checked::no) {}

void Index::IndexDestroyer::operator()(hts_idx_t* index) const noexcept { hts_idx_destroy(index); }

Index::Index(Index&& other) noexcept = default;
Index& Index::operator=(Index&& other) noexcept = default;
Index::~Index() = default;

const std::vector<std::string>& Index::sequences() const noexcept { return layout_->names.names(); }

std::optional<Index> Index::load(
    const std::string& data_path, const std::optional<std::string>& index_path,
    IndexProblem& problem_out,
    const std::function<bool(std::uint64_t, std::uint64_t)>& worth_reading) {
  silence_htslib_logging();
  const auto data_status = stat_of(data_path);
  if (!data_status) {
    problem_out = problem(IndexProblem::Kind::missing,
                          "cannot read " + data_path + ": " + std::strerror(errno));
    return std::nullopt;
  }
  std::string path;
  std::optional<struct stat> index_status;
  if (index_path) {
    path = *index_path;
    index_status = stat_of(path);
  } else if (auto found = existing_newest(data_path)) {
    path = std::move(found->first);
    index_status = found->second;
  } else {
    problem_out = problem(IndexProblem::Kind::missing, "no index beside " + data_path);
    return std::nullopt;
  }
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
  const auto data_bytes = static_cast<std::uint64_t>(data_status->st_size);
  if (worth_reading &&
      !worth_reading(static_cast<std::uint64_t>(index_status->st_size), data_bytes)) {
    problem_out = problem(IndexProblem::Kind::outweighed,
                          "index " + path + " costs more to read than a scan of " + data_path);
    return std::nullopt;
  }
  return load_file(data_path, path, path, data_bytes, problem_out);
}

std::optional<Index> Index::load_file(const std::string& data_path, const std::string& file,
                                      std::string path, std::optional<std::uint64_t> data_size,
                                      IndexProblem& problem_out) {
  silence_htslib_logging();
  // htslib's loader trusts the bytes it reads: their layout is checked first, and each
  // sequence before htslib sees it.
  IndexLayout layout;
  std::string bytes;
  if (auto bad = check_index_file(file, path, layout, bytes)) {
    problem_out = std::move(*bad);
    return std::nullopt;
  }
  return Index(data_path, file, std::move(path), std::move(bytes), std::move(layout),
               data_size.value_or(std::numeric_limits<std::uint64_t>::max()));
}

std::uint64_t Index::last_block() const {
  if (!last_block_) last_block_ = index_last_block(bytes_, *layout_);
  return *last_block_;
}

std::optional<std::uint64_t> Index::records(int tid) const {
  if (tid < 0 || static_cast<std::size_t>(tid) >= layout_->records.size()) return std::nullopt;
  std::vector<bool> wanted(layout_->sequences, false);
  wanted[static_cast<std::size_t>(tid)] = true;
  if (check_sequences(wanted)) return std::nullopt;
  return layout_->records[static_cast<std::size_t>(tid)];
}

std::optional<IndexProblem> Index::check_sequences(const std::vector<bool>& wanted) const {
  std::optional<IndexProblem> stale;
  for (std::size_t tid = 0; tid < wanted.size(); ++tid) {
    if (!wanted[tid] || checked_[tid] == Checked::sound) continue;
    std::optional<IndexProblem> problem = check_index_sequence(bytes_, *layout_, tid, data_bytes_);
    checked_[tid] = problem ? Checked::damaged : Checked::sound;
    if (!problem) continue;
    name_index_problem(*problem, path_, data_path_);
    if (problem->kind != IndexProblem::Kind::stale) return problem;
    if (!stale) stale = std::move(problem);
  }
  return stale;
}

template <class Query>
void Index::for_each_query(const QueryPlan& plan, Query&& query) const {
  const std::vector<std::int64_t>& extents = layout_->extents;
  // No record begins at or past a sequence's extent: htslib need not list the bins there,
  // which a deep .csi scheme counts by the billion.
  const auto clipped = [&](int tid, std::int64_t begin, std::int64_t end) {
    end = std::min(end, extents[static_cast<std::size_t>(tid)]);
    if (begin < end) query(tid, begin, end);
  };
  if (plan.everywhere.empty()) {
    // Only the sequences named.
    for (const auto& interval : plan.named) clipped(interval.tid, interval.begin, interval.end);
    return;
  }
  auto named = plan.named.begin();
  std::vector<QueryPlan::Interval> merged;
  for (std::size_t tid = 0; tid < extents.size(); ++tid) {
    merged.assign(plan.everywhere.begin(), plan.everywhere.end());
    for (; named != plan.named.end() && named->tid == static_cast<int>(tid); ++named) {
      merged.push_back(*named);
    }
    if (merged.size() != plan.everywhere.size()) {
      for (auto& interval : merged) interval.tid = 0;
      gather(merged);
    }
    for (const auto& interval : merged) {
      clipped(static_cast<int>(tid), interval.begin, interval.end);
    }
  }
}

bool Index::append_bins(std::string& out, std::size_t tid,
                        std::span<const QueryPlan::Interval> intervals) const {
  // The sequence was checked: every count fits its bytes.
  const std::size_t first = layout_->sections[tid];
  const std::string_view section(bytes_.data() + first, layout_->sections[tid + 1] - first);
  const auto u32 = [&section](std::size_t at) {
    return little_endian_32(reinterpret_cast<const unsigned char*>(section.data() + at));
  };
  const Binning binning(min_shift_, depth_);
  const std::size_t first_offset = format_ == Format::csi ? 8 : 0;
  const std::uint32_t bins = u32(0);
  const std::size_t count_at = out.size();
  out.append(4, '\0');
  std::uint32_t kept = 0;
  std::size_t at = 4;
  for (std::uint32_t i = 0; i < bins; ++i) {
    const std::size_t start = at;
    const std::uint32_t bin = u32(at);
    at += 4 + first_offset;
    at += 4 + std::size_t{u32(at)} * 16;
    // A query reads the bins that meet its interval, and looks for the first and last offsets
    // among their siblings, those of their parents and so on: a bin is kept when its parent
    // meets an interval. Intervals are sorted and disjoint: the first ending past the parent's
    // start is the one that may meet it.
    bool wanted = bin == 0 || bin == binning.pseudo();
    if (!wanted) {
      const std::uint32_t parent = (bin - 1) >> 3;
      const std::int64_t begin = binning.begin(parent);
      const auto meets =
          std::upper_bound(intervals.begin(), intervals.end(), begin,
                           [](std::int64_t value, const QueryPlan::Interval& interval) {
                             return value < interval.end;
                           });
      wanted = meets != intervals.end() && meets->begin < binning.end(parent);
    }
    if (wanted) {
      out.append(section.substr(start, at - start));
      ++kept;
    }
  }
  for (int shift = 0; shift < 32; shift += 8) {
    out[count_at + static_cast<std::size_t>(shift / 8)] = static_cast<char>(kept >> shift & 0xFF);
  }
  out.append(section.substr(at));  // a .tbi's linear index
  return kept == bins;
}

Index::LoadedIndex Index::load(const QueryPlan& plan) const {
  const std::size_t count = layout_->sequences;
  LoadedIndex loaded;
  loaded.position.assign(count, -1);
  // Each sequence queried, with only the bins its intervals meet: htslib's loader then costs
  // what the plan touches, not what the index holds.
  std::string sections;
  bool whole = true;
  std::vector<QueryPlan::Interval> intervals;
  int current = -1;
  int held = 0;
  const auto add = [&] {
    if (current < 0) return;
    whole = append_bins(sections, static_cast<std::size_t>(current), intervals) && whole;
    loaded.position[static_cast<std::size_t>(current)] = held++;
    intervals.clear();
  };
  for_each_query(plan, [&](int tid, std::int64_t begin, std::int64_t end) {
    if (tid != current) {
      add();
      current = tid;
    }
    intervals.push_back({tid, begin, end});
  });
  add();
  whole = whole && static_cast<std::size_t>(held) == count;
  const std::string kept = whole ? std::string() : kept_bytes(loaded.position, sections);
  std::string name;
  const UniqueFd memory =
      memory_file(whole ? std::string_view(bytes_) : std::string_view(kept), name);
  std::vector<bool> read(count, false);
  for (std::size_t tid = 0; tid < count; ++tid) {
    read[tid] = memory.get() < 0 || loaded.position[tid] >= 0;
  }
  // htslib trusts what it reads. Where memory files are missing, it reads the index file
  // itself: every sequence.
  if (auto problem = check_sequences(read)) throw IndexDamaged(std::move(*problem));
  if (memory.get() < 0) {
    for (std::size_t tid = 0; tid < count; ++tid) loaded.position[tid] = static_cast<int>(tid);
  }
  // The bins alone are loaded, not tabix's names (a BCF's index has none): the checked names
  // stand for them.
  loaded.index.reset(
      hts_idx_load3(data_path_.c_str(), memory.get() >= 0 ? name.c_str() : file_.c_str(),
                    format_ == Format::tbi ? HTS_FMT_TBI : HTS_FMT_CSI, HTS_IDX_SILENT_FAIL));
  // The bytes passed their check: htslib failing on them is a failure to allocate.
  if (!loaded.index) throw std::bad_alloc();
  return loaded;
}

std::string Index::kept_bytes(const std::vector<int>& position, std::string_view sections) const {
  const std::size_t count = position.size();
  std::string kept;
  const auto put32 = [&kept](std::size_t value) {
    for (int shift = 0; shift < 32; shift += 8) kept += static_cast<char>(value >> shift & 0xFF);
  };
  const std::vector<std::string>& names = layout_->names.names();
  std::string block;
  const auto held = static_cast<std::size_t>(
      std::count_if(position.begin(), position.end(), [](int at) { return at >= 0; }));
  if (layout_->named) {
    for (std::size_t tid = 0; tid < count; ++tid) {
      if (position[tid] >= 0) block.append(names[tid]).push_back('\0');
    }
  }
  // The tabix configuration: six numbers after the magic and the count of sequences (.tbi),
  // or at the start of the auxiliary data, after the scheme (.csi).
  constexpr std::size_t configuration_bytes = 24;
  if (format_ == Format::tbi) {
    kept.append(bytes_, 0, 4);
    put32(held);
    kept.append(bytes_, 8, configuration_bytes);
  } else if (layout_->named) {
    kept.append(bytes_, 0, 12);
    put32(configuration_bytes + 4 + block.size());
    kept.append(bytes_, 16, configuration_bytes);
  } else {
    kept.append(bytes_, 0, 16);  // the scheme, and no auxiliary data
  }
  if (layout_->named) {
    put32(block.size());
    kept += block;
  }
  if (format_ == Format::csi) put32(held);
  kept += sections;
  kept.append(bytes_, layout_->sections.back());
  return kept;
}

bool Index::named() const noexcept { return layout_->named; }

std::optional<IndexProblem> Index::name_sequences(std::span<const std::string_view> contigs) {
  if (layout_->named) {
    return problem(IndexProblem::Kind::foreign,
                   "index " + path_ + " is a tabix index of VCF text, not a BCF file's");
  }
  if (layout_->sequences > contigs.size()) {
    return problem(IndexProblem::Kind::foreign, "index " + path_ + " holds " +
                                                    std::to_string(layout_->sequences) +
                                                    " sequences, and the header declares only " +
                                                    std::to_string(contigs.size()) + " contigs");
  }
  const std::vector<std::string_view> names(
      contigs.begin(), contigs.begin() + static_cast<std::ptrdiff_t>(layout_->sequences));
  // htslib's dictionary holds each name once.
  if (auto twice = layout_->names.assign(names)) {
    return problem(IndexProblem::Kind::foreign, "the header names contig " + *twice + " twice");
  }
  return std::nullopt;
}

std::optional<IndexProblem> Index::check_header(std::string_view header, bool& declares) const {
  declares = false;
  if (!layout_->named) {
    return problem(IndexProblem::Kind::foreign,
                   "index " + path_ + " is a BCF file's, which names no sequences");
  }
  // Marks the sequences the header declares, by the table of names: no table of our own for a
  // header of many contigs.
  const std::vector<std::string>& sequences = layout_->names.names();
  std::vector<bool> declared(sequences.size());
  // Headers mostly declare the index's sequences in its order: the next one is tried first.
  std::size_t next = 0;
  while (!header.empty()) {
    const std::size_t newline = header.find('\n');
    std::string_view line = header.substr(0, newline);
    header.remove_prefix(newline == std::string_view::npos ? header.size() : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (std::string_view found = core::contig_id(line); !found.empty()) {
      declares = true;
      if (next < sequences.size() && found == sequences[next]) {
        declared[next++] = true;
        continue;
      }
      if (const int tid = layout_->names.find(found); tid >= 0) {
        declared[static_cast<std::size_t>(tid)] = true;
        next = static_cast<std::size_t>(tid) + 1;
      }
    }
  }
  if (!declares) return std::nullopt;
  for (std::size_t tid = 0; tid < sequences.size(); ++tid) {
    if (!declared[tid]) {
      return problem(IndexProblem::Kind::foreign, "index " + path_ + " names sequence " +
                                                      sequences[tid] +
                                                      ", which the header does not declare");
    }
  }
  return std::nullopt;
}

Index::Planner::Planner(const Index& index) : index_(index) {
  plan_.sequences = index.sequences().size();
  const std::vector<std::int64_t>& extents = index.layout_->extents;
  if (!extents.empty()) widest_extent_ = *std::max_element(extents.begin(), extents.end());
}

int Index::Planner::tid_of(std::string_view sequence) const noexcept {
  return index_.layout_->names.find(sequence);
}

void Index::Planner::close(Run& run, std::vector<QueryPlan::Interval>& intervals) const {
  if (!run.open) return;
  const int shift = index_.min_shift_;
  intervals.push_back({static_cast<int>(run.first >> 32),
                       static_cast<std::int64_t>(run.first & 0xFFFFFFFF) << shift,
                       (static_cast<std::int64_t>(run.last & 0xFFFFFFFF) + 1) << shift});
  run.open = false;
}

void Index::Planner::add_site(Run& run, std::vector<std::uint64_t>& out_of_order,
                              std::vector<QueryPlan::Interval>& intervals, std::uint64_t key) {
  // A bin below 2^32 - 1: the next one of a run stays on its sequence.
  if (run.open && key >= run.first && key <= run.last + 1) {
    run.last = std::max(run.last, key);
  } else if (run.open && key < run.first && key >> 32 == run.first >> 32) {
    // Behind the run on its sequence. Another sequence starts a run of its own: selections
    // give sequences in any order, but the sites of each together.
    out_of_order.push_back(key);
  } else {
    close(run, intervals);
    run = {key, key, true};
  }
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
    if (begin >= index_.layout_->extents[static_cast<std::size_t>(tid)]) return;
  } else if (begin >= widest_extent_) {
    return;
  }
  // A site asks for its whole smallest bin: the same bins and linear index entry answer.
  const auto bin = static_cast<std::uint64_t>(begin >> index_.min_shift_);
  if (first == last && bin < (std::uint64_t{1} << 32) - 1) {
    if (sequence.empty()) {
      add_site(everywhere_run_, everywhere_bins_, plan_.everywhere, bin);
    } else {
      add_site(named_run_, named_bins_, plan_.named, static_cast<std::uint64_t>(tid) << 32 | bin);
    }
  } else {
    (sequence.empty() ? plan_.everywhere : plan_.named).push_back({tid, begin, end});
  }
}

QueryPlan Index::Planner::finish() {
  const auto add_runs = [this](Run& run, std::vector<std::uint64_t>& bins,
                               std::vector<QueryPlan::Interval>& intervals) {
    close(run, intervals);
    std::sort(bins.begin(), bins.end());
    for (std::size_t i = 0; i < bins.size();) {
      std::size_t j = i + 1;
      while (j < bins.size() && bins[j] <= bins[j - 1] + 1) ++j;
      run = {bins[i], bins[j - 1], true};
      close(run, intervals);
      i = j;
    }
  };
  add_runs(named_run_, named_bins_, plan_.named);
  add_runs(everywhere_run_, everywhere_bins_, plan_.everywhere);
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

std::vector<bool> Index::touched(const QueryPlan& plan) const {
  const std::vector<std::int64_t>& extents = layout_->extents;
  const std::size_t count = extents.size();
  // No record begins at or past a sequence's extent: htslib need not list the bins there,
  // which a deep .csi scheme counts by the billion.
  std::vector<bool> wanted(count, false);
  for (const auto& interval : plan.named) {
    const auto tid = static_cast<std::size_t>(interval.tid);
    wanted[tid] = wanted[tid] || std::min(interval.end, extents[tid]) > interval.begin;
  }
  if (!plan.everywhere.empty()) {
    // Sorted by begin: a sequence is queried if it reaches past the first.
    for (std::size_t tid = 0; tid < count; ++tid) {
      wanted[tid] = wanted[tid] || extents[tid] > plan.everywhere.front().begin;
    }
  }
  return wanted;
}

std::optional<IndexProblem> Index::check(const QueryPlan& plan) const {
  return check_sequences(touched(plan));
}

std::vector<VirtualRange> Index::ranges(const QueryPlan& plan) const {
  const std::vector<bool> wanted = touched(plan);
  std::vector<VirtualRange> ranges;
  if (std::find(wanted.begin(), wanted.end(), true) == wanted.end()) return ranges;
  if (auto problem = check_sequences(wanted)) throw IndexDamaged(std::move(*problem));
  const LoadedIndex loaded = load(plan);
  for_each_query(plan, [&](int tid, std::int64_t begin, std::int64_t end) {
    IteratorHandle iterator(hts_itr_query(loaded.index.get(),
                                          loaded.position[static_cast<std::size_t>(tid)], begin,
                                          end, tbx_readrec));
    if (!iterator) throw std::bad_alloc();
    for (int i = 0; i < iterator->n_off; ++i) {
      ranges.push_back({iterator->off[i].u, iterator->off[i].v, tid});
    }
  });
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
