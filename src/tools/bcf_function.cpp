#include "bcf_function.hpp"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "index_argument.hpp"
#include "library/bcf_output.hpp"
#include "library/index_input.hpp"
#include "library/output.hpp"
#include "library/scan_error.hpp"
#include "python_error.hpp"
#include "scan_steps.hpp"
#include "write_arguments.hpp"

namespace varsift::tools {
namespace {

// Records copied between two checks for signals: a few milliseconds of work.
constexpr std::uint64_t step_records = 50000;

}  // namespace

PyObject* write_bcf(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  WriteArguments arguments;
  try {
    if (nargs != 14) {
      PyErr_SetString(PyExc_TypeError,
                      "write_bcf(path, fd, output_name, positions, targets, regions, compress, "
                      "threads, index, index_path, output_index, overlap, selection, progress)");
      return nullptr;
    }
    PyObject* const progress = args[13];
    if (progress != Py_None && PyCallable_Check(progress) == 0) {
      PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
      return nullptr;
    }
    if (!read_write_arguments(args, 10, 11, arguments)) return nullptr;
    const library::IndexOptions index = index_options_from(args[8], args[9]);
    std::unique_ptr<library::BcfCopy> copy;
    open_released(arguments.path, arguments.output_name, [&] {
      copy = std::make_unique<library::BcfCopy>(arguments.path, std::move(arguments.selection),
                                                index, arguments.fd, arguments.compress,
                                                arguments.threads, arguments.output_index);
    });
    warn_index_skipped(copy->warning());
    const auto step = [&] { return copy->step(step_records); };
    auto last = std::chrono::steady_clock::now();
    const auto between = [&](bool more) {
      // A copy of whole blocks reads no records: -1 stands for their unknown number.
      return !more || report_progress(
                          progress, last, copy->bytes_read(), copy->stored_bytes_read(),
                          copy->copies_whole() ? -1 : static_cast<long long>(copy->records_kept()));
    };
    if (!run_steps(arguments.path, arguments.output_name, step, between)) return nullptr;
    // A copy of the whole input does not read its records: their number may not be known.
    const std::optional<std::uint64_t> written = copy->records_written();
    if (!written) return PyLong_FromLong(-1);
    return PyLong_FromUnsignedLongLong(*written);
  } catch (const library::IndexingError& error) {
    raise_indexing_error(arguments.output_name, error.what());
    return nullptr;
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
