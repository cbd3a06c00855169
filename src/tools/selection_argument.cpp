#include "selection_argument.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "library/region_list.hpp"
#include "library/scan_error.hpp"
#include "library/selection_file.hpp"
#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "released_gil.hpp"

namespace varsift::tools {
namespace {

using module::OwnedRef;

[[noreturn]] void out_of_range(PyObject* value, const char* what) {
  PyErr_Format(PyExc_ValueError, "%s out of range (0 to 18446744073709551615): %R", what, value);
  throw PythonError();
}

std::uint64_t number_from(PyObject* object, const char* what) {
  // Most positions are exact ints that fit a machine word, read without a call.
  if (PyLong_CheckExact(object)) {
    const auto* number = reinterpret_cast<PyLongObject*>(object);
    if (PyUnstable_Long_IsCompact(number)) {
      const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
      if (value < 0) out_of_range(object, what);
      return static_cast<std::uint64_t>(value);
    }
  } else if (PyBool_Check(object)) {
    // True would pass as 1, as it does for every int-taking argument, which is never meant.
    PyErr_Format(PyExc_TypeError, "a %s must be an int, not bool", what);
    throw PythonError();
  }
  const OwnedRef index = OwnedRef::steal(checked(PyNumber_Index(object)));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError();
    PyErr_Clear();
    out_of_range(index.get(), what);
  }
  return value;
}

// A position given as an exact int that fits a machine word and is not negative, read
// without a call and without running Python code; false for anything else.
bool small_position(PyObject* object, std::uint64_t& value) noexcept {
  if (!PyLong_CheckExact(object)) return false;
  const auto* number = reinterpret_cast<PyLongObject*>(object);
  if (!PyUnstable_Long_IsCompact(number)) return false;
  const Py_ssize_t compact = PyUnstable_Long_CompactValue(number);
  value = static_cast<std::uint64_t>(compact);
  return compact >= 0;
}

// Chromosomes by str object. A list names few chromosomes, each through a few objects met
// many times, so a name is converted and looked up once per object. The cache holds its
// objects: an address freed and reused by another string is never taken for the old one.
class Chromosomes {
 public:
  Chromosomes(library::TargetList& targets, library::RegionList& regions)
      : targets_(targets), regions_(regions) {}

  // The positions of the chromosome `object` names, in the targets.
  core::PositionList& positions(PyObject* object) {
    Slot& found = slot(object);
    if (found.target_group == none) found.target_group = targets_.group(found.name);
    return targets_.groups()[found.target_group].entries;
  }
  // Its ranges, in the regions.
  library::RangeList& ranges(PyObject* object) {
    Slot& found = slot(object);
    if (found.region_group == none) found.region_group = regions_.group(found.name);
    return regions_.groups()[found.region_group].entries;
  }

 private:
  static constexpr std::size_t none = SIZE_MAX;
  struct Slot {
    OwnedRef object;
    std::string name;
    std::size_t target_group = none;
    std::size_t region_group = none;
  };

  Slot& slot(PyObject* object) {
    // Objects are 16-byte aligned: the bits above those spread them over the slots.
    Slot& slot = slots_[(reinterpret_cast<std::uintptr_t>(object) >> 4) % slots_.size()];
    if (slot.object.get() == object) return slot;
    if (!PyUnicode_Check(object)) {
      PyErr_Format(PyExc_TypeError, "a chromosome must be a str, not %.200s",
                   Py_TYPE(object)->tp_name);
      throw PythonError();
    }
    Py_ssize_t size = 0;
    const char* bytes = checked(PyUnicode_AsUTF8AndSize(object, &size));
    slot.name.assign(bytes, static_cast<std::size_t>(size));
    slot.object = OwnedRef::borrow(object);
    slot.target_group = none;
    slot.region_group = none;
    return slot;
  }

