#include "output.hpp"

#include "norvex/base/output.hpp"
#include "norvex/error.hpp"

namespace norvex::dbkit::detail {
void print_line(std::string_view text) {
  base::print_line(text);
}

void reject_nul(std::string_view value, std::string_view what) {
  if (value.find('\0') != std::string_view::npos) {
    throw ArgumentError(std::string(what) + " must not contain a NUL character");
  }
}

}  // namespace norvex::dbkit::detail
