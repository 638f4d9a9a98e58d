#include "text/utf.h"

#include <gtest/gtest.h>

namespace zdrv::text {
namespace {

enum class Way { both, from_utf8, from_utf16 };

struct Conversion {
  std::string utf8;
  std::u16string utf16;
  Way way;
};

std::u16string replaced(std::size_t times) { return std::u16string(times, u'\uFFFD'); }

// Every byte that is not part of a valid sequence becomes one U+FFFD, as does every lone
// surrogate; nothing is read past the end and the next valid character survives.
TEST(Utf, ConvertsBothWaysAndReplacesWhatIsInvalid) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  const Conversion cases[] = {
      {"a\xC3\x84\xE2\x82\xAC\xE4\xB8\xAD\xF0\x9F\x98\x80", u"aÄ€中😀", Way::both},
      // The last and first characters of each length, and around the surrogates.
      {"\x7F\xC2\x80", u"\u007F\u0080", Way::both},
      {"\xDF\xBF\xE0\xA0\x80", u"\u07FF\u0800", Way::both},
      {"\xED\x9F\xBF\xEE\x80\x80", u"\uD7FF\uE000", Way::both},
      {"\xEF\xBF\xBF\xF0\x90\x80\x80", u"\uFFFF\U00010000", Way::both},
      {"\xF4\x8F\xBF\xBF", u"\U0010FFFF", Way::both},
      {"\xF4\x90\x80\x80", replaced(4), Way::from_utf8},  // U+110000
      // Both ends of the surrogate-pair range, and bits that vary across the planes.
      {"\xF0\x90\x8F\xBF\xF4\x8F\xB0\x80", u"\U000103FF\U0010FC00", Way::both},
      {"\xF0\x9D\x84\x9E\xF1\x8A\x96\xA5\xF1\x9B\x9B\x87\xF1\xB5\xA9\x9A",
       u"\U0001D11E\U0004A5A5\U0005B6C7\U00075A5A", Way::both},
      {"\xF3\x8A\x96\xA5\xF3\xA0\x80\x81\xF3\xB0\xBC\x8F\xF4\x8A\xAF\x8D",
       u"\U000CA5A5\U000E0001\U000F0F0F\U0010ABCD", Way::both},
      // Overlong forms of each length, and lead bytes that never begin a character.
      {"\xC0\xAF", replaced(2), Way::from_utf8},
      {"\xC0\x80\xC1\xBF", replaced(4), Way::from_utf8},
      {"\xE0\x9F\xBF", replaced(3), Way::from_utf8},
      {"\xF0\x8F\xBF\xBF", replaced(4), Way::from_utf8},
      {"\xF5\x80\x80\x80", replaced(4), Way::from_utf8},
      {"\xFF"
       "a",
       u"\uFFFDa", Way::from_utf8},
      // Encoded surrogates.
      {"\xED\xA0\x80", replaced(3), Way::from_utf8},
      {"\xED\xBF\xBF", replaced(3), Way::from_utf8},
      // Stray and missing continuation bytes.
      {"\x80"
       "a\xBF",
       u"\uFFFDa\uFFFD", Way::from_utf8},
      {"a\xE2\x82", u"a\uFFFD\uFFFD", Way::from_utf8},
      {"\xE2(\xA1", u"\uFFFD(\uFFFD", Way::from_utf8},
      {"\xC3"
       "a\xF0\x9F\x98",
       u"\uFFFDa\uFFFD\uFFFD\uFFFD", Way::from_utf8},
      // Lone surrogates of either kind, a high one before anything but a low one.
      {"a" + r + "b", std::u16string{u'a', char16_t{0xD800}, u'b'}, Way::from_utf16},
      {r + r, std::u16string{char16_t{0xDC00}, char16_t{0xD83D}}, Way::from_utf16},
      {r + r + r, std::u16string{char16_t{0xDFFF}, char16_t{0xDBFF}, char16_t{0xDBFF}},
       Way::from_utf16},
      {r + "\xEE\x80\x80" + r + "\xED\x9F\xBF",
       std::u16string{char16_t{0xDBFF}, char16_t{0xE000}, char16_t{0xD800}, char16_t{0xD7FF}},
       Way::from_utf16},
  };
  for (const auto& [utf8, utf16, way] : cases) {
    if (way != Way::from_utf16) {
      EXPECT_EQ(utf8_to_utf16(utf8), utf16) << ::testing::PrintToString(utf8);
    }
    if (way != Way::from_utf8) {
      EXPECT_EQ(utf16_to_utf8(utf16), utf8) << ::testing::PrintToString(utf8);
    }
  }
}

}  // namespace
}  // namespace zdrv::text
