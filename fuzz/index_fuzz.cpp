// Takes the input as the inflated bytes of a .tbi or .csi index of a 1 MB data file and walks
// their layout, then checks each sequence. Bytes whose layout passes are written as a BGZF
// index beside the data and loaded; a query of the first sequence alone has htslib load only
// that one (when its check passes), then a query of every sequence all of them: damage the
// checks miss crashes here.

#include <fcntl.h>
#include <htslib/bgzf.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "hts/index.hpp"
#include "hts/index_check.hpp"

namespace {

using namespace varsift::hts;

constexpr std::uint64_t data_bytes = 1 << 20;

// A scratch directory with a data file older than any index written after it; removed at exit.
struct Scratch {
  std::string directory;
  std::string data;
  std::string index;

  Scratch() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/index_fuzz.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    directory = pattern;
    data = directory + "/data.vcf.gz";
    index = data + ".tbi";
    const int fd = ::open(data.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(data_bytes)) != 0) std::abort();
    ::close(fd);
    struct timeval past[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    if (::utimes(data.c_str(), past) != 0) std::abort();
  }
  ~Scratch() {
    ::unlink(index.c_str());
    ::unlink(data.c_str());
    ::rmdir(directory.c_str());
  }
};

void write_bgzf(const std::string& path, const std::uint8_t* data, std::size_t size) {
  BGZF* file = bgzf_open(path.c_str(), "w");
  if (file == nullptr) std::abort();
  if (bgzf_write(file, data, size) < 0 || bgzf_close(file) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  IndexLayout layout;
  if (check_index_layout(bytes, layout)) return 0;
  for (std::size_t tid = 0; tid < layout.sequences; ++tid) {
    check_index_sequence(bytes, layout, tid, data_bytes);
  }

  write_bgzf(scratch.index, data, size);
  IndexProblem problem;
  const std::optional<Index> index = Index::load(scratch.data, scratch.index, problem);
  if (!index) return 0;
  // A site and the whole of each sequence, then a site on every sequence.
  std::vector<Region> first;
  std::vector<Region> regions;
  for (const std::string& sequence : index->sequences()) {
    if (first.empty()) first.push_back({sequence, 1, ~std::uint64_t{0}});
    regions.push_back({sequence, 20'000, 20'000});
    regions.push_back({sequence, 1, ~std::uint64_t{0}});
  }
  regions.push_back({"", 70, 70});
  for (const std::vector<Region>* query : {&first, &regions}) {
    const QueryPlan plan = index->plan(*query);
    const bool damaged = index->check(plan).has_value();
    try {
      for (const VirtualRange& range : index->ranges(plan)) {
        if (damaged || range.end < range.begin || (range.end >> 16) > data_bytes) std::abort();
      }
    } catch (const IndexDamaged&) {
      if (!damaged) std::abort();
    }
  }
  index->last_block();
  for (std::size_t tid = 0; tid < index->sequences().size(); ++tid) {
    index->records(static_cast<int>(tid));
  }
  return 0;
}
