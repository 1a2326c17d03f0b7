#include "support/transfer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace lw {
namespace {

std::vector<std::string> args_of(const Command& command) {
  std::vector<std::string> args;
  for (const char* const* arg = command.argv; arg && *arg; ++arg) args.emplace_back(*arg);
  return args;
}

std::vector<std::string> mail_args(const std::vector<std::string>& recipients) {
  std::vector<std::string> args = {"curl",
                                   "-s",
                                   "smtp://mail.example:587",
                                   "--mail-from",
                                   "ops@example.com",
                                   "--ssl-reqd",
                                   "--config",
                                   "-",
                                   "-T",
                                   "mailtext.txt"};
  for (const std::string& r : recipients) {
    args.push_back("--mail-rcpt");
    args.push_back(r);
  }
  return args;
}

TEST(CurlConfigTest, QuotesEverythingThatCouldEndTheValue) {
  char text[256] = "";
  const char* parts[] = {"a$b\"c%d&e\\f", ":", "line\nnext\rcr\ttab\v"};
  ASSERT_TRUE(append_curl_config_line(text, sizeof text, "user", parts, 3));
  EXPECT_STREQ(text, "user = \"a$b\\\"c%d&e\\\\f:line\\nnext\\rcr\\ttab\v\"\n");

  // A trailing backslash cannot escape the closing quote.
  text[0] = '\0';
  const char* tail[] = {"secret\\"};
  ASSERT_TRUE(append_curl_config_line(text, sizeof text, "user", tail, 1));
  EXPECT_STREQ(text, "user = \"secret\\\\\"\n");

  // Lines accumulate; null parts count as empty.
  const char* empty[] = {nullptr};
  ASSERT_TRUE(append_curl_config_line(text, sizeof text, "url", empty, 1));
  EXPECT_STREQ(text, "user = \"secret\\\\\"\nurl = \"\"\n");
}

TEST(CurlConfigTest, NeverCutsAValue) {
  const char* parts[] = {"ab\"c"};
  // user = "ab\"c"\n is 16 characters: 17 bytes with the terminator.
  char exact[17] = "";
  EXPECT_TRUE(append_curl_config_line(exact, sizeof exact, "user", parts, 1));
  EXPECT_STREQ(exact, "user = \"ab\\\"c\"\n");

  char small[16] = "keep";
  EXPECT_FALSE(append_curl_config_line(small, sizeof small, "user", parts, 1));
  EXPECT_STREQ(small, "keep");
}

TEST(MailRequestTest, RecipientSplitting) {
  struct Case {
    const char* list;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {",  a@x.org ,,b@y.org\t\r\n, c@z.org,", {"a@x.org", "b@y.org", "c@z.org"}},
      {" , ,,  ,", {}},
      {"", {}},
      {"a@x.org,a@x.org", {"a@x.org", "a@x.org"}},
      // Vertical tab and form feed go in front, stay behind.
      {"\v\fa@x.org\v,b@y.org\f", {"a@x.org\v", "b@y.org\f"}},
      {"\v,\f", {}},
      {"first last <a@x.org>", {"first last <a@x.org>"}},
  };
  for (const Case& c : cases) {
    MailRequest request;
    ASSERT_TRUE(build_mail_request("smtp://mail.example:587", "ops@example.com", "u", "p", c.list,
                                   &request));
    EXPECT_EQ(args_of(request.command()), mail_args(c.expected)) << "list: " << c.list;
    EXPECT_EQ(request.recipient_count, static_cast<int>(c.expected.size()));
  }
}

TEST(MailRequestTest, LongListsAreCutAt1023Characters) {
  // 512 one-letter recipients fill the 1023 characters exactly.
  std::string list;
  for (int i = 0; i < 600; ++i) list += "a,";
  MailRequest request;
  ASSERT_TRUE(build_mail_request("smtp://m", "s", "u", "p", list.c_str(), &request));
  EXPECT_EQ(request.recipient_count, 512);

  std::string longer(1020, 'x');
  longer += ",abcdef";  // cut to ",ab"
  ASSERT_TRUE(build_mail_request("smtp://m", "s", "u", "p", longer.c_str(), &request));
  std::vector<std::string> args = args_of(request.command());
  ASSERT_EQ(args.size(), 14u);
  EXPECT_EQ(args[11], std::string(1020, 'x'));
  EXPECT_EQ(args[13], "ab");
}

TEST(MailRequestTest, RefusesServerThatCurlWouldReadAsAnOption) {
  MailRequest request;
  EXPECT_FALSE(build_mail_request("-K/etc/passwd", "s", "u", "p", "a@x.org", &request));
  EXPECT_FALSE(build_mail_request("", "s", "u", "p", "a@x.org", &request));
  EXPECT_EQ(request.command().argv[0], nullptr);
}

TEST(TelegramRequestTest, TokenIsQuotedAndLargestTextsStillFit) {
  TelegramRequest request;
  ASSERT_TRUE(build_telegram_request("1:A\"B\\", "-1", "x", &request));
  EXPECT_STREQ(
      request.command().input,
      "url = \"https://api.telegram.org/bot1:A\\\"B\\\\/sendMessage?chat_id=-1&text=x\"\n");

  std::string token(255, '\\');  // every byte escaped
  std::string chat(511, '%');
  std::string text(8190, 'A');
  ASSERT_TRUE(build_telegram_request(token.c_str(), chat.c_str(), text.c_str(), &request));
  EXPECT_NE(std::string(request.config.c_str()).find(text + "\"\n"), std::string::npos);
}

TEST(TeamsRequestTest, RefusesWebHookThatCurlWouldReadAsAnOption) {
  TeamsRequest request;
  EXPECT_FALSE(build_teams_request("--upload-file=/etc/passwd", &request));
  EXPECT_FALSE(build_teams_request("", &request));
  EXPECT_EQ(request.command().argv[0], nullptr);
}

}  // namespace
}  // namespace lw
