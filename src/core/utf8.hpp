// UTF-8 validation with the details a caller needs to report or repair bad input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vorpak {

struct Utf8Check {
  // Length of the longest valid prefix; equals the input size when all is valid.
  size_t valid_up_to = 0;
  // 0 when valid or when the input ends inside a sequence that is valid so far;
  // otherwise the length (1 to 3) of the maximal invalid subpart at valid_up_to.
  size_t error_len = 0;

  bool ok(size_t size) const { return valid_up_to == size; }
};

Utf8Check check_utf8(std::string_view bytes);

// Decodes leniently: each maximal invalid subpart becomes U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace vorpak
