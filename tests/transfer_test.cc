#include "support/transfer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <utility>

#include "platform/platform.h"
#include "support/test_env.h"

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

std::string joined(const char* const* items, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += std::string(i ? "|" : "") + items[i];
  return text;
}

// One splitter for the envelope and the To: header: commas separate, white space
// (\v and \f too) around an address goes, empty pieces drop, an address with a control
// byte inside is refused, and an address the 1023-character cut goes through is dropped.
TEST(MailRecipientsTest, SplitsTrimsRefusesAndCutsWholeAddresses) {
  const std::string filler = std::string(1000, 'f') + "@x,";  // 1003 characters
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"", "", ""},
      {" a@x , b@y ", "a@x|b@y", ""},
      {",,a@x,,,b@y,", "a@x|b@y", ""},
      {"\v a@x\f,\t\r\nb@y\v\r\n, \f ,", "a@x|b@y", ""},
      {"a@x, b@y, a@x", "a@x|b@y|a@x", ""},
      {"a@x, b\r@y, c@z\x7f, d@w", "a@x|d@w", "b\r@y|c@z\x7f"},
      {"a@x\x01, b@y", "b@y", "a@x\x01"},
      {"Ops Team <a@x>", "Ops Team <a@x>", ""},
      {filler + "abcdefghijklmnopqrst", filler.substr(0, 1002) + "|abcdefghijklmnopqrst",
       ""},                                                            // 1023 characters: all kept
      {filler + "abcdefghijklmnopqrstu", filler.substr(0, 1002), ""},  // cut through: dropped
      {filler + "abcdefghijklmnopqrst,b@y", filler.substr(0, 1002) + "|abcdefghijklmnopqrst", ""},
      {filler + "abcdefghijklmnopqrst  , b@y", filler.substr(0, 1002) + "|abcdefghijklmnopqrst",
       ""},
      {filler + "abcdefghijklmnopqrst  c@z", filler.substr(0, 1002), ""},
  };
  for (const auto& [list, addresses, refused] : cases) {
    MailRecipients split;
    split_mail_recipients(list.c_str(), &split);
    EXPECT_EQ(joined(split.address, split.count), addresses) << list;
    EXPECT_EQ(joined(split.refused, split.refused_count), refused) << list;
    MailRequest request;
    ASSERT_TRUE(
        build_mail_request("smtp://m:587", "s@x", "u", "p", list.c_str(), "mail.txt", &request));
    std::string rcpt;
    for (int i = 0; request.argv[i]; ++i) {
      if (std::string(request.argv[i]) != "--mail-rcpt") continue;
      rcpt += (rcpt.empty() ? "" : "|") + std::string(request.argv[++i]);
    }
    EXPECT_EQ(rcpt, addresses) << list;
  }
}

TEST(MailRecipientsTest, ControlBytesAreShownEscaped) {
  char out[64];
  escape_control_bytes("a@x\r\n\t\x01\x1f\x7f \xC3\xA9\\", out, sizeof out);
  EXPECT_STREQ(out, "a@x\\r\\n\\t\\x01\\x1F\\x7F \xC3\xA9\\");
  char small[6];
  escape_control_bytes("ab\rcd", small, sizeof small);
  EXPECT_STREQ(small, "ab\\rc");
}

// The bot token is percent-encoded where it stands in the request address, so nothing in
// it can change the path; a token of its own alphabet stays as it is.
TEST(TelegramRequestTest, TokenCannotChangeThePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"123456789:AAH-x_y", "bot123456789:AAH-x_y/sendMessage?"},
      {"1:a/b?c#d", "bot1:a%2Fb%3Fc%23d/sendMessage?"},
      {"1:../..%2f x\"\\", "bot1:..%2F..%252f%20x%22%5C/sendMessage?"},
  };
  for (const auto& [token, placed] : cases) {
    TelegramRequest request;
    ASSERT_TRUE(build_telegram_request(token, "42", "hi", "reply.txt", &request));
    EXPECT_EQ(std::string(request.config.c_str()),
              std::string("url = \"https://api.telegram.org/") + placed +
                  "chat_id=42&text=hi\"\nshow-error\n")
        << token;
  }
}

// The curl a run uses, as "-test" of a copied program reports it: beside the program first, then
// the working folder, then PATH in its order. What cannot be started is passed over: on Windows
// a .cmd (with a log line that says why), on POSIX a file without the execute bit.
class CurlLookupTest : public test::WorkDirTest {};

TEST_F(CurlLookupTest, CurlIsFoundBesideTheProgramInTheWorkingFolderThenOnPath) {
  namespace fs = std::filesystem;
  const std::string exe = platform::kExecutableSuffix;
  for (const char* dir : {"prog", "cwd", "bin1", "bin2"}) fs::create_directory(dir);
  fs::copy_file(test::program_path("linkwatch"), "prog/linkwatch" + exe);
  test::write_file("cwd/linkwatch_host.txt",
                   "interval : \"60\"\nhost : \"127.0.0.1\"\nport : \"1\"\n");
  const std::string curl = "curl" + exe;
  const std::string path = (work_dir() / "bin1").string() + platform::kPathListSeparator +
                           (work_dir() / "bin2").string();
  // A script or a file that may not be run, placed where the search meets it before bin2.
  const std::string unusable = exe.empty() ? "bin1/curl" : "bin1/curl.cmd";
  const struct {
    std::vector<std::string> copies;
    std::string used;  // folder of the curl used; "" for none
  } cases[] = {
      {{"prog/" + curl, "cwd/" + curl, "bin2/" + curl}, "prog"},
      {{"cwd/" + curl, "bin2/" + curl}, "cwd"},
      {{"bin2/" + curl}, "bin2"},
      {{}, ""},
  };
  const char* saved = std::getenv("PATH");
  const std::string saved_path = saved ? saved : "";
  ASSERT_TRUE(platform::set_env("PATH", path.c_str()));
  for (const auto& c : cases) {
    for (const char* dir : {"prog", "cwd", "bin1", "bin2"}) fs::remove(fs::path(dir) / curl);
    for (const std::string& copy : c.copies) fs::copy_file(test::program_path("lw_testtool"), copy);
    test::write_file(unusable, "@echo off\n");
    ASSERT_TRUE(platform::change_directory((work_dir() / "cwd").string().c_str()));
    const auto [rc, out] =
        test::run_program({"-test"}, (work_dir() / "prog" / ("linkwatch" + exe)).string());
    ASSERT_TRUE(platform::change_directory(work_dir().string().c_str()));
    const std::string want =
        c.used.empty() ? "curl: not found beside linkwatch, in the working folder or on PATH"
                       : "curl: " + (work_dir() / c.used / curl).make_preferred().string() +
                             ", curl 8.99.0 (stand-in) test tool\n";
    EXPECT_NE(out.find(want), std::string::npos) << c.used << "\n" << out;
    const bool skip_logged =
        out.find("curl.cmd is skipped: a .cmd or .bat file runs only") != std::string::npos;
    EXPECT_EQ(skip_logged, !exe.empty() && (c.used == "bin2" || c.used.empty())) << out;
  }
  platform::set_env("PATH", saved_path.c_str());
}

}  // namespace
}  // namespace lw
