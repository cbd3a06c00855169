#include "selection_argument.hpp"

#include <cstdint>
#include <string>
#include <vector>

#include "module/owned_ref.hpp"
#include "python_error.hpp"

namespace varsift::tools {
namespace {

using module::OwnedRef;

std::uint64_t number_from(PyObject* object, const char* what) {
  // True would pass as 1, as it does for every int-taking argument, which is never meant.
  if (PyBool_Check(object)) {
    PyErr_Format(PyExc_TypeError, "a %s must be an int, not bool", what);
    throw PythonError();
  }
  const OwnedRef index = OwnedRef::steal(checked(PyNumber_Index(object)));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError();
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "%s out of range (0 to 18446744073709551615): %R", what,
                 index.get());
    throw PythonError();
  }
  return value;
}

std::string chromosome_from(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "a chromosome must be a str, not %.200s",
                 Py_TYPE(object)->tp_name);
    throw PythonError();
  }
  Py_ssize_t size = 0;
  const char* bytes = checked(PyUnicode_AsUTF8AndSize(object, &size));
  return std::string(bytes, static_cast<std::size_t>(size));
}

// The items of `iterable` as a fast sequence; `visit` reads each.
template <class Visit>
void for_each_item(PyObject* iterable, const char* name, Visit visit) {
  const OwnedRef items = OwnedRef::steal(checked(PySequence_Fast(iterable, name)));
  const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
  PyObject** const array = PySequence_Fast_ITEMS(items.get());
  for (Py_ssize_t i = 0; i < size; ++i) visit(array[i]);
}

// The fields of one target or region, which must hold exactly `count` of them.
OwnedRef fields_of(PyObject* item, Py_ssize_t count, const char* what) {
  OwnedRef fields = OwnedRef::steal(PySequence_Fast(item, ""));
  if (!fields || PySequence_Fast_GET_SIZE(fields.get()) != count || PyUnicode_Check(item)) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "a %s must be a tuple of %zd items, not %R", what, count, item);
    throw PythonError();
  }
  return fields;
}

}  // namespace

library::Selection selection_from(PyObject* positions, PyObject* targets, PyObject* regions) {
  if (positions == Py_None && targets == Py_None && regions == Py_None) {
    return library::Selection::everything();
  }
  core::PositionList position_list;
  std::vector<library::Target> target_list;
  std::vector<library::Region> region_list;
  if (positions != Py_None) {
    for_each_item(positions, "positions must be an iterable of ints",
                  [&](PyObject* item) { position_list.push_back(number_from(item, "position")); });
  }
  if (targets != Py_None) {
    for_each_item(targets, "targets must be an iterable of (chrom, pos)", [&](PyObject* item) {
      const OwnedRef fields = fields_of(item, 2, "target (chrom, pos)");
      PyObject** field = PySequence_Fast_ITEMS(fields.get());
      target_list.push_back({chromosome_from(field[0]), number_from(field[1], "position")});
    });
  }
  if (regions != Py_None) {
    for_each_item(regions, "regions must be an iterable of (chrom, beg, end)", [&](PyObject* item) {
      const OwnedRef fields = fields_of(item, 3, "region (chrom, beg, end)");
      PyObject** field = PySequence_Fast_ITEMS(fields.get());
      library::Region region{chromosome_from(field[0]), number_from(field[1], "region start"),
                             number_from(field[2], "region end")};
      if (region.beg > region.end) {
        PyErr_Format(PyExc_ValueError, "region %R starts after its end", item);
        throw PythonError();
      }
      region_list.push_back(std::move(region));
    });
  }
  return library::Selection(std::move(position_list), std::move(target_list),
                            std::move(region_list));
}

}  // namespace varsift::tools
