#include "io_error.hpp"

#include "os_error.hpp"
#include "quoted.hpp"

namespace varsift::core {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

IoError IoError::wrapped(ErrorKind kind, std::string inner_debug, std::string inner_display) {
  return IoError(Custom{kind, std::make_shared<const std::pair<std::string, std::string>>(
                                  std::move(inner_debug), std::move(inner_display))});
}

ErrorKind IoError::kind() const noexcept {
  return std::visit(Overloaded{[](const Os& e) { return os_error_kind(e.code); },
                               [](const auto& e) { return e.kind; }},
                    value_);
}

std::string IoError::debug() const {
  std::string out;
  std::visit(Overloaded{
                 [&](const Os& e) {
                   out = "Os { code: " + std::to_string(e.code) + ", kind: ";
                   out += error_kind_name(os_error_kind(e.code));
                   out += ", message: ";
                   append_quoted(out, os_error_text(e.code));
                   out += " }";
                 },
                 [&](const Fixed& e) {
                   out = "Error { kind: ";
                   out += error_kind_name(e.kind);
                   out += ", message: ";
                   append_quoted(out, e.message);
                   out += " }";
                 },
                 [&](const Bare& e) {
                   out = "Kind(";
                   out += error_kind_name(e.kind);
                   out += ")";
                 },
                 [&](const Custom& e) {
                   out = "Custom { kind: ";
                   out += error_kind_name(e.kind);
                   out += ", error: " + e.inner->first + " }";
                 },
             },
             value_);
  return out;
}

std::string IoError::display() const {
  return std::visit(Overloaded{
                        [](const Os& e) {
                          return os_error_text(e.code) + " (os error " + std::to_string(e.code) +
                                 ")";
                        },
                        [](const Fixed& e) { return std::string(e.message); },
                        [](const Bare& e) { return std::string(error_kind_description(e.kind)); },
                        [](const Custom& e) { return e.inner->second; },
                    },
                    value_);
}

}  // namespace varsift::core
