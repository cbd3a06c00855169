#pragma once

#include "core/subset.hpp"
#include "owned_ref.hpp"

namespace varsift::module {

// The tuple (header lines, data lines) of two new lists of str. Releases each line as soon as its
// str exists. A CPython call that cannot create its object raises a failure.
OwnedRef convert_result(core::SubsetResult result);

// A new list with one str for each line, in order.
OwnedRef convert_lines(core::LineList lines);

}  // namespace varsift::module
