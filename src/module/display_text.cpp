#include "display_text.hpp"

#include <string_view>

#include "api_failure.hpp"
#include "python_error.hpp"

namespace varsift::module {
namespace {

constexpr std::string_view unprintable_prefix = "<unprintable ";
constexpr std::string_view unprintable_suffix = " object>";
constexpr std::string_view unprintable_object = "<unprintable object>";

std::string unprintable(PyObject* object) {
  OwnedRef name = OwnedRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    static_cast<void>(fetch_error());
    return std::string(unprintable_object);
  }
  std::string text(unprintable_prefix);
  text += display_text(name.get());
  text += unprintable_suffix;
  return text;
}

std::string render(PyObject* object, PyObject* (*to_text)(PyObject*)) {
  OwnedRef text = OwnedRef::steal(to_text(object));
  if (text) return lossy_utf8(text.get());
  fetch_error().raise();
  PyErr_WriteUnraisable(object);
  return unprintable(object);
}

}  // namespace

std::string lossy_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  static_cast<void>(fetch_error());
  OwnedRef bytes = created_or_fail(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  OwnedRef replaced = created_or_fail(
      PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
  const char* utf8 = PyUnicode_AsUTF8AndSize(replaced.get(), &size);
  if (utf8 == nullptr) api_failure();
  return std::string(utf8, static_cast<std::size_t>(size));
}

std::string display_text(PyObject* object) { return render(object, PyObject_Str); }

std::string repr_text(PyObject* object) { return render(object, PyObject_Repr); }

}  // namespace varsift::module
