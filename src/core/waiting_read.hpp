#pragma once

#include <chrono>
#include <cstddef>

#include "interrupt.hpp"
#include "io_error.hpp"

namespace varsift::core {

// Longest wait between two checks of the interruption while no input comes.
inline constexpr std::chrono::milliseconds wait_check_interval{50};

// Reads up to `count` bytes of `fd`, which may be a pipe, a FIFO, a socket or a terminal,
// waiting for them in bounded polls: `interruption`, when given, is checked whenever a signal
// interrupts the wait and at least every wait_check_interval, whichever thread the signal
// reached and however its handler was installed. What it throws ends the read. A descriptor
// in non-blocking mode (a FIFO opened without waiting for its writer) is waited for alike.
// Gives the number of bytes read (0 at the end of the input), or -1 with the OS error in
// `error`.
std::ptrdiff_t read_waiting(int fd, char* buffer, std::size_t count, Interruption* interruption,
                            IoError& error);

}  // namespace varsift::core
