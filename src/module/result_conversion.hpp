#pragma once

#include <string_view>

#include "core/line_sink.hpp"
#include "owned_ref.hpp"

namespace varsift::module {

// Builds the result, (header lines, data lines) as two lists of str, while the subset runs:
// each kept line becomes a str straight from the read buffer, so no line is held twice.
//
// A str or list that cannot be made does not end the subset at once: a fault later in the
// file must still win. The exception is kept, the lists are released, and into_tuple()
// applies the API-failure rule once the whole file has been read.
class ResultLists final : public core::LineSink {
 public:
  void header(std::string_view line, bool ascii) override { keep(header_, line, ascii); }
  void data(std::string_view line, bool ascii) override { keep(data_, line, ascii); }

  // The tuple of the two lists, or the failure "Python API call failed".
  OwnedRef into_tuple() &&;

 private:
  void keep(OwnedRef& list, std::string_view line, bool ascii);
  void fail() noexcept;

  OwnedRef header_;
  OwnedRef data_;
  // The exception of the first object that could not be made.
  OwnedRef failed_;
  bool has_failed_ = false;
};

}  // namespace varsift::module
