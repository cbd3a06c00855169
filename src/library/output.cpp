#include "output.hpp"

#include <cstring>
#include <variant>

#include "hts/bgzf_writer.hpp"
#include "hts/index_writer.hpp"

namespace varsift::library {
namespace {

[[noreturn]] void fail(const core::IoError& error) {
  // The writer reports system errors only.
  throw OutputError(error.is_os() ? error.os_code() : EIO);
}

}  // namespace

OutputError::OutputError(int code) : std::runtime_error(std::strerror(code)), code_(code) {}

// The writer, and the index built from the lines and the blocks it writes.
struct Output::Writer final : hts::BlockObserver {
  std::optional<hts::StreamIndexer> indexer;
  // The first reason the output cannot be indexed, met while a block was written.
  std::optional<std::string> problem;
  std::uint64_t written = 0;
  bool finished = false;
  // Last, so that it goes first, before the observer it points to.
  std::optional<hts::OutputWriter> writer;

  void block_written(std::uint64_t compressed_size) override {
    if (indexer && !problem) problem = indexer->block_written(compressed_size);
  }
  void check() {
    if (problem) throw IndexingError(*problem);
  }
};

Output::Output(int fd, bool compress, int threads, std::optional<hts::Index::Format> index)
    : writer_(std::make_unique<Writer>()) {
  if (index) {
    // An index points into BGZF blocks.
    if (!compress) throw IndexingError("cannot index output that is not BGZF-compressed");
    writer_->indexer.emplace(*index);
  }
  hts::WriterResult opened =
      hts::OutputWriter::open(fd, {compress ? hts::OutputFormat::bgzf : hts::OutputFormat::plain,
                                   -1, threads, index ? writer_.get() : nullptr});
  if (const auto* error = std::get_if<core::IoError>(&opened)) fail(*error);
  writer_->writer.emplace(std::get<hts::OutputWriter>(std::move(opened)));
}

Output::~Output() = default;

void Output::write_line(std::string_view line, bool record) {
  Writer& w = *writer_;
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  if (!w.writer->write(line, error) || !w.writer->write("\n", error)) fail(error);
  const std::uint64_t begin = w.written;
  w.written += line.size() + 1;
  if (record && w.indexer && !w.problem) w.problem = w.indexer->add(line, begin, w.written);
  w.check();
}

void Output::finish() {
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  if (!writer_->writer->finish(error)) fail(error);
  writer_->finished = true;
  writer_->check();
}

void Output::save_index(const std::string& data_path, const std::string& index_path) {
  Writer& w = *writer_;
  if (!w.indexer || !w.finished) throw IndexingError("cannot index: the output is not finished");
  w.check();
  if (auto problem = w.indexer->save(w.written, data_path, index_path)) {
    throw IndexingError(*problem);
  }
}

}  // namespace varsift::library
