#pragma once

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
};

}  // namespace varsift::core
