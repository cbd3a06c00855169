#include "argument_conversion.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string_view>

#include "downcast_error.hpp"

namespace varsift::module {
namespace {

constexpr std::string_view path_target = "PyString";
constexpr std::string_view sequence_target = "Sequence";
constexpr std::string_view str_not_positions = "Can't extract `str` to `Vec`";

// A list or tuple holds the items it reports. Any other object may report a length far above
// what it yields or what memory holds, so its length sizes the first reservation only up to this.
constexpr std::size_t reservation_cap = std::size_t{1} << 20;

bool is_str(PyObject* object) {
  return PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS) != 0;
}

bool is_int(PyObject* object) {
  return PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_LONG_SUBCLASS) != 0;
}

std::size_t first_reservation(PyObject* positions) {
  Py_ssize_t length = PySequence_Size(positions);
  if (length < 0) {
    static_cast<void>(fetch_error());
    return 0;
  }
  auto reported = static_cast<std::size_t>(length);
  if (PyList_CheckExact(positions) || PyTuple_CheckExact(positions)) return reported;
  return std::min(reported, reservation_cap);
}

}  // namespace

Expected<std::string> convert_path(PyObject* object) {
  if (!is_str(object)) return downcast_error(object, path_target);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
  if (utf8 == nullptr) return fetch_error();
  return std::string(utf8, static_cast<std::size_t>(size));
}

Expected<core::PositionList> convert_positions(PyObject* object) {
  if (is_str(object)) return PythonError::created(PyExc_TypeError, str_not_positions);
  if (PySequence_Check(object) == 0) return downcast_error(object, sequence_target);

  core::PositionList positions;
  positions.reserve(first_reservation(object));
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(object));
  if (!iterator) return fetch_error();
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    Expected<std::uint64_t> position = convert_position(item.get());
    if (!position.has_value()) return std::move(position).error();
    positions.push_back(position.value());
  }
  if (PyErr_Occurred() != nullptr) return fetch_error();
  return positions;
}

Expected<std::uint64_t> convert_position(PyObject* item) {
  unsigned long long value = 0;
  if (is_int(item)) {
    value = PyLong_AsUnsignedLongLong(item);
  } else {
    OwnedRef index = OwnedRef::steal(PyNumber_Index(item));
    if (!index) return fetch_error();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is also a valid position; only a pending exception makes it an error.
  if (value == std::numeric_limits<unsigned long long>::max() && PyErr_Occurred() != nullptr) {
    return fetch_error();
  }
  return static_cast<std::uint64_t>(value);
}

}  // namespace varsift::module
