#include "write_arguments.hpp"

#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "selection_argument.hpp"
#include "thread_count.hpp"

namespace varsift::tools {

bool read_write_arguments(PyObject* const* args, Py_ssize_t output_index_at, Py_ssize_t overlap_at,
                          WriteArguments& out) {
  out.path = path_bytes(args[0]);
  out.fd = PyObject_AsFileDescriptor(args[1]);
  if (out.fd < 0) return false;
  out.output_name = path_bytes(args[2]);
  out.selection = selection_from(args[3], args[4], args[5], args[overlap_at], args[overlap_at + 1]);
  const int compress = PyObject_IsTrue(args[6]);
  if (compress < 0) return false;
  out.compress = compress != 0;
  out.threads = thread_count(args[7]);
  if (args[output_index_at] != Py_None) out.output_index = path_bytes(args[output_index_at]);
  return true;
}

void raise_indexing_error(const std::string& output_name, const char* reason) {
  const module::OwnedRef name = module::OwnedRef::steal(PyUnicode_DecodeFSDefaultAndSize(
      output_name.data(), static_cast<Py_ssize_t>(output_name.size())));
  if (name) PyErr_Format(PyExc_ValueError, "%U: %s", name.get(), reason);
}

}  // namespace varsift::tools
