#include "expected_boxes.h"

#include <algorithm>
#include <cstdio>

namespace zdrv::e2e {
namespace {

constexpr std::size_t kContext = 40;

std::string visible(const std::string& text, std::size_t from, std::size_t length) {
  std::string shown;
  const std::size_t to = std::min(text.size(), from + length);
  for (std::size_t i = from; i < to; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += text[i];
    }
  }
  return shown;
}

}  // namespace

::testing::AssertionResult SameText(const std::string& actual, const std::string& expected) {
  if (actual == expected) {
    return ::testing::AssertionSuccess();
  }
  const auto mismatch =
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  const auto at = static_cast<std::size_t>(mismatch.first - actual.begin());
  const std::size_t from = at > kContext ? at - kContext : 0;
  return ::testing::AssertionFailure()
         << "texts differ at byte " << at << " (sizes " << actual.size() << " and "
         << expected.size() << ")\n  actual:   ..." << visible(actual, from, 2 * kContext)
         << "\n  expected: ..." << visible(expected, from, 2 * kContext);
}

}  // namespace zdrv::e2e
