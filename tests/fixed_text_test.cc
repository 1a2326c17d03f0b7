#include "support/fixed_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace lw {
namespace {

// Copies and appends into a buffer of `cap` bytes holding "abc" are cut to fit.
TEST(FixedTextTest, TextIsCutToTheCapacity) {
  const struct {
    size_t cap;
    bool append;
    const char *src, *after;
  } cases[] = {{8, false, "abcdefghij", "abcdefg"},
               {1, false, "xyz", ""},
               {8, false, nullptr, ""},
               {8, true, "defghij", "abcdefg"},
               {4, true, "d", "abc"}};
  for (const auto& c : cases) {
    char buf[8] = "abc";
    size_t n = c.append ? append_bounded(buf, c.cap, c.src) : copy_bounded(buf, c.cap, c.src);
    EXPECT_EQ(std::to_string(n) + ":" + buf, std::to_string(std::strlen(c.after)) + ":" + c.after);
  }
  char raw[6] = {'1', '2', '3', '4', 'X', 'Y'};  // capacity 0, or no terminator within it
  EXPECT_EQ(copy_bounded(raw, 0, "abc") + append_bounded(raw, 4, "z"), 4u);
  EXPECT_EQ(std::string(raw, 6), "1234XY") << "left alone and not read beyond its end";
  FixedText<41> text;  // C99 conversions with every C library, cut to fit
  text.format("%lld|%llu|%zu|%s", -1099511627776LL, 18446744073709551615ULL, size_t{7}, "long");
  EXPECT_EQ(text, "-1099511627776|18446744073709551615|7|lo");
}

}  // namespace
}  // namespace lw
