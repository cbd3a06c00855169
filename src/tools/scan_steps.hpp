#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "index_argument.hpp"
#include "library/index_input.hpp"
#include "library/line_sink.hpp"
#include "library/output.hpp"
#include "library/scan_error.hpp"
#include "library/scanner.hpp"
#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "released_gil.hpp"

namespace varsift::tools {

// Input read between two checks for signals: a few milliseconds of work.
inline constexpr std::size_t step_bytes = std::size_t{16} << 20;

// Gives the scan's warning about the selection, once, as a UserWarning.
inline void warn_selection(library::Scanner& scanner) {
  const std::string warning = scanner.take_warning();
  if (!warning.empty() && PyErr_WarnEx(PyExc_UserWarning, warning.c_str(), 1) < 0)
    throw PythonError();
}

// The least time between two calls of a progress callable: a line refreshed a few times a
// second.
inline constexpr std::chrono::milliseconds progress_interval{250};

// Calls `progress(bytes_read, stored_bytes_read, records_kept)` when it is not None and the last
// call is at least progress_interval old; gives false when it raised. A records count of -1
// stands for one not known.
inline bool report_progress(PyObject* progress, std::chrono::steady_clock::time_point& last,
                            std::uint64_t bytes_read, std::uint64_t stored_bytes_read,
                            long long records_kept) {
  if (progress == Py_None) return true;
  const auto now = std::chrono::steady_clock::now();
  if (now - last < progress_interval) return true;
  last = now;
  const module::OwnedRef result = module::OwnedRef::steal(
      PyObject_CallFunction(progress, "KKL", bytes_read, stored_bytes_read, records_kept));
  return static_cast<bool>(result);
}

// Runs `open` (which makes the input and output of a write) with the interpreter lock
// released, and raises what it threw: an unusable index, then a scan failure naming `path`,
// then an output failure naming `output_name` (through PythonError).
template <class Open>
void open_released(std::string_view path, std::string_view output_name, Open open) {
  std::optional<library::ScanError> scan_failure;
  std::optional<library::IndexUnusable> unusable;
  std::optional<library::OutputError> output_failure;
  {
    const ReleasedGil released;
    try {
      open();
    } catch (const library::ScanError& error) {
      scan_failure = error;
    } catch (const library::IndexUnusable& error) {
      unusable = error;
    } catch (const library::OutputError& error) {
      output_failure = error;
    }
  }
  if (unusable) raise_index_unusable(*unusable);
  if (scan_failure) raise_scan_error(*scan_failure, path);
  if (output_failure) raise_os_error(output_failure->os_code(), output_name);
}

// Runs `step` (which gives whether there is more to do) until it ends, with the interpreter
// lock released and signals checked between steps; `between(more)` runs with the lock held
// after each step and gives false when it raised. A scan failure raises naming `path`, an
// output failure naming `output_name` (through PythonError). Gives false when a signal
// handler or `between` raised.
template <class Step, class Between>
bool run_steps(std::string_view path, std::string_view output_name, Step step, Between between) {
  std::optional<library::ScanError> scan_failure;
  std::optional<library::OutputError> output_failure;
  for (bool more = true; more;) {
    {
      const ReleasedGil released;
      try {
        more = step();
      } catch (const library::ScanError& error) {
        scan_failure = error;
      } catch (const library::OutputError& error) {
        output_failure = error;
      }
    }
    if (scan_failure) raise_scan_error(*scan_failure, path);
    if (output_failure) raise_os_error(output_failure->os_code(), output_name);
    if (!between(more)) return false;
    if (PyErr_CheckSignals() < 0) return false;
  }
  return true;
}

// Runs a scan to its end into `sink`, as run_steps does, where `progress` (None, or a
// callable) hears how far the scan is; `finish` runs after the last step. Gives false when a
// signal handler or `progress` raised.
template <class Finish>
bool run_steps(library::Scanner& scanner, library::LineSink& sink, std::string_view path,
               std::string_view output_name, PyObject* progress, Finish finish) {
  const auto step = [&] {
    const bool more = scanner.step(sink, step_bytes);
    if (!more) finish();
    return more;
  };
  auto last_report = std::chrono::steady_clock::now();
  const auto between = [&](bool more) {
    warn_selection(scanner);
    return !more ||
           report_progress(progress, last_report, scanner.bytes_read(), scanner.stored_bytes_read(),
                           static_cast<long long>(scanner.records_kept()));
  };
  return run_steps(path, output_name, step, between);
}

}  // namespace varsift::tools
