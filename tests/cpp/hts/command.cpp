#include "command.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "child_process.hpp"

namespace varsift::testing {

CommandResult run_command(const std::vector<std::string>& argv, std::string_view input) {
  const TempFile in(input);
  std::FILE* out = std::tmpfile();
  if (out == nullptr) throw std::runtime_error("tmpfile failed");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in_fd = open(in.path().c_str(), O_RDONLY);
    const int null_fd = open("/dev/null", O_WRONLY);
    if (in_fd < 0 || null_fd < 0) _exit(126);
    dup2(in_fd, 0);
    dup2(fileno(out), 1);
    dup2(null_fd, 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  CommandResult result;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  std::rewind(out);
  char chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) {
    result.output.append(chunk, n);
  }
  std::fclose(out);
  return result;
}

std::string compress_with(const std::vector<std::string>& argv, std::string_view text) {
  CommandResult result = run_command(argv, text);
  if (result.exit_code != 0) throw std::runtime_error(argv[0] + " failed");
  return std::move(result.output);
}

std::vector<BlockSpan> bgzf_blocks(std::string_view data) {
  std::vector<BlockSpan> blocks;
  for (std::size_t at = 0; at + 18 <= data.size();) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(data[at + i]); };
    const std::size_t size = (std::size_t{byte(16)} | std::size_t{byte(17)} << 8U) + 1;
    blocks.push_back({at, size});
    at += size;
  }
  return blocks;
}

std::string with_extra_subfields(std::string_view block) {
  const std::string before(
      "XY\x02\x00"
      "ab",
      6);
  const std::string after("ZZ\x00\x00", 4);
  std::string out(block.substr(0, 10));
  const std::size_t xlen = 6 + before.size() + after.size();
  const std::size_t bsize = block.size() - 1 + before.size() + after.size();
  out += {static_cast<char>(xlen), 0};
  out += before;
  out += block.substr(12, 4);
  out += {static_cast<char>(bsize & 0xffU), static_cast<char>(bsize >> 8U)};
  out += after;
  out += block.substr(18);
  return out;
}

}  // namespace varsift::testing
