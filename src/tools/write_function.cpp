#include "write_function.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "index_argument.hpp"
#include "library/index_input.hpp"
#include "library/output.hpp"
#include "library/scan_error.hpp"
#include "library/scanner.hpp"
#include "python_error.hpp"
#include "scan_steps.hpp"
#include "write_arguments.hpp"

namespace varsift::tools {

PyObject* write_subset(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  WriteArguments arguments;
  try {
    if (nargs != 15) {
      PyErr_SetString(PyExc_TypeError,
                      "write(path, fd, output_name, positions, targets, regions, compress, "
                      "threads, index, index_path, output_index, csi, overlap, selection, "
                      "progress)");
      return nullptr;
    }
    if (args[14] != Py_None && PyCallable_Check(args[14]) == 0) {
      PyErr_SetString(PyExc_TypeError, "progress must be callable or None");
      return nullptr;
    }
    if (!read_write_arguments(args, 10, 12, arguments)) return nullptr;
    const std::string& path = arguments.path;
    const std::string& output_name = arguments.output_name;
    const std::optional<std::string>& output_index = arguments.output_index;
    const library::IndexOptions index = index_options_from(args[8], args[9]);
    const int csi = PyObject_IsTrue(args[11]);
    if (csi < 0) return nullptr;
    std::optional<hts::Index::Format> index_format;
    if (output_index) index_format = csi != 0 ? hts::Index::Format::csi : hts::Index::Format::tbi;
    std::string warning;
    std::vector<std::string> sequences;
    std::unique_ptr<library::Scanner> scanner;
    std::unique_ptr<library::Output> output;
    open_released(path, output_name, [&] {
      scanner = std::make_unique<library::Scanner>(
          library::open_selected_input(path, arguments.selection, index, arguments.threads, warning,
                                       sequences),
          std::move(arguments.selection));
      scanner->name_sequences(std::move(sequences));
      output = std::make_unique<library::Output>(arguments.fd, arguments.compress,
                                                 arguments.threads, index_format);
    });
    warn_index_skipped(warning);
    const auto finish = [&] {
      output->finish();
      if (output_index) output->save_index(output_name, *output_index);
    };
    if (!run_steps(*scanner, *output, path, output_name, args[14], finish)) return nullptr;
    return PyLong_FromUnsignedLongLong(scanner->records_kept());
  } catch (const library::IndexingError& error) {
    // The output's name before the reason, as for other failures of a file.
    raise_indexing_error(arguments.output_name, error.what());
    return nullptr;
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
