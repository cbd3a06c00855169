#pragma once

#include <string>
#include <vector>

#include "allocator.hpp"

namespace varsift::core {

// One line of the file, valid UTF-8, without its terminator.
using Line = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

using LineList = std::vector<Line, Allocator<Line>>;

}  // namespace varsift::core
