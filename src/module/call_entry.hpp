#pragma once

#include "expected.hpp"
#include "owned_ref.hpp"

namespace varsift::module {

// subset_vcf(vcf_path, positions): binds and converts the arguments, runs the subset and
// converts its result. Python errors come back; failures are thrown.
Expected<OwnedRef> call_subset_vcf(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The fast-call function behind subset_vcf, with keywords; runs the call in a panic boundary.
PyObject* subset_vcf_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;

}  // namespace varsift::module
