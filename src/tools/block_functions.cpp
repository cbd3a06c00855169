#include "block_functions.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <variant>

#include "hts/block_walk.hpp"
#include "module/owned_ref.hpp"
#include "python_error.hpp"
#include "released_gil.hpp"

namespace varsift::tools {
namespace {

using module::OwnedRef;

int descriptor_from(PyObject* object) {
  const int fd = PyObject_AsFileDescriptor(object);
  if (fd < 0) throw PythonError();
  return fd;
}

std::uint64_t offset_from(PyObject* object) {
  const unsigned long long offset = PyLong_AsUnsignedLongLong(object);
  if (offset == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError();
  return offset;
}

// Two unsigned integers as a tuple.
PyObject* pair(std::uint64_t first, std::uint64_t second) {
  const OwnedRef a = OwnedRef::steal(checked(PyLong_FromUnsignedLongLong(first)));
  const OwnedRef b = OwnedRef::steal(checked(PyLong_FromUnsignedLongLong(second)));
  return checked(PyTuple_Pack(2, a.get(), b.get()));
}

[[noreturn]] void raise_io_error(const core::IoError& error) {
  raise_os_error(error.is_os() ? error.os_code() : EIO, {});
}

}  // namespace

PyObject* bgzf_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 1) {
      PyErr_SetString(PyExc_TypeError, "bgzf_blocks(fd)");
      return nullptr;
    }
    const int fd = descriptor_from(args[0]);
    hts::WalkResult walked = hts::NoBlock{};
    {
      const ReleasedGil released;
      walked = hts::walk_blocks(fd);
    }
    if (const auto* error = std::get_if<core::IoError>(&walked)) raise_io_error(*error);
    const auto* blocks = std::get_if<std::vector<hts::BlockStart>>(&walked);
    if (blocks == nullptr) Py_RETURN_NONE;
    const OwnedRef list =
        OwnedRef::steal(checked(PyList_New(static_cast<Py_ssize_t>(blocks->size()))));
    Py_ssize_t at = 0;
    for (const hts::BlockStart& block : *blocks) {
      PyList_SET_ITEM(list.get(), at++, pair(block.compressed, block.uncompressed));
    }
    return OwnedRef::borrow(list.get()).release();
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

PyObject* bgzf_block(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 2) {
      PyErr_SetString(PyExc_TypeError, "bgzf_block(fd, offset)");
      return nullptr;
    }
    const int fd = descriptor_from(args[0]);
    const std::uint64_t offset = offset_from(args[1]);
    struct stat status {};
    if (::fstat(fd, &status) != 0) raise_os_error(errno, {});
    const hts::BlockResult block =
        hts::block_at(fd, offset, static_cast<std::uint64_t>(status.st_size));
    if (const auto* error = std::get_if<core::IoError>(&block)) raise_io_error(*error);
    const auto* span = std::get_if<hts::BlockSpan>(&block);
    if (span == nullptr) Py_RETURN_NONE;
    return pair(span->size, span->isize);
  } catch (...) {
    set_python_error_from_current();
    return nullptr;
  }
}

}  // namespace varsift::tools
