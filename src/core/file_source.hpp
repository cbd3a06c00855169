#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "byte_source.hpp"
#include "file.hpp"
#include "interrupt.hpp"

namespace varsift::core {

// Reads an open file at most `read_size` bytes at a time (by default `buffer_size`, the
// module's) into one buffer. An interrupted
// read is retried once `interruption` lets it go on, and a broken pipe ends the input.
// `interruption`, when given, is also checked every few MB of input.
class FileSource final : public ByteSource {
 public:
  static constexpr std::size_t buffer_size = 8192;

  explicit FileSource(File file, Interruption* interruption = nullptr,
                      std::size_t read_size = buffer_size);

  bool next_bytes(std::string_view& bytes, IoError& error) override;

 private:
  struct FreeBuffer {
    void operator()(char* p) const noexcept { std::free(p); }
  };

  File file_;
  std::size_t read_size_;
  std::unique_ptr<char, FreeBuffer> buffer_;
  Interruption* interruption_;
};

}  // namespace varsift::core
