#include "call_entry.hpp"

#include <optional>
#include <string>
#include <utility>

#include "argument_conversion.hpp"
#include "argument_error.hpp"
#include "binding.hpp"
#include "core/subset.hpp"
#include "panic_boundary.hpp"
#include "result_conversion.hpp"

namespace varsift::module {
namespace {

constexpr FunctionDescription<2> subset_vcf_function{"subset_vcf", {"vcf_path", "positions"}};

// Thrown through the subset when a signal handler raised; the exception waits in the
// SignalHandlers object, since an exception object must be copyable and a Python error is not.
struct HandlerRaised {};

// Runs Python's signal handlers when the file's open or a read is interrupted, and every few
// MB of input, as CPython's own I/O does: Ctrl-C and alarms reach a call that waits on a FIFO
// or reads a large file. A handler that raises ends the call with its exception.
class SignalHandlers final : public core::Interruption {
 public:
  void check() override {
    if (PyErr_CheckSignals() == 0) return;
    raised_.emplace(fetch_error());
    throw HandlerRaised{};
  }

  PythonError take_raised() && { return std::move(*raised_); }

 private:
  std::optional<PythonError> raised_;
};

}  // namespace

Expected<OwnedRef> call_subset_vcf(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  Expected<Slots<2>> slots = bind_arguments(subset_vcf_function, args, nargs, kwnames);
  if (!slots.has_value()) return std::move(slots).error();
  auto [vcf_path, positions] = slots.value();

  Expected<std::string> path = convert_path(vcf_path);
  if (!path.has_value()) {
    return wrap_argument_error(subset_vcf_function.parameters[0], std::move(path).error());
  }
  Expected<core::PositionList> position_list = convert_positions(positions);
  if (!position_list.has_value()) {
    return wrap_argument_error(subset_vcf_function.parameters[1], std::move(position_list).error());
  }
  ResultLists lists;
  SignalHandlers handlers;
  try {
    core::subset_vcf(path.value(), position_list.value(), lists, &handlers);
  } catch (const HandlerRaised&) {
    return std::move(handlers).take_raised();
  }
  return std::move(lists).into_tuple();
}

PyObject* subset_vcf_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return panic_boundary([&] { return call_subset_vcf(args, nargs, kwnames); });
}

}  // namespace varsift::module
