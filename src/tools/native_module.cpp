// varsift_tools._native: the library's native part, over the shared core and htslib.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "bcf_function.hpp"
#include "block_functions.hpp"
#include "index_argument.hpp"
#include "module/owned_ref.hpp"
#include "range_functions.hpp"
#include "scan_type.hpp"
#include "selection_argument.hpp"
#include "thread_count.hpp"
#include "url_functions.hpp"
#include "write_function.hpp"

namespace varsift::tools {
namespace {

PyMethodDef native_functions[] = {
    {"open_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_scan)),
     METH_FASTCALL,
     "open_scan(path, positions, targets, regions, threads, split, index, index_path, overlap, "
     "selection)\n--\n\n"
     "Opens one pass over the VCF at path (\"-\": standard input)."},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_subset)),
     METH_FASTCALL,
     "write(path, fd, output_name, positions, targets, regions, compress, threads, index, "
     "index_path, output_index, csi, overlap, selection)\n--\n\n"
     "Writes the kept lines of the VCF at path into the descriptor fd, indexing them into "
     "output_index when given; gives the records written."},
    {"write_bcf", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_bcf)),
     METH_FASTCALL,
     "write_bcf(path, fd, output_name, positions, targets, regions, compress, threads, "
     "output_index, overlap, selection)\n--\n\n"
     "Copies the kept records of the BCF at path into fd as BCF, indexing them into "
     "output_index when given; gives the records written."},
    {"build_selection",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_selection)), METH_FASTCALL,
     "build_selection(positions, positions_files, targets, targets_files, targets_overlap, "
     "targets_exclude, regions, regions_files, regions_overlap)\n--\n\n"
     "Builds a Selection from lists and files, read natively."},
    {"index_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index_file)),
     METH_FASTCALL,
     "index_file(path, index_path, csi, threads)\n--\n\n"
     "Writes a tabix (or, with csi, a CSI) index of the BGZF VCF at path to index_path."},
    {"scan_range", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_range)),
     METH_FASTCALL,
     "scan_range(path, range, positions, targets, regions, threads, header)\n--\n\n"
     "The kept lines of one byte range of the VCF at path, as a list."},
    {"write_range", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_range)),
     METH_FASTCALL,
     "write_range(path, range, fd, output_name, positions, targets, regions, threads, "
     "header)\n--\n\n"
     "Writes the kept lines of one byte range of the VCF at path into fd as BGZF; gives the "
     "records written."},
    {"bgzf_blocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bgzf_blocks)),
     METH_FASTCALL,
     "bgzf_blocks(fd)\n--\n\n"
     "Where each block of the BGZF file open at fd starts: (compressed, uncompressed) offsets, "
     "or None when its blocks do not tile it."},
    {"bgzf_block", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(bgzf_block)),
     METH_FASTCALL,
     "bgzf_block(fd, offset)\n--\n\n"
     "The size and ISIZE of the BGZF block at offset of the file open at fd, or None."},
    {"is_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(is_url)), METH_FASTCALL,
     "is_url(path)\n--\n\nWhether htslib opens path as a URL."},
    {"record_cuts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record_cuts)),
     METH_FASTCALL,
     "record_cuts(url, size)\n--\n\nWhere the indexed BGZF VCF at url may be cut into ranges "
     "of about size bytes, or None without a usable index."},
    {"read_url", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_url)),
     METH_FASTCALL,
     "read_url(url, limit)\n--\n\nThe whole of a small remote file, or None when there is "
     "none."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef native_module = {PyModuleDef_HEAD_INIT,
                             "varsift_tools._native",
                             "Native part of varsift_tools: scans and writes VCF files.",
                             -1,
                             native_functions,
                             nullptr,
                             nullptr,
                             nullptr,
                             nullptr};

}  // namespace
}  // namespace varsift::tools

PyMODINIT_FUNC PyInit__native() {
  using namespace varsift::tools;
  using varsift::module::OwnedRef;
  OwnedRef module = OwnedRef::steal(PyModule_Create(&native_module));
  if (!module || PyModule_AddIntConstant(module.get(), "MAX_THREADS", max_threads) < 0)
    return nullptr;
  using Make = PyObject* (*)();
  const std::pair<const char*, Make> types[] = {{"Scan", make_scan_type},
                                                {"Selection", make_selection_type}};
  for (const auto& [name, make] : types) {
    const OwnedRef type = OwnedRef::steal(make());
    if (!type || PyModule_AddObjectRef(module.get(), name, type.get()) < 0) return nullptr;
  }
  return module.release();
}
