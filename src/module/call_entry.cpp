#include "call_entry.hpp"

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
  core::SubsetResult result =
      core::subset_vcf(std::move(path).value(), std::move(position_list).value());
  return convert_result(std::move(result));
}

PyObject* subset_vcf_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept {
  return panic_boundary([&] { return call_subset_vcf(args, nargs, kwnames); });
}

}  // namespace varsift::module
