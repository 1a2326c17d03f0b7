#include "support/fixed_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace lw {
namespace {

size_t format_into(char* dst, size_t cap, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  size_t n = format_bounded(dst, cap, fmt, args);
  va_end(args);
  return n;
}

TEST(FixedTextTest, CopyCutsToCapacity) {
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(copy_bounded(buf, sizeof buf, "abcdefghij"), 7u);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(copy_bounded(buf, sizeof buf, "abcdefg"), 7u);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(copy_bounded(buf, sizeof buf, nullptr), 0u);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(copy_bounded(buf, 1, "abc"), 0u);
  EXPECT_STREQ(buf, "");
  buf[0] = '#';
  EXPECT_EQ(copy_bounded(buf, 0, "abc"), 0u);
  EXPECT_EQ(buf[0], '#') << "capacity 0 writes nothing";

  FixedText<5> text("hello world");
  EXPECT_EQ(text, "hell");
  EXPECT_EQ(text.size(), 4u);
  text.assign(nullptr);
  EXPECT_TRUE(text.empty());
}

TEST(FixedTextTest, AppendCutsToCapacity) {
  char buf[8] = "abc";
  EXPECT_EQ(append_bounded(buf, sizeof buf, "de"), 5u);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(append_bounded(buf, sizeof buf, "fghij"), 7u);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(append_bounded(buf, sizeof buf, "x"), 7u);
  EXPECT_STREQ(buf, "abcdefg");
  EXPECT_EQ(append_bounded(buf, sizeof buf, nullptr), 7u);

  // A buffer without a terminator inside its capacity is left alone and
  // not read beyond its end.
  char raw[6] = {'1', '2', '3', '4', 'X', 'Y'};
  EXPECT_EQ(append_bounded(raw, 4, "z"), 4u);
  EXPECT_EQ(std::string(raw, 6), "1234XY");

  FixedText<6> text("ab");
  text.append("cd");
  text.append("efgh");
  EXPECT_EQ(text, "abcde");
}

TEST(FixedTextTest, FormatCutsToCapacity) {
  char buf[8];
  EXPECT_EQ(format_into(buf, sizeof buf, "%s-%d", "abcdef", 12345), 7u);
  EXPECT_STREQ(buf, "abcdef-");
  EXPECT_EQ(format_into(buf, sizeof buf, "%d", 42), 2u);
  EXPECT_STREQ(buf, "42");
  EXPECT_EQ(format_into(buf, 1, "%d", 42), 0u);
  EXPECT_STREQ(buf, "");

  FixedText<12> text;
  text.format("%s=%d", "port", 8080);
  EXPECT_EQ(text, "port=8080");
  text.append_format("/%s", "tcp-long-suffix");
  EXPECT_EQ(text, "port=8080/t");
  text.append_format("%d", 1);  // already full: stays as it is
  EXPECT_EQ(text, "port=8080/t");

  // 64-bit and size conversions behave the same with every C library.
  FixedText<64> wide;
  wide.format("%lld|%llu|%zu|%5.1f|%-3s|", static_cast<long long>(-1099511627776LL),
              static_cast<unsigned long long>(18446744073709551615ULL), static_cast<size_t>(7), 2.5,
              "x");
  EXPECT_EQ(wide, "-1099511627776|18446744073709551615|7|  2.5|x  |");
}

TEST(FixedTextTest, ToIntReadsLikeAtoiAndClamps) {
  struct Case {
    const char* in;
    int out;
  } cases[] = {
      {"42", 42},
      {"  -17abc", -17},
      {"+5", 5},
      {"\t\n\v\f\r 9", 9},
      {"12 34", 12},
      {"007", 7},
      {"", 0},
      {"abc", 0},
      {"-", 0},
      {"+-3", 0},
      {"- 3", 0},
      {"0x10", 0},
      {"\xA0"
       "5",
       0},  // not white space
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-2147483649", INT_MIN},
      {"4294967296", INT_MAX},
      {"-99999999999999999999999999", INT_MIN},
      {"99999999999999999999999999", INT_MAX},
      {"00000000000000000000000000012", 12},
  };
  for (const Case& c : cases) EXPECT_EQ(to_int(c.in), c.out) << "[" << c.in << "]";
  EXPECT_EQ(to_int(nullptr), 0);
}

}  // namespace
}  // namespace lw
