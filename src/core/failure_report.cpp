#include "failure_report.hpp"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <mutex>

#include "backtrace.hpp"
#include "fd_writer.hpp"

namespace varsift::core {
namespace {

constexpr int stderr_fd = 2;
constexpr int style_unread = -1;

std::atomic<int> process_style{style_unread};
std::atomic<bool> note_due{true};
std::mutex report_lock;

BacktraceStyle read_process_style() noexcept {
  int style = process_style.load();
  if (style == style_unread) {
    // The name views a string literal, so it ends in a NUL.
    const char* value = std::getenv(backtrace_switch.data());
    style = static_cast<int>(backtrace_style_from(
        value == nullptr ? std::nullopt : std::optional<std::string_view>(value)));
    process_style.store(style);
  }
  return static_cast<BacktraceStyle>(style);
}

// One line of the report: the first write error drops the rest of it.
class ReportLine {
 public:
  ReportLine& operator<<(std::string_view piece) noexcept {
    if (ok_) ok_ = write_all(stderr_fd, piece) == 0;
    return *this;
  }
  ReportLine& operator<<(std::uint32_t number) noexcept {
    char digits[10];
    const auto end = std::to_chars(digits, digits + sizeof(digits), number).ptr;
    return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
  }

 private:
  bool ok_ = true;
};

}  // namespace

BacktraceStyle backtrace_style_from(std::optional<std::string_view> value) noexcept {
  if (!value || *value == "0") return BacktraceStyle::off;
  if (*value == "full") return BacktraceStyle::full;
  return BacktraceStyle::short_;
}

[[gnu::noinline]] void write_failure_report(const FailureSite& site,
                                            std::string_view message) noexcept {
  const BacktraceStyle style = Failure::travelling() ? BacktraceStyle::full : read_process_style();
  const std::lock_guard lock(report_lock);
  ReportLine() << "thread '<unnamed>' panicked at " << site.file << ":" << site.line << ":"
               << site.column << ":\n"
               << message << "\n";
  if (style == BacktraceStyle::off) {
    if (note_due.exchange(false)) {
      ReportLine() << "note: run with `" << backtrace_switch
                   << "=1` environment variable to display a backtrace\n";
    }
    return;
  }
  // The short style leaves out the frames of this report; the full one shows everything.
  write_backtrace(stderr_fd, style == BacktraceStyle::short_ ? 1 : 0);
}

}  // namespace varsift::core
