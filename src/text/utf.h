// Conversion between UTF-8 and UTF-16 that never fails: what cannot be converted (an
// invalid or truncated byte sequence, a lone surrogate) becomes U+FFFD.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zdrv::text {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// The code point at `pos`, advancing `pos` past it; an invalid, overlong or truncated
// sequence, or an encoded surrogate, yields U+FFFD and consumes one byte.
char32_t decode_utf8(std::string_view text, std::size_t& pos);

// The code point at `pos`, advancing `pos` past it; a lone surrogate yields U+FFFD.
char32_t decode_utf16(std::u16string_view text, std::size_t& pos);

void append_utf8(std::string& out, char32_t code);
void append_utf16(std::u16string& out, char32_t code);

std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);

}  // namespace zdrv::text
