#include "scan_type.hpp"

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "index_argument.hpp"
#include "library/index_input.hpp"
#include "library/scan_error.hpp"
#include "library/scanner.hpp"
#include "line_batch.hpp"
#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "released_gil.hpp"
#include "scan_steps.hpp"
#include "selection_argument.hpp"
#include "thread_count.hpp"

namespace varsift::tools {
namespace {

using module::OwnedRef;

// Input read between two checks for signals: a few milliseconds of work.
constexpr std::size_t step_bytes = std::size_t{8} << 20;
// Kept bytes handed to Python at once.
constexpr std::size_t batch_bytes = std::size_t{1} << 20;

struct State {
  library::Scanner scanner;
  std::string filename;
  bool split;
  LineBatch batch{batch_bytes};
  // A failure met after lines that a stream has yet to give: raised once they are given.
  std::optional<library::ScanError> pending;
};

struct ScanObject {
  PyObject_HEAD State* state;  // owned; null once the scan has ended or was closed
  bool busy;                   // a read is running with the interpreter lock released
};

void close_state(ScanObject* self) noexcept {
  delete self->state;
  self->state = nullptr;
}

void scan_dealloc(PyObject* object) {
  close_state(reinterpret_cast<ScanObject*>(object));
  PyTypeObject* type = Py_TYPE(object);
  type->tp_free(object);
  Py_DECREF(type);
}

// read() -> list[str] | tuple[list[str], list[str]] | None: the next kept lines (split into
// header and data lines when the scan was opened with split), or None once the input ended.
PyObject* scan_read(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<ScanObject*>(object);
  try {
    if (self->busy) {
      PyErr_SetString(PyExc_RuntimeError, "the scan is being read by another thread");
      return nullptr;
    }
    if (self->state == nullptr) Py_RETURN_NONE;
    State& state = *self->state;
    // A stream gives the lines read before a failure first.
    std::optional<library::ScanError> failure;
    if (state.split || state.batch.empty()) failure = std::exchange(state.pending, std::nullopt);
    bool more = !failure && !state.pending;
    while (more && state.batch.empty()) {
      self->busy = true;
      try {
        const ReleasedGil released;
        try {
          more = state.scanner.step(state.batch, step_bytes);
        } catch (const library::ScanError& error) {
          failure = error;
        }
      } catch (const PythonError&) {
        // A signal handler raised while the scan waited for input. The scan cannot go on
        // where it stopped, and a later read says so rather than end early.
        self->busy = false;
        state.pending = library::ScanError::os(EINTR, {});
        throw;
      }
      self->busy = false;
      warn_selection(state.scanner);
      if (failure && !state.split && !state.batch.empty()) {
        state.pending = std::exchange(failure, std::nullopt);
        break;
      }
      if (failure) break;
      if (PyErr_CheckSignals() < 0) {
        close_state(self);
        return nullptr;
      }
    }
    if (failure) {
      const std::string filename = state.filename;
      close_state(self);
      raise_scan_error(*failure, filename);
    }
    if (state.batch.empty()) {
      close_state(self);
      Py_RETURN_NONE;
    }
    const OwnedRef header = OwnedRef::steal(checked(PyList_New(0)));
    if (!state.split) {
      state.batch.move_into(header.get(), header.get());
      return OwnedRef::borrow(header.get()).release();
    }
    const OwnedRef data = OwnedRef::steal(checked(PyList_New(0)));
    state.batch.move_into(header.get(), data.get());
    return checked(PyTuple_Pack(2, header.get(), data.get()));
  } catch (...) {
    self->busy = false;
    set_python_error_from_current();
    return nullptr;
  }
}

// close(): releases the input at once; reading after it gives None.
PyObject* scan_close(PyObject* object, PyObject*) {
  auto* self = reinterpret_cast<ScanObject*>(object);
  if (self->busy) {
    PyErr_SetString(PyExc_RuntimeError, "the scan is being read by another thread");
    return nullptr;
  }
  close_state(self);
  Py_RETURN_NONE;
}

PyMethodDef scan_methods[] = {
    {"read", scan_read, METH_NOARGS, "read()\n--\n\nThe next batch of kept lines, or None."},
    {"close", scan_close, METH_NOARGS, "close()\n--\n\nReleases the input."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot scan_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(scan_dealloc)},
    {Py_tp_doc, const_cast<char*>("One pass over one VCF input, read in batches of kept lines.")},
    {Py_tp_methods, scan_methods},
    {0, nullptr}};

PyType_Spec scan_spec = {"varsift_tools._native.Scan", sizeof(ScanObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, scan_slots};

// Made once, when the module is initialised; the module holds a reference too.
PyTypeObject* scan_type = nullptr;

}  // namespace

PyObject* make_scan_type() {
  PyObject* type = PyType_FromSpec(&scan_spec);
  scan_type = reinterpret_cast<PyTypeObject*>(type);
  return type;
}

PyObject* open_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 10) {
      PyErr_SetString(PyExc_TypeError,
                      "open_scan(path, positions, targets, regions, threads, split, index, "
                      "index_path, overlap, selection)");
      return nullptr;
    }
    const std::string name = path_bytes(args[0]);
    library::Selection selection = selection_from(args[1], args[2], args[3], args[8], args[9]);
    const int threads = thread_count(args[4]);
    const int split = PyObject_IsTrue(args[5]);
    if (split < 0) return nullptr;
    const library::IndexOptions index = index_options_from(args[6], args[7]);
    std::unique_ptr<core::ByteSource> source;
    std::optional<library::ScanError> failure;
    std::optional<library::IndexUnusable> unusable;
    std::string warning;
    std::vector<std::string> sequences;
    {
      const ReleasedGil released;
      try {
        source = library::open_selected_input(name, selection, index, threads, warning, sequences);
      } catch (const library::ScanError& error) {
        failure = error;
      } catch (const library::IndexUnusable& error) {
        unusable = error;
      }
    }
    if (failure) raise_scan_error(*failure, name);
    if (unusable) raise_index_unusable(*unusable);
    warn_index_skipped(warning);
    OwnedRef object = OwnedRef::steal(checked(PyType_GenericAlloc(scan_type, 0)));
    auto* self = reinterpret_cast<ScanObject*>(object.get());
    self->state = new State{library::Scanner(std::move(source), std::move(selection)), name,
                            split != 0, LineBatch(batch_bytes), std::nullopt};
    self->state->scanner.name_sequences(std::move(sequences));
    self->busy = false;
    return object.release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