  library::TargetList& targets_;
  library::RegionList& regions_;
  std::array<Slot, 64> slots_;
};

// Puts "LABEL[INDEX]: " before the message of the TypeError or ValueError being raised, so
// that a bad item among a million is found; other exceptions pass unchanged.
[[noreturn]] void raise_at(const std::string& label, Py_ssize_t index) {
  OwnedRef raised = OwnedRef::steal(PyErr_GetRaisedException());
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised.get()));
  if (type == PyExc_TypeError || type == PyExc_ValueError) {
    const OwnedRef text = OwnedRef::steal(PyObject_Str(raised.get()));
    if (text) {
      PyErr_Format(type, "%s[%zd]: %U", label.c_str(), index, text.get());
      throw PythonError();
    }
    PyErr_Clear();
  }
  PyErr_SetRaisedException(raised.release());
  throw PythonError();
}

// Reads the items of `iterable` as a fast sequence. `quick(item)` reads an item when it can
// do so without running Python code (an exact tuple of small ints, say), and gives false
// otherwise; `visit(item)` then reads it, holding it, since code it runs (an __index__) may
// change the list: its size and items are read afresh for each item. A bad item is named as
// label[index]; `shape` is the message for an iterable of no items. `reserve` learns the count.
//
// Items lie anywhere in memory, and reading them one after the other would wait for each:
// each item is fetched `ahead` items before it is read, and its fields (but the first, the
// chromosome, which items share) half as far ahead, so that many waits overlap.
template <class Quick, class Visit, class Reserve>
void for_each_item(PyObject* iterable, const std::string& label, const char* shape, Quick quick,
                   Visit visit, Reserve reserve) {
  constexpr Py_ssize_t ahead = 64;
  const OwnedRef items = OwnedRef::steal(checked(PySequence_Fast(iterable, shape)));
  reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get())));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
    PyObject** const array = PySequence_Fast_ITEMS(items.get());
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(items.get());
    if (i + ahead < size) __builtin_prefetch(array[i + ahead]);
    if (i + ahead / 2 < size && PyTuple_CheckExact(array[i + ahead / 2])) {
      PyObject* const next = array[i + ahead / 2];
      for (Py_ssize_t field = 1; field < PyTuple_GET_SIZE(next); ++field)
        __builtin_prefetch(PyTuple_GET_ITEM(next, field));
    }
    if (quick(array[i])) continue;
    const OwnedRef held = OwnedRef::borrow(array[i]);
    try {
      visit(held.get());
    } catch (const PythonError&) {
      raise_at(label, i);
    }
  }
}

// The fields of one target or region, which must hold exactly `count` of them.
PyObject** fields_of(PyObject* item, Py_ssize_t count, const char* what, OwnedRef& holder) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == count) {
    return &PyTuple_GET_ITEM(item, 0);
  }
  // A tuple of its own, whose fields no __index__ of a field can change.
  holder = PyUnicode_Check(item) ? OwnedRef() : OwnedRef::steal(PySequence_Tuple(item));
  if (!holder || PyTuple_GET_SIZE(holder.get()) != count) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "a %s must be a tuple of %zd items, not %R", what, count, item);
    throw PythonError();
  }
  return &PyTuple_GET_ITEM(holder.get(), 0);
}

