#include "downcast_error.hpp"

#include <string>

namespace varsift::module {
namespace {

constexpr std::string_view failed_type_name = "<failed to extract type name>";

std::string qualified_type_name(PyObject* object) {
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
  if (name) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(utf8, static_cast<std::size_t>(size));
    }
  }
  static_cast<void>(fetch_error());
  return std::string(failed_type_name);
}

}  // namespace

PythonError downcast_error(PyObject* object, std::string_view target) {
  std::string message = "'";
  message += qualified_type_name(object);
  message += "' object cannot be converted to '";
  message += target;
  message += "'";
  return PythonError::created(PyExc_TypeError, message);
}

}  // namespace varsift::module
