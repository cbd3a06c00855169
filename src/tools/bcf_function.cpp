#include "bcf_function.hpp"

#include <memory>
#include <optional>
#include <string>

#include "library/bcf_output.hpp"
#include "library/output.hpp"
#include "library/scan_error.hpp"
#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "released_gil.hpp"
#include "selection_argument.hpp"
#include "thread_count.hpp"

namespace varsift::tools {

using module::OwnedRef;

namespace {

// Records copied between two checks for signals: a few milliseconds of work.
constexpr std::uint64_t step_records = 50000;

}  // namespace

PyObject* write_bcf(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  std::string output_name;
  try {
    if (nargs != 11) {
      PyErr_SetString(PyExc_TypeError,
                      "write_bcf(path, fd, output_name, positions, targets, regions, compress, "
                      "threads, output_index, overlap, selection)");
      return nullptr;
    }
    const std::string path = path_bytes(args[0]);
    const int fd = PyObject_AsFileDescriptor(args[1]);
    if (fd < 0) return nullptr;
    output_name = path_bytes(args[2]);
    library::Selection selection = selection_from(args[3], args[4], args[5], args[9], args[10]);
    const int compress = PyObject_IsTrue(args[6]);
    if (compress < 0) return nullptr;
    const int threads = thread_count(args[7]);
    std::optional<std::string> output_index;
    if (args[8] != Py_None) output_index = path_bytes(args[8]);

    std::unique_ptr<library::BcfCopy> copy;
    for (bool more = true; more;) {
      std::optional<library::ScanError> scan_failure;
      std::optional<library::OutputError> output_failure;
      {
        const ReleasedGil released;
        try {
          if (!copy) {
            copy = std::make_unique<library::BcfCopy>(path, std::move(selection), fd, compress != 0,
                                                      threads, output_index);
          }
          more = copy->step(step_records);
        } catch (const library::ScanError& error) {
          scan_failure = error;
        } catch (const library::OutputError& error) {
          output_failure = error;
        }
      }
      if (scan_failure) raise_scan_error(*scan_failure, path);
      if (output_failure) raise_os_error(output_failure->os_code(), output_name);
      if (PyErr_CheckSignals() < 0) return nullptr;
    }
    return PyLong_FromUnsignedLongLong(copy->records_kept());
  } catch (const library::IndexingError& error) {
    const OwnedRef name = OwnedRef::steal(PyUnicode_DecodeFSDefaultAndSize(
        output_name.data(), static_cast<Py_ssize_t>(output_name.size())));
    if (name) PyErr_Format(PyExc_ValueError, "%U: %s", name.get(), error.what());
    return nullptr;
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
