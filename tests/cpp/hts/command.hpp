#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace varsift::testing {

struct CommandResult {
  int exit_code = -1;  // -1 when the command did not exit normally
  std::string output;
};

// Runs a program found on PATH with `input` as its standard input and gives what it wrote
// to its standard output; its standard error is discarded.
CommandResult run_command(const std::vector<std::string>& argv, std::string_view input);

// `text` compressed by the named tool, e.g. {"bgzip", "-c"} or {"gzip", "-c"}.
std::string compress_with(const std::vector<std::string>& argv, std::string_view text);

// The start offset and size of each BGZF block of `data`, read from its BSIZE fields.
struct BlockSpan {
  std::size_t offset;
  std::size_t size;
};
std::vector<BlockSpan> bgzf_blocks(std::string_view data);

// The BGZF block `block` with extra subfields before and after its BC subfield.
std::string with_extra_subfields(std::string_view block);

}  // namespace varsift::testing
