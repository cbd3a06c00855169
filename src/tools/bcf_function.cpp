#include "bcf_function.hpp"

#include <memory>
#include <string>

#include "library/bcf_output.hpp"
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
    if (nargs != 11) {
      PyErr_SetString(PyExc_TypeError,
                      "write_bcf(path, fd, output_name, positions, targets, regions, compress, "
                      "threads, output_index, overlap, selection)");
      return nullptr;
    }
    if (!read_write_arguments(args, 8, 9, arguments)) return nullptr;
    std::unique_ptr<library::BcfCopy> copy;
    const auto step = [&] {
      if (!copy) {
        copy = std::make_unique<library::BcfCopy>(arguments.path, std::move(arguments.selection),
                                                  arguments.fd, arguments.compress,
                                                  arguments.threads, arguments.output_index);
      }
      return copy->step(step_records);
    };
    if (!run_steps(arguments.path, arguments.output_name, step, [](bool) { return true; })) {
      return nullptr;
    }
    // A copy of the whole input does not read its records: their number is not known.
    if (copy->copies_whole()) return PyLong_FromLong(-1);
    return PyLong_FromUnsignedLongLong(copy->records_kept());
  } catch (const library::IndexingError& error) {
    raise_indexing_error(arguments.output_name, error.what());
    return nullptr;
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
