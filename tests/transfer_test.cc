#include "support/transfer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(MailRequestTest, RecipientSplitting) {
  const std::string cut(1020, 'x');
  std::string many;  // 512 one-letter recipients fill the 1023 characters exactly
  for (int i = 0; i < 600; ++i) many += "a,";
  const struct {
    std::string list;
    std::vector<std::string> expected;
  } cases[] = {
      {",  a@x.org ,,b@y.org\t\r\n, c@z.org,", {"a@x.org", "b@y.org", "c@z.org"}},
      {" , ,,  ,\v,\f", {}},
      {cut + ",abcdef", {cut, "ab"}},  // the list is cut after 1023 characters
      {many, std::vector<std::string>(512, "a")},
  };
  for (const auto& c : cases) {
    MailRequest request;
    ASSERT_TRUE(build_mail_request("smtp://m", "s", "u", "p", c.list.c_str(), "m.txt", &request));
    std::vector<std::string> got;
    for (const char* const* arg = request.argv + 16; *arg; arg += 2) {
      EXPECT_STREQ(arg[0], "--mail-rcpt");
      got.emplace_back(arg[1]);
    }
    EXPECT_EQ(got, c.expected) << "list: " << c.list;
  }
}

}  // namespace
}  // namespace lw
