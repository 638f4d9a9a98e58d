// What the helper programs of the Wine tests write down is JSON; this is its string form.
#pragma once

#include <array>
#include <cstdio>
#include <string>

// JSON text of UTF-16 code units; everything outside printable ASCII is escaped as
// \uXXXX, so lone surrogates survive the trip.
inline std::string json_string(const std::wstring& text) {
  std::string out = "\"";
  for (const wchar_t unit : text) {
    const auto code = static_cast<unsigned>(unit);
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (code >= 0x20 && code < 0x7F) {
      out += static_cast<char>(code);
    } else {
      std::array<char, 8> escape{};
      std::snprintf(escape.data(), escape.size(), "\\u%04x", code);
      out += escape.data();
    }
  }
  return out + "\"";
}
