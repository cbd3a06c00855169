#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

#include "byte_source.hpp"
#include "file.hpp"

namespace varsift::core {

// Reads an open file at most `buffer_size` bytes at a time into one buffer. An interrupted
// read is retried, and a broken pipe ends the input.
class FileSource final : public ByteSource {
 public:
  static constexpr std::size_t buffer_size = 8192;

  explicit FileSource(File file);

  bool next_bytes(std::string_view& bytes, IoError& error) override;

 private:
  struct FreeBuffer {
    void operator()(char* p) const noexcept { std::free(p); }
  };

  File file_;
  std::unique_ptr<char, FreeBuffer> buffer_;
};

}  // namespace varsift::core
