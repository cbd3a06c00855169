#include "range_functions.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "library/input.hpp"
#include "library/output.hpp"
#include "library/range_input.hpp"
#include "library/scan_error.hpp"
#include "library/scanner.hpp"
#include "line_batch.hpp"
#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "released_gil.hpp"
#include "scan_steps.hpp"
#include "selection_argument.hpp"
#include "thread_count.hpp"

namespace varsift::tools {
namespace {

using module::OwnedRef;

// None, or (bgzf, before, length, end, line_start) with before, end and line_start -1 for
// none.
std::optional<library::InputRange> range_from(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) != 5) {
    PyErr_SetString(PyExc_TypeError,
                    "range must be None or (bgzf, before, length, end, line_start)");
    throw PythonError();
  }
  library::InputRange range;
  const int bgzf = PyObject_IsTrue(PyTuple_GET_ITEM(object, 0));
  if (bgzf < 0) throw PythonError();
  range.bgzf = bgzf != 0;
  const long long before = PyLong_AsLongLong(PyTuple_GET_ITEM(object, 1));
  if (before == -1 && PyErr_Occurred()) throw PythonError();
  if (before < -1) {
    PyErr_SetString(PyExc_ValueError, "range's before must be -1 or an offset");
    throw PythonError();
  }
  if (before >= 0) range.before = static_cast<std::uint64_t>(before);
  const long long length = PyLong_AsLongLong(PyTuple_GET_ITEM(object, 2));
  if (length == -1 && PyErr_Occurred()) throw PythonError();
  if (length < 0) {
    PyErr_SetString(PyExc_ValueError, "range's length must not be negative");
    throw PythonError();
  }
  range.length = static_cast<std::uint64_t>(length);
  const long long end = PyLong_AsLongLong(PyTuple_GET_ITEM(object, 3));
  if (end == -1 && PyErr_Occurred()) throw PythonError();
  if (end < -1) {
    PyErr_SetString(PyExc_ValueError, "range's end must be -1 or an offset");
    throw PythonError();
  }
  if (end >= 0) range.end = static_cast<std::uint64_t>(end);
  const long long line_start = PyLong_AsLongLong(PyTuple_GET_ITEM(object, 4));
  if (line_start == -1 && PyErr_Occurred()) throw PythonError();
  if (line_start < -1 || (line_start >= 0 && !range.bgzf)) {
    PyErr_SetString(PyExc_ValueError, "range's line_start must be -1 or a BGZF offset");
    throw PythonError();
  }
  if (line_start >= 0) range.line_start = static_cast<std::uint64_t>(line_start);
  return range;
}

std::unique_ptr<core::ByteSource> open_source(const std::string& path,
                                              const std::optional<library::InputRange>& range,
                                              int threads) {
  return range ? library::open_range(path, *range, threads) : library::open_input(path, threads);
}

// Passes on the data lines only, for the parts of a file whose header is given elsewhere.
class DataLines final : public library::LineSink {
 public:
  DataLines(library::LineSink& inner, bool header) noexcept : inner_(inner), header_(header) {}
  void header(std::string_view line, bool ascii) override {
    if (header_) inner_.header(line, ascii);
  }
  void data(std::string_view line, bool ascii) override { inner_.data(line, ascii); }
  bool full() const noexcept override { return inner_.full(); }

 private:
  library::LineSink& inner_;
  bool header_;
};

std::unique_ptr<library::Scanner> open_scanner(const std::string& path,
                                               const std::optional<library::InputRange>& range,
                                               library::Selection selection, int threads) {
  std::unique_ptr<core::ByteSource> source;
  std::optional<library::ScanError> failure;
  {
    const ReleasedGil released;
    try {
      source = open_source(path, range, threads);
    } catch (const library::ScanError& error) {
      failure = error;
    }
  }
  if (failure) raise_scan_error(*failure, path);
  return std::make_unique<library::Scanner>(std::move(source), std::move(selection));
}

}  // namespace

PyObject* scan_range(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 7) {
      PyErr_SetString(PyExc_TypeError,
                      "scan_range(path, range, positions, targets, regions, threads, header)");
      return nullptr;
    }
    const std::string path = path_bytes(args[0]);
    const std::optional<library::InputRange> range = range_from(args[1]);
    library::Selection selection = selection_from(args[2], args[3], args[4], Py_None, Py_None);
    const int threads = thread_count(args[5]);
    const int header = PyObject_IsTrue(args[6]);
    if (header < 0) return nullptr;

    const std::unique_ptr<library::Scanner> scanner =
        open_scanner(path, range, std::move(selection), threads);
    // Unbounded: the caller asked for the whole range as one list.
    LineBatch batch(SIZE_MAX);
    DataLines sink(batch, header != 0);
    if (!run_steps(*scanner, sink, path, std::string(), Py_None, [] {})) return nullptr;
    const OwnedRef lines = OwnedRef::steal(checked(PyList_New(0)));
    batch.move_into(lines.get(), lines.get());
    return OwnedRef::borrow(lines.get()).release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

PyObject* write_range(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 9) {
      PyErr_SetString(PyExc_TypeError,
                      "write_range(path, range, fd, output_name, positions, targets, regions, "
                      "threads, header)");
      return nullptr;
    }
    const std::string path = path_bytes(args[0]);
    const std::optional<library::InputRange> range = range_from(args[1]);
    const int fd = PyObject_AsFileDescriptor(args[2]);
    if (fd < 0) return nullptr;
    const std::string output_name = path_bytes(args[3]);
    library::Selection selection = selection_from(args[4], args[5], args[6], Py_None, Py_None);
    const int threads = thread_count(args[7]);
    const int header = PyObject_IsTrue(args[8]);
    if (header < 0) return nullptr;

    const std::unique_ptr<library::Scanner> scanner =
        open_scanner(path, range, std::move(selection), threads);
    std::unique_ptr<library::Output> output;
    {
      std::optional<library::OutputError> failure;
      {
        const ReleasedGil released;
        try {
          output = std::make_unique<library::Output>(fd, true, threads);
        } catch (const library::OutputError& error) {
          failure = error;
        }
      }
      if (failure) raise_os_error(failure->os_code(), output_name);
    }
    DataLines sink(*output, header != 0);
    if (!run_steps(*scanner, sink, path, output_name, Py_None, [&] { output->finish(); }))
      return nullptr;
    return PyLong_FromUnsignedLongLong(scanner->records_kept());
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
