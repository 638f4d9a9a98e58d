#include "text/utf.h"

#include <gtest/gtest.h>

namespace zdrv::text {
namespace {

TEST(Utf, RoundTripsEveryPlane) {
  const std::u16string text = u"aÄ€中😀";
  const std::string utf8 = utf16_to_utf8(text);
  EXPECT_EQ(utf8, "a\xC3\x84\xE2\x82\xAC\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_to_utf16(utf8), text);
}

// Every byte that is not part of a valid sequence becomes one U+FFFD; nothing is read past
// the end and the next valid character survives.
TEST(Utf, InvalidUtf8BecomesReplacementCharacters) {
  const std::pair<std::string, std::u16string> cases[] = {
      {"\xFF"
       "a",
       u"\uFFFDa"},
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong '/'
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"a\xE2\x82", u"a\uFFFD\uFFFD"},                    // truncated at the end
      {"\xE2(\xA1", u"\uFFFD(\uFFFD"},                    // continuation missing
  };
  for (const auto& [bytes, expected] : cases) {
    EXPECT_EQ(utf8_to_utf16(bytes), expected);
  }
}

TEST(Utf, LoneSurrogatesBecomeReplacementCharacters) {
  EXPECT_EQ(utf16_to_utf8(std::u16string{u'a', char16_t{0xD800}, u'b'}),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(utf16_to_utf8(std::u16string{char16_t{0xDC00}, char16_t{0xD83D}}),
            "\xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace zdrv::text
