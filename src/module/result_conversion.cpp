#include "result_conversion.hpp"

#include <utility>

#include "api_failure.hpp"

namespace varsift::module {

OwnedRef convert_lines(core::LineList lines) {
  OwnedRef list = created_or_fail(PyList_New(static_cast<Py_ssize_t>(lines.size())));
  for (std::size_t i = 0; i < lines.size(); ++i) {
    core::Line line = std::move(lines[i]);
    PyObject* text = PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size()));
    // The line's own text goes before the next is converted, so lines are never held twice.
    core::Line().swap(line);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), created_or_fail(text).release());
  }
  return list;
}

OwnedRef convert_result(core::SubsetResult result) {
  OwnedRef header = convert_lines(std::move(result.header));
  OwnedRef data = convert_lines(std::move(result.data));
  OwnedRef pair = created_or_fail(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.get(), 0, header.release());
  PyTuple_SET_ITEM(pair.get(), 1, data.release());
  return pair;
}

}  // namespace varsift::module
