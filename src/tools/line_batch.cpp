#include "line_batch.hpp"

#include <cstring>

#include "python_error.hpp"

namespace varsift::tools {
namespace {

using module::OwnedRef;

// A str of valid UTF-8; ASCII is copied straight into a compact string.
OwnedRef text_of(const char* bytes, std::size_t size, bool ascii) {
  const auto length = static_cast<Py_ssize_t>(size);
  if (!ascii) return OwnedRef::steal(checked(PyUnicode_DecodeUTF8(bytes, length, "strict")));
  OwnedRef text = OwnedRef::steal(checked(PyUnicode_New(length, 127)));
  std::memcpy(PyUnicode_1BYTE_DATA(text.get()), bytes, size);
  return text;
}

}  // namespace

void LineBatch::add(std::string_view line, bool header, bool ascii) {
  entries_.push_back({bytes_.size(), line.size(), header, ascii});
  bytes_.append(line);
}

void LineBatch::move_into(PyObject* header, PyObject* data) {
  for (const Entry& entry : entries_) {
    const OwnedRef text = text_of(bytes_.data() + entry.offset, entry.size, entry.ascii);
    if (PyList_Append(entry.header ? header : data, text.get()) < 0) throw PythonError();
  }
  entries_.clear();
  bytes_.clear();
}

}  // namespace varsift::tools