// Appends positions from a buffer of integers (array.array, a NumPy array...), without a
// Python loop; false for an object that is no such buffer.
bool positions_from_buffer(PyObject* object, const std::string& label, core::PositionList& list) {
  if (!PyObject_CheckBuffer(object) || PyBytes_Check(object) || PyByteArray_Check(object))
    return false;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_ND | PyBUF_C_CONTIGUOUS) < 0) {
    PyErr_Clear();
    return false;
  }
  const std::unique_ptr<Py_buffer, decltype(&PyBuffer_Release)> release(&view, &PyBuffer_Release);
  std::string_view format = view.format == nullptr ? "B" : view.format;
  if (!format.empty() && (format.front() == '@' || format.front() == '=' || format.front() == '<' ||
                          format.front() == '!' || format.front() == '>')) {
    if (format.front() == '>' || format.front() == '!') return false;
    format.remove_prefix(1);
  }
  if (view.ndim > 1 || format.size() != 1 || std::strchr("bBhHiIlLqQnN", format.front()) == nullptr)
    return false;
  const bool is_signed = std::strchr("bhilqn", format.front()) != nullptr;
  const auto count = static_cast<std::size_t>(view.len / view.itemsize);
  const std::size_t first = list.size();
  list.resize(first + count);
  std::uint64_t* const out = list.data() + first;
  const auto* bytes = static_cast<const unsigned char*>(view.buf);
  const auto copy = [&]<class T>(T) {
    const T* values = reinterpret_cast<const T*>(bytes);
    bool negative = false;
    for (std::size_t i = 0; i < count; ++i) {
      if constexpr (std::is_signed_v<T>) negative |= values[i] < 0;
      out[i] = static_cast<std::uint64_t>(values[i]);
    }
    if (!negative) return;
    const std::size_t at = static_cast<std::size_t>(
        std::find_if(values, values + count, [](T value) { return value < 0; }) - values);
    PyErr_Format(PyExc_ValueError,
                 "%s[%zu]: position out of range (0 to 18446744073709551615): %lld", label.c_str(),
                 at, static_cast<long long>(values[at]));
    throw PythonError();
  };
  switch (view.itemsize) {
    case 1:
      is_signed ? copy(std::int8_t{}) : copy(std::uint8_t{});
      break;
    case 2:
      is_signed ? copy(std::int16_t{}) : copy(std::uint16_t{});
      break;
    case 4:
      is_signed ? copy(std::int32_t{}) : copy(std::uint32_t{});
      break;
    case 8:
      is_signed ? copy(std::int64_t{}) : copy(std::uint64_t{});
      break;
    default:
      list.resize(first);
      return false;
  }
  return true;
}

// Appends the positions of `object`, a buffer of integers or an iterable of ints.
void append_positions(PyObject* object, const std::string& label, core::PositionList& list) {
  if (positions_from_buffer(object, label, list)) return;
  for_each_item(
      object, label, "positions must be an iterable of ints",
      [&](PyObject* item) {
        std::uint64_t pos = 0;
        if (!small_position(item, pos)) return false;
        list.push_back(pos);
        return true;
      },
      [&](PyObject* item) { list.push_back(number_from(item, "position")); },
      [&](std::size_t size) { list.reserve(list.size() + size); });
}

library::Overlap overlap_from(PyObject* object) {
  if (object == Py_None) return library::Overlap::record;
  if (PyUnicode_Check(object)) {
    if (PyUnicode_CompareWithASCIIString(object, "pos") == 0) return library::Overlap::pos;
    if (PyUnicode_CompareWithASCIIString(object, "record") == 0) return library::Overlap::record;
    if (PyUnicode_CompareWithASCIIString(object, "variant") == 0) return library::Overlap::variant;
  }
  PyErr_Format(PyExc_ValueError, "overlap must be 'pos', 'record' or 'variant', not %R", object);
  throw PythonError();
}

std::vector<std::string> strings_from(PyObject* list, const char* what) {
  std::vector<std::string> strings;
  if (list == Py_None) return strings;
  const auto never = [](PyObject*) { return false; };
  const auto any = [](std::size_t) {};
  for_each_item(
      list, what, what, never,
      [&](PyObject* item) {
        if (PyBytes_Check(item)) {
          strings.emplace_back(PyBytes_AS_STRING(item),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
          return;
        }
        Py_ssize_t size = 0;
        if (!PyUnicode_Check(item)) {
          PyErr_Format(PyExc_TypeError, "expected a str, not %.200s", Py_TYPE(item)->tp_name);
          throw PythonError();
        }
        const char* bytes = checked(PyUnicode_AsUTF8AndSize(item, &size));
        strings.emplace_back(bytes, static_cast<std::size_t>(size));
      },
      any);
  return strings;
}

struct SelectionObject {
  PyObject_HEAD std::shared_ptr<const std::vector<library::Clause>>* clauses;
};

PyTypeObject* selection_type = nullptr;

void selection_dealloc(PyObject* object) {
  delete reinterpret_cast<SelectionObject*>(object)->clauses;
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

PyType_Slot selection_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(selection_dealloc)},
    {Py_tp_doc, const_cast<char*>("Conditions on records, built once for any number of scans.")},
    {0, nullptr}};

