#include "result_conversion.hpp"

#include <cstring>
#include <utility>

#include "api_failure.hpp"

namespace varsift::module {
namespace {

// A str from bytes known to be ASCII: no decoding, one copy.
PyObject* ascii_str(std::string_view line) {
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(line.size()), 0x7F);
  if (text != nullptr && !line.empty()) {
    std::memcpy(PyUnicode_1BYTE_DATA(text), line.data(), line.size());
  }
  return text;
}

// A str from bytes known to be valid UTF-8, which therefore cannot fail to decode.
PyObject* utf8_str(std::string_view line) {
  return PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()), nullptr);
}

}  // namespace

void ResultLists::keep(OwnedRef& list, std::string_view line, bool ascii) {
  if (has_failed_) return;
  if (!list) {
    list = OwnedRef::steal(PyList_New(0));
    if (!list) return fail();
  }
  const OwnedRef text = OwnedRef::steal(ascii ? ascii_str(line) : utf8_str(line));
  if (!text || PyList_Append(list.get(), text.get()) == -1) fail();
}

void ResultLists::fail() noexcept {
  has_failed_ = true;
  failed_ = OwnedRef::steal(PyErr_GetRaisedException());
  // The result is lost: its memory goes back at once.
  header_ = OwnedRef();
  data_ = OwnedRef();
}

OwnedRef ResultLists::into_tuple() && {
  if (has_failed_) {
    PyErr_SetRaisedException(failed_.release());
    api_failure();
  }
  if (!header_) header_ = created_or_fail(PyList_New(0));
  if (!data_) data_ = created_or_fail(PyList_New(0));
  OwnedRef pair = created_or_fail(PyTuple_New(2));
  PyTuple_SET_ITEM(pair.get(), 0, header_.release());
  PyTuple_SET_ITEM(pair.get(), 1, data_.release());
  return pair;
}

}  // namespace varsift::module
