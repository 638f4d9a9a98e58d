// Fuzz target over Module1::ersetzen, checked against a plain model of left-to-right
// replacement without overlaps and against the arithmetic of its result.
//
// Input layout (FuzzedDataProvider): `find`, then `replacement`, each read from the front
// up to a backslash followed by any other byte (a doubled backslash stands for one); the
// rest is `text`. Bytes below 0x80 are their ASCII characters, the others stand for
// characters beyond Latin-1, so that all three texts are 16-bit text.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "launch/module1.h"

namespace zdrv::fuzz {
namespace {

void require(bool holds, const char* promise) {
  if (!holds) {
    std::fprintf(stderr, "broken promise: %s\n", promise);
    std::abort();
  }
}

std::u16string text_from(std::string_view bytes) {
  std::u16string text;
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    text += static_cast<char16_t>(value < 0x80 ? value : 0x0300 + value);
  }
  return text;
}

struct Replaced {
  std::u16string text;
  std::size_t occurrences = 0;
};

// Reads `text` once from left to right: an occurrence of `find` is replaced and skipped
// over, any other character is copied.
Replaced replace_by_reading(const std::u16string& text, const std::u16string& find,
                            const std::u16string& replacement) {
  Replaced out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text.compare(pos, find.size(), find) == 0) {
      out.text += replacement;
      pos += find.size();
      ++out.occurrences;
    } else {
      out.text += text[pos++];
    }
  }
  return out;
}

void check_replacement(const std::u16string& text, const std::u16string& find,
                       const std::u16string& replacement) {
  const std::u16string result = Module1::ersetzen(text, find, replacement);
  if (find.empty() || replacement == find) {
    require(result == text, "an empty find, or a replacement equal to it, changes nothing");
    return;
  }
  const Replaced model = replace_by_reading(text, find, replacement);
  require(result == model.text, "every occurrence is replaced, left to right, without overlaps");
  require(result.size() + model.occurrences * find.size() ==
              text.size() + model.occurrences * replacement.size(),
          "each replacement changes the length by the difference of the two lengths");
  if (model.occurrences == 0) {
    require(result == text, "a text without the find comes back unchanged");
  }
  // What the quote removal of kurzname relies on. (For longer finds the joints can form
  // new occurrences: "aabb" without "ab" is "ab", as the single left-to-right pass gives.)
  if (find.size() == 1 && replacement.find(find) == std::u16string::npos) {
    require(result.find(find) == std::u16string::npos,
            "a one-character find not in the replacement leaves no occurrence");
  }
}

}  // namespace
}  // namespace zdrv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace zdrv::fuzz;
  FuzzedDataProvider input(data, size);
  const std::u16string find = text_from(input.ConsumeRandomLengthString(32));
  const std::u16string replacement = text_from(input.ConsumeRandomLengthString(32));
  const std::u16string text = text_from(input.ConsumeRemainingBytesAsString());

  check_replacement(text, find, replacement);
  if (!text.empty()) {
    require(zdrv::Module1::ersetzen(text, text, replacement) == replacement,
            "the whole text as find gives the replacement");
  }
  require(zdrv::Module1::ersetzen(text, find, find) == text, "find for itself changes nothing");
  return 0;
}
