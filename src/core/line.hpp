#pragma once

#include <deque>
#include <string>

#include "allocator.hpp"

namespace varsift::core {

// One line of the file, valid UTF-8, without its terminator.
using Line = std::basic_string<char, std::char_traits<char>, Allocator<char>>;

// A deque grows in blocks without moving the lines it holds, where a vector would copy them
// all at every doubling: millions of kept lines cost no second pass over fresh memory.
using LineList = std::deque<Line, Allocator<Line>>;

}  // namespace varsift::core
