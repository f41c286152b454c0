// Test helper: bytes written so that a failure names the text.
#pragma once

#include <string>
#include <string_view>

namespace vorpak {

// Bytes as \xNN where they are not printable, in double quotes.
inline std::string shown(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "\"";
  for (const unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out + "\"";
}

}  // namespace vorpak
