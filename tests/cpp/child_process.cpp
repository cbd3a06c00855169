#include "child_process.hpp"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "core/failure.hpp"

namespace varsift::testing {
namespace {

std::string read_all(std::FILE* file) {
  std::rewind(file);
  std::string bytes;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof(chunk), file)) > 0;) bytes.append(chunk, n);
  return bytes;
}

void write_file(std::FILE* file, const std::string& bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fflush(file);
}

}  // namespace

ChildResult run_in_child(const std::function<std::string()>& body, const Environment& environment) {
  std::FILE* err = std::tmpfile();
  std::FILE* out = std::tmpfile();
  if (err == nullptr || out == nullptr) throw std::runtime_error("tmpfile failed");
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(fileno(err), 2);
    for (const auto& [name, value] : environment) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    std::string output;
    try {
      output = body();
    } catch (const core::Failure& failure) {
      output = "failure: " + failure.message();
    }
    write_file(out, output);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ChildResult result;
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.stderr_bytes = read_all(err);
  result.output = read_all(out);
  std::fclose(err);
  std::fclose(out);
  return result;
}

TempFile::TempFile(std::string_view contents) {
  std::string pattern = (std::filesystem::temp_directory_path() / "varsift-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  directory_ = pattern;
  path_ = directory_ + "/input.vcf";
  std::ofstream(path_, std::ios::binary).write(contents.data(), std::streamsize(contents.size()));
}

TempFile::~TempFile() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

int open_descriptor_count() {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

}  // namespace varsift::testing