PyType_Spec selection_spec = {"varsift_tools._native.Selection", sizeof(SelectionObject), 0,
                              Py_TPFLAGS_DEFAULT, selection_slots};

}  // namespace

library::Selection selection_from(PyObject* positions, PyObject* targets, PyObject* regions,
                                  PyObject* overlap, PyObject* prepared) {
  std::vector<library::Clause> clauses;
  if (positions != Py_None || targets != Py_None || regions != Py_None) {
    library::Clause& clause = clauses.emplace_back();
    clause.overlap = overlap_from(overlap);
    if (positions != Py_None) append_positions(positions, "positions", clause.positions);
    Chromosomes chromosomes(clause.targets, clause.regions);
    if (targets != Py_None && PyDict_Check(targets)) {
      // A mapping of each chromosome to its positions: columns, read without a Python loop.
      const OwnedRef items = OwnedRef::steal(checked(PyDict_Items(targets)));
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* const entry = PyList_GET_ITEM(items.get(), i);
        core::PositionList& list = chromosomes.positions(PyTuple_GET_ITEM(entry, 0));
        const OwnedRef key = OwnedRef::steal(checked(PyObject_Repr(PyTuple_GET_ITEM(entry, 0))));
        append_positions(PyTuple_GET_ITEM(entry, 1),
                         "targets[" + std::string(checked(PyUnicode_AsUTF8(key.get()))) + "]",
                         list);
      }
    } else if (targets != Py_None) {
      // The chromosome of the last target read, held, and its positions: the next target
      // nearly always names the same str object.
      OwnedRef chrom;
      core::PositionList* list = nullptr;
      for_each_item(
          targets, "targets", "targets must be an iterable of (chrom, pos)",
          [&](PyObject* item) {
            std::uint64_t pos = 0;
            if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 2 ||
                PyTuple_GET_ITEM(item, 0) != chrom.get() ||
                !small_position(PyTuple_GET_ITEM(item, 1), pos))
              return false;
            list->push_back(pos);
            return true;
          },
          [&](PyObject* item) {
            OwnedRef holder;
            PyObject** field = fields_of(item, 2, "target (chrom, pos)", holder);
            // The position first: a bad one adds no group for its chromosome.
            const std::uint64_t pos = number_from(field[1], "position");
            list = &chromosomes.positions(field[0]);
            list->push_back(pos);
            chrom = OwnedRef::borrow(field[0]);
          },
          [](std::size_t) {});
    }
    if (regions != Py_None) {
      OwnedRef chrom;
      library::RangeList* list = nullptr;
      for_each_item(
          regions, "regions", "regions must be an iterable of (chrom, beg, end)",
          [&](PyObject* item) {
            std::uint64_t beg = 0;
            std::uint64_t end = 0;
            if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 3 ||
                PyTuple_GET_ITEM(item, 0) != chrom.get() ||
                !small_position(PyTuple_GET_ITEM(item, 1), beg) ||
                !small_position(PyTuple_GET_ITEM(item, 2), end) || beg > end)
              return false;
            list->emplace_back(beg, end);
            return true;
          },
          [&](PyObject* item) {
            OwnedRef holder;
            PyObject** field = fields_of(item, 3, "region (chrom, beg, end)", holder);
            list = &chromosomes.ranges(field[0]);
            const std::uint64_t beg = number_from(field[1], "region start");
            const std::uint64_t end = number_from(field[2], "region end");
            if (beg > end) {
              PyErr_Format(PyExc_ValueError, "region %R starts after its end", item);
              throw PythonError();
            }
            list->emplace_back(beg, end);
            chrom = OwnedRef::borrow(field[0]);
          },
          [](std::size_t) {});
    }
  }
  if (prepared != Py_None) {
    if (!PyObject_TypeCheck(prepared, selection_type)) {
      PyErr_Format(PyExc_TypeError, "selection must be a Selection, not %.200s",
                   Py_TYPE(prepared)->tp_name);
      throw PythonError();
    }
    for (const library::Clause& clause : **reinterpret_cast<SelectionObject*>(prepared)->clauses)
      clauses.push_back(clause);
  }
  if (clauses.empty()) return library::Selection::everything();
  // Sorting a million positions is native work.
  const ReleasedGil released;
  return library::Selection(std::move(clauses));
}

