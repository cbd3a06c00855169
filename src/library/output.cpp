#include "output.hpp"

#include <cstring>
#include <variant>

#include "hts/bgzf_writer.hpp"

namespace varsift::library {
namespace {

[[noreturn]] void fail(const core::IoError& error) {
  // The writer reports system errors only.
  throw OutputError(error.is_os() ? error.os_code() : EIO);
}

}  // namespace

OutputError::OutputError(int code) : std::runtime_error(std::strerror(code)), code_(code) {}

struct Output::Writer {
  hts::OutputWriter writer;
};

Output::Output(int fd, bool compress, int threads) {
  hts::WriterResult opened = hts::OutputWriter::open(
      fd, {compress ? hts::OutputFormat::bgzf : hts::OutputFormat::plain, -1, threads});
  if (const auto* error = std::get_if<core::IoError>(&opened)) fail(*error);
  writer_ = std::make_unique<Writer>(Writer{std::get<hts::OutputWriter>(std::move(opened))});
}

Output::~Output() = default;

void Output::write_line(std::string_view line) {
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  if (!writer_->writer.write(line, error) || !writer_->writer.write("\n", error)) fail(error);
}

void Output::finish() {
  core::IoError error = core::IoError::bare(core::ErrorKind::Other);
  if (!writer_->writer.finish(error)) fail(error);
}

}  // namespace varsift::library
