#include "input.hpp"

#include <variant>

#include "bcf_input.hpp"
#include "hts/bcf_reader.hpp"
#include "hts/bgzf_source.hpp"
#include "scan_error.hpp"

namespace varsift::library {

void fail_to_open(const core::IoError& error) {
  if (error.is_os()) throw ScanError::os(error.os_code(), {});
  throw ScanError::damaged(error, LinePlace::line(1));
}

std::unique_ptr<core::ByteSource> open_input(const std::string& path, int threads) {
  if (hts::is_bcf(path)) return open_bcf(path, threads);
  return open_text_input(path, threads);
}

std::unique_ptr<core::ByteSource> open_text_input(const std::string& path, int threads) {
  hts::SourceResult opened = hts::BgzfSource::open(path, threads);
  if (auto* error = std::get_if<core::IoError>(&opened)) fail_to_open(*error);
  return std::make_unique<hts::BgzfSource>(std::get<hts::BgzfSource>(std::move(opened)));
}

}  // namespace varsift::library