PyObject* make_selection_type() {
  PyObject* type = PyType_FromSpec(&selection_spec);
  selection_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

PyObject* build_selection(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 9) {
      PyErr_SetString(PyExc_TypeError,
                      "build_selection(positions, positions_files, targets, targets_files, "
                      "targets_overlap, targets_exclude, regions, regions_files, regions_overlap)");
      return nullptr;
    }
    core::PositionList positions;
    if (args[0] != Py_None) append_positions(args[0], "positions", positions);
    const std::vector<std::string> positions_files = strings_from(args[1], "positions files");
    const std::vector<std::string> targets = strings_from(args[2], "targets");
    const std::vector<std::string> targets_files = strings_from(args[3], "targets files");
    const library::Overlap targets_overlap = overlap_from(args[4]);
    const int exclude = PyObject_IsTrue(args[5]);
    if (exclude < 0) return nullptr;
    const std::vector<std::string> regions = strings_from(args[6], "regions");
    const std::vector<std::string> regions_files = strings_from(args[7], "regions files");
    const library::Overlap regions_overlap = overlap_from(args[8]);

    auto clauses = std::make_shared<std::vector<library::Clause>>();
    std::optional<library::ScanError> failure;
    std::string failed_file;
    std::optional<std::string> bad_line;
    {
      const ReleasedGil released;
      const auto read = [&](const std::vector<std::string>& lists,
                            const std::vector<std::string>& files,
                            library::SelectionFormat files_format, library::Clause& clause) {
        for (const std::string& list : lists) library::add_region_list(list, clause);
        for (const std::string& file : files) {
          failed_file = file;
          library::read_selection_file(file,
                                       files_format == library::SelectionFormat::positions
                                           ? files_format
                                           : library::format_by_name(file),
                                       clause);
        }
      };
      try {
        if (args[0] != Py_None || args[1] != Py_None) {
          library::Clause& own = clauses->emplace_back();
          own.positions = std::move(positions);
          read({}, positions_files, library::SelectionFormat::positions, own);
        }
        if (args[6] != Py_None || args[7] != Py_None) {
          library::Clause& clause = clauses->emplace_back();
          clause.overlap = regions_overlap;
          read(regions, regions_files, library::SelectionFormat::tab, clause);
        }
        if (args[2] != Py_None || args[3] != Py_None) {
          library::Clause& clause = clauses->emplace_back();
          clause.overlap = targets_overlap;
          clause.exclude = exclude != 0;
          read(targets, targets_files, library::SelectionFormat::tab, clause);
        }
      } catch (const library::ScanError& error) {
        failure = error;
      } catch (const std::invalid_argument& error) {
        bad_line = error.what();
      } catch (const library::SelectionFileError& error) {
        bad_line = error.what();
      }
    }
    if (failure) raise_scan_error(*failure, failed_file == "-" ? "<stdin>" : failed_file);
    if (bad_line) {
      PyErr_SetString(PyExc_ValueError, bad_line->c_str());
      return nullptr;
    }
    OwnedRef object = OwnedRef::steal(checked(PyType_GenericAlloc(selection_type, 0)));
    reinterpret_cast<SelectionObject*>(object.get())->clauses =
        new std::shared_ptr<const std::vector<library::Clause>>(std::move(clauses));
    return object.release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
