#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "index.hpp"

typedef struct hts_idx_t hts_idx_t;

namespace varsift::hts {

// Builds a tabix or CSI index of a BGZF VCF while it is written: after writing each data line,
// the writer passes it with the virtual offset just past it. Records must come sorted by POS
// within each sequence and each sequence in one run, as indexes require.
class IndexWriter {
 public:
  // `data_start`: the virtual offset where the first data line begins.
  IndexWriter(Index::Format format, std::uint64_t data_start);
  IndexWriter(const IndexWriter&) = delete;
  IndexWriter& operator=(const IndexWriter&) = delete;
  ~IndexWriter();

  // Gives an error message when the line cannot be indexed (no POS, unsorted records, POS
  // beyond what the format holds).
  std::optional<std::string> add(std::string_view line, std::uint64_t end_offset);
  // Completes the index at the virtual offset of the data's end (taken once the last data block
  // is flushed) and writes it to `index_path`; gives an error message on failure. Call it once
  // the data file is closed: an index older than its data is taken for a stale one.
  std::optional<std::string> save(std::uint64_t data_end, const std::string& data_path,
                                  const std::string& index_path);

 private:
  hts_idx_t* index_;
  Index::Format format_;
  std::unordered_map<std::string, int> tids_;
  int last_tid_ = -1;
  std::int64_t last_begin_ = 0;
};

// Indexes BGZF output whose blocks are compressed and written after the lines are given, each
// block cut after BGZF_BLOCK_SIZE input bytes (as OutputWriter cuts them): data lines come with
// their span in the uncompressed output, and the compressed size of each block as it is
// written. A record is indexed once the block it starts in has an address.
class StreamIndexer {
 public:
  explicit StreamIndexer(Index::Format format);

  // A data line written from uncompressed offset `begin` to `end` (past its line feed). Error
  // messages as IndexWriter gives them, perhaps for an earlier line.
  std::optional<std::string> add(std::string_view line, std::uint64_t begin, std::uint64_t end);
  std::optional<std::string> block_written(std::uint64_t compressed_size);
  // Once every block of the output, `uncompressed_size` bytes, is written; as IndexWriter::save.
  std::optional<std::string> save(std::uint64_t uncompressed_size, const std::string& data_path,
                                  const std::string& index_path);

 private:
  // The virtual offset of an uncompressed one, once the blocks that name it are written.
  std::optional<std::uint64_t> virtual_offset(std::uint64_t uncompressed, bool final) const;
  // Indexes the records whose offsets are known; `final` once the output is complete.
  std::optional<std::string> drain(bool final);

  Index::Format format_;
  // Where the first data line begins; the output's end when there is none.
  std::optional<std::uint64_t> data_start_;
  std::uint64_t uncompressed_end_ = 0;
  // The address of each block written, then the address of the next.
  std::vector<std::uint64_t> block_addresses_{0};
  std::deque<std::pair<std::string, std::uint64_t>> pending_;
  std::optional<IndexWriter> writer_;
};

// Why a record cannot go into a tabix index; a CSI one holds it.
inline constexpr const char* tbi_range_message =
    "cannot index: a record reaches beyond 2^29, past what a tabix index holds (a .csi index "
    "holds it)";

// Indexes a finished BGZF VCF in a second pass, with `threads` inflating: for output written by
// several compressing threads, whose block offsets are known only once written. Gives an error
// message, naming neither file, on failure.
std::optional<std::string> index_file(const std::string& data_path, const std::string& index_path,
                                      Index::Format format, int threads);

}  // namespace varsift::hts
