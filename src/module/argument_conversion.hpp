#pragma once

#include <cstdint>
#include <string>

#include "core/position_set.hpp"
#include "expected.hpp"

namespace varsift::module {

// The `vcf_path` argument as an owned copy of the UTF-8 form of a str (str subclasses by their
// character content). Nothing else is accepted: no bytes, no path objects.
Expected<std::string> convert_path(PyObject* object);

// The `positions` argument: the unsigned 64-bit integers that iterating a sequence yields, in
// that order. A str is refused although it is a sequence.
Expected<core::PositionList> convert_positions(PyObject* object);

// One position: an int by its value (its __index__ is not called), anything else through
// __index__.
Expected<std::uint64_t> convert_position(PyObject* item);

}  // namespace varsift::module
