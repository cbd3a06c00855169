#pragma once

#include <string>

#include "owned_ref.hpp"

namespace varsift::module {

// The UTF-8 form of a str. A string holding lone surrogates, which has no strict UTF-8 form,
// shows each of them as three U+FFFD, one for each byte of its encoding.
std::string lossy_utf8(PyObject* text);

// How an object is shown inside a message: its str(), or, when str() raises, "<unprintable T
// object>" after the exception has gone to the unraisable-exception hook.
std::string display_text(PyObject* object);

// The same with repr().
std::string repr_text(PyObject* object);

}  // namespace varsift::module
