#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "api_failure.hpp"
#include "call_entry.hpp"
#include "downcast_error.hpp"
#include "expected.hpp"
#include "panic_boundary.hpp"

namespace varsift::module {
namespace {

constexpr const char* module_name = "varsift";
constexpr const char* module_doc = "A Python module implemented in C++ that subsets VCF files.";

// The first line and the "--" line give the function its __text_signature__.
constexpr const char* subset_vcf_doc =
    "subset_vcf(vcf_path, positions)\n--\n\n"
    "Subset a VCF file by a list of positions.\n\n"
    "# Arguments\n"
    "vcf_path: String - Path to the VCF file.\n"
    "positions: Vec<u64> - List of positions to subset the VCF file by.\n\n"
    "# Returns\n"
    "Tuple of two lists of strings. The first list contains the header lines of the VCF file, "
    "and the second list contains the subsetted VCF lines.";

constexpr std::string_view subinterpreters_refused =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/varsift/varsift/blob/main/README.md#limitations";
constexpr std::string_view append_to_all_failed = "could not append __name__ to __all__";
constexpr std::string_view str_target = "PyString";
constexpr std::string_view list_target = "PyList";

PyCFunction as_method(PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t,
                                         PyObject*) noexcept) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

// The definition records, the owner, the module and the attribute names live for the whole
// process: the function object points at its record, and nothing is torn down at shutdown.
PyMethodDef subset_vcf_method = {"subset_vcf", as_method(subset_vcf_entry),
                                 METH_FASTCALL | METH_KEYWORDS, subset_vcf_doc};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    module_name,
    module_doc,
    // Not -1: CPython then calls the initialisation again on a fresh import, which hands back
    // the cached module.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that may use the module; claimed once and never released. The module's
// objects belong to that interpreter, so every other one is refused.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_cache = nullptr;
PyObject* name_attribute = nullptr;
PyObject* all_attribute = nullptr;

PyObject* interned(PyObject*& slot, std::string_view text) {
  if (slot == nullptr) {
    PyObject* name = created_or_fail(PyUnicode_FromStringAndSize(
                                         text.data(), static_cast<Py_ssize_t>(text.size())))
                         .release();
    PyUnicode_InternInPlace(&name);
    slot = name;
  }
  return slot;
}

// The module's __all__, made as an empty list when the module has none.
Expected<OwnedRef> export_list(PyObject* module) {
  PyObject* all_name = interned(all_attribute, "__all__");
  OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, all_name));
  if (all) {
    if (!PyList_Check(all.get())) return downcast_error(all.get(), list_target);
    return all;
  }
  PythonError error = fetch_error();
  if (PyErr_GivenExceptionMatches(error.type(), PyExc_AttributeError) == 0) return error;
  OwnedRef list = created_or_fail(PyList_New(0));
  if (PyObject_SetAttr(module, all_name, list.get()) == -1) return fetch_error();
  return list;
}

// Lists the function in __all__ and sets it as the module attribute of its own name.
std::optional<PythonError> add_function(PyObject* module, PyObject* function) {
  OwnedRef name = OwnedRef::steal(PyObject_GetAttr(function, interned(name_attribute, "__name__")));
  if (!name) return fetch_error();
  if (!PyUnicode_Check(name.get())) return downcast_error(name.get(), str_target);
  Expected<OwnedRef> all = export_list(module);
  if (!all.has_value()) return std::move(all).error();
  if (PyList_Append(all.value().get(), name.get()) == -1) {
    raise_failure_describing(append_to_all_failed, fetch_error());
  }
  if (PyObject_SetAttr(module, name.get(), function) == -1) return fetch_error();
  return std::nullopt;
}

Expected<OwnedRef> make_function(PyObject* module) {
  OwnedRef name = OwnedRef::steal(PyModule_GetNameObject(module));
  if (!name) return fetch_error();
  OwnedRef function =
      OwnedRef::steal(PyCMethod_New(&subset_vcf_method, module, name.get(), nullptr));
  if (!function) return fetch_error();
  return function;
}

Expected<OwnedRef> initialise() {
  std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return fetch_error();
  std::int64_t owner = -1;
  if (!owner_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
    return PythonError::created(PyExc_ImportError, subinterpreters_refused);
  }
  if (module_cache != nullptr) return OwnedRef::borrow(module_cache);

  OwnedRef module = OwnedRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
  if (!module) return fetch_error();
  Expected<OwnedRef> function = make_function(module.get());
  if (!function.has_value()) return std::move(function).error();
  if (std::optional<PythonError> error = add_function(module.get(), function.value().get())) {
    return std::move(*error);
  }
  module_cache = OwnedRef::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace varsift::module

PyMODINIT_FUNC PyInit_varsift() {
  return varsift::module::panic_boundary([] { return varsift::module::initialise(); });
}
