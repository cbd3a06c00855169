#pragma once

#include <memory>
#include <string>

#include "core/byte_source.hpp"
#include "core/io_error.hpp"

namespace varsift::library {

// Throws the ScanError for a file that could not be opened: an OS error, or damage found in
// its first bytes.
[[noreturn]] void fail_to_open(const core::IoError& error);

// Opens a VCF as it is stored, plain, gzip, BGZF or BCF, told apart by content, local, a URL or
// standard input ("-"), with `threads` inflating BGZF blocks. Throws ScanError for a file that
// cannot be opened.
std::unique_ptr<core::ByteSource> open_input(const std::string& path, int threads);

}  // namespace varsift::library
