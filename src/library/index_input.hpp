#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/byte_source.hpp"
#include "hts/bgzf_source.hpp"
#include "hts/index.hpp"
#include "hts/index_cost.hpp"
#include "selection.hpp"

namespace varsift::library {

// How a selection may use an index of a BGZF input.
struct IndexOptions {
  enum class Mode : unsigned char {
    automatic,  // follow a usable index when it costs less than a scan
    force,      // follow the index, or fail
    never,      // always scan
  };
  Mode mode = Mode::automatic;
  // The index file; none: NAME.tbi or NAME.csi beside the input.
  std::optional<std::string> path;
  // Inflated bytes of the blocks that the check of the index's ranges keeps for the reading,
  // which takes them from memory. Ranges past them are checked as the reading comes to them
  // where a failed check is an error (forced or named); otherwise all are checked first, and
  // the blocks past these are read again. None: 64 MiB over a URL, where reading a block again
  // is another request, and nothing for a local file, where copying a block costs about what
  // inflating it does (a forced index is then checked a range at a time, and the reading
  // takes the block the check left loaded).
  std::optional<std::size_t> kept_bytes = std::nullopt;
};

// An index the caller asked for cannot be used: forced, or named explicitly.
class IndexUnusable : public std::runtime_error {
 public:
  IndexUnusable(hts::IndexProblem problem, std::string index_path)
      : std::runtime_error(problem.message),
        problem_(std::move(problem)),
        index_path_(std::move(index_path)) {}
  const hts::IndexProblem& problem() const noexcept { return problem_; }
  // The index file in question; empty when none was named or found.
  const std::string& index_path() const noexcept { return index_path_; }

 private:
  hts::IndexProblem problem_;
  std::string index_path_;
};

struct IndexChoice {
  // The header and the lines that may match, when the index is followed; null: scan.
  std::unique_ptr<core::ByteSource> source;
  // Why an index beside the input was not followed although present (stale, damaged, foreign);
  // empty otherwise. The caller shows it as a warning.
  std::string warning;
  hts::ReadCost cost;
  // The sequences of an index that fits the data's header, whether followed or not, when the
  // header has no ##contig lines: they then name the chromosomes. Empty otherwise.
  std::vector<std::string> sequences;
  // Whether the input was found to be BCF, when it was opened to find out (for an index):
  // BCF has its own reading, which follows its own index.
  std::optional<bool> bcf;
  // An input found to be BCF, as opened to find out (for index code, at its start): its index
  // is followed through it rather than another opening.
  std::optional<hts::BgzfSource> bcf_file;
};

// Inflated bytes of the blocks that the check of an index's ranges keeps for the reading (see
// IndexOptions::kept_bytes), for a URL when `remote`.
std::size_t kept_for_check(const IndexOptions& options, bool remote) noexcept;

// Loads the index of `path` that `options` name or find: a URL's from its server; a local
// file's, except one found beside it in automatic mode that costs more to read than a scan.
// Gives the data's size in `file_bytes` (for a URL: what the index covers), and none with
// `problem` set when there is no index to use.
std::optional<hts::Index> load_index(const std::string& path, const IndexOptions& options,
                                     int threads, hts::IndexProblem& problem,
                                     std::uint64_t& file_bytes);

// Decides whether to follow an index for this selection, and opens the indexed input if so.
// A stale, damaged or foreign index found beside the input in automatic mode gives a warning
// and a scan; one that is forced or named explicitly throws IndexUnusable. Never gives an
// index that disagrees with the file's header or size. An input that cannot be opened or read
// is left to the scan, which reports it as usual.
IndexChoice choose_index(const std::string& path, const Selection& selection,
                         const IndexOptions& options, int threads);

// Opens the input for a selection: the indexed input when choose_index takes it, else
// open_input's. Gives choose_index's warning in `warning` and its index's sequences in
// `sequences`. Throws as both do.
std::unique_ptr<core::ByteSource> open_selected_input(const std::string& path,
                                                      const Selection& selection,
                                                      const IndexOptions& options, int threads,
                                                      std::string& warning,
                                                      std::vector<std::string>& sequences);

}  // namespace varsift::library
