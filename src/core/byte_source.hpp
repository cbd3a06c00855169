#pragma once

#include <cstdint>
#include <string_view>

#include "io_error.hpp"

namespace varsift::core {

// Where a LineReader gets its bytes: a plain file read in small pieces for the module, or a
// decompressing source for the library. The reader splits whatever it is given into lines.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Makes the next bytes of the input available in `bytes`, valid until the next call, which
  // the reader makes only once it has used them all. Empty bytes mark the end of the input.
  // Gives false, with the reason in `error`, when reading fails.
  virtual bool next_bytes(std::string_view& bytes, IoError& error) = 0;

  // The bytes of the input as stored (compressed, for a compressed input) read so far, to
  // show progress against the file's size; 0 where the source does not tell.
  virtual std::uint64_t stored_bytes() const noexcept { return 0; }
};

}  // namespace varsift::core
