#include "hts_plugins.hpp"

#include <dlfcn.h>
#include <htslib/hfile.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace varsift::tools {
namespace {

// Whether htslib reads `path` as a URL: a scheme of 2 to 11 letters, digits, '+', '-' or '.'
// before a ':'.
bool has_scheme(std::string_view path) {
  constexpr std::size_t longest = 11;
  for (std::size_t i = 0; i < path.size() && i <= longest; ++i) {
    const char c = path[i];
    if (c == ':') return i >= 2;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return false;
}

std::optional<std::string> bundled_directory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<const void*>(&prepare_hts_plugins), &info) == 0 ||
      info.dli_fname == nullptr) {
    return std::nullopt;
  }
  const auto directory = std::filesystem::path(info.dli_fname).parent_path() / "hts_plugins";
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) return std::nullopt;
  return directory.string();
}

}  // namespace

void prepare_hts_plugins(std::string_view path) {
  static bool prepared = false;  // guarded by the interpreter lock
  if (prepared || !has_scheme(path)) return;
  prepared = true;
  const std::optional<std::string> directory = bundled_directory();
  if (!directory) return;
  // htslib reads HTS_PATH once, when it first meets a URL; a user's own directories come after
  // ours, and the variable is put back as it was, so that no child process inherits it.
  const char* set = std::getenv("HTS_PATH");
  const std::optional<std::string> saved = set == nullptr ? std::nullopt : std::optional(set);
  const std::string searched = saved ? *directory + ":" + *saved : *directory;
  if (setenv("HTS_PATH", searched.c_str(), 1) != 0) return;
  hfile_has_plugin("libcurl");
  if (saved) {
    setenv("HTS_PATH", saved->c_str(), 1);
  } else {
    unsetenv("HTS_PATH");
  }
}

}  // namespace varsift::tools
