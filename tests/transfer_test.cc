#include "support/transfer.h"

#include <gtest/gtest.h>

#include <string>

namespace lw {
namespace {

TEST(CurlConfigTest, QuotesWhatCouldEndTheValueAndNeverCutsIt) {
  char text[256] = "";
  const char* parts[] = {"a$b\"c%d&e\\f", ":", "l\nn\rc\tt\v", nullptr};
  ASSERT_TRUE(append_curl_config_line(text, sizeof text, "user", parts, 4));
  const char* tail[] = {"end\\"};  // a trailing backslash cannot escape the closing quote
  ASSERT_TRUE(append_curl_config_line(text, sizeof text, "url", tail, 1));
  EXPECT_STREQ(text, "user = \"a$b\\\"c%d&e\\\\f:l\\nn\\rc\\tt\v\"\nurl = \"end\\\\\"\n");

  const char* quoted[] = {"ab\"c"};  // user = "ab\"c"\n: 16 characters
  char exact[17] = "";
  EXPECT_TRUE(append_curl_config_line(exact, sizeof exact, "user", quoted, 1));
  char small[16] = "keep";
  EXPECT_FALSE(append_curl_config_line(small, sizeof small, "user", quoted, 1));
  EXPECT_STREQ(small, "keep");
}

}  // namespace
}  // namespace lw
