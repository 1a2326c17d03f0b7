#include "config/check.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::OutputCapture;
using test::write_file;

class CheckTest : public test::WorkDirTest {
 protected:
  // Checks `text` as a file of `kind`; returns the result, output in `printed`.
  int check(const std::string& text, int kind) {
    write_file("config.txt", text);
    OutputCapture capture;
    int result = check_config_file("config.txt", kind);
    printed = capture.out();
    return result;
  }
  std::string printed;
};

constexpr char kGoodHosts[] =
    "interval: \"15\"\nfast_retry_interval: \"3\"\nhost: \"a\"\nport: \"80\"\n";
constexpr char kGoodMail[] =
    "server: \"s\"\nemail: \"e\"\npassword: \"\"\nto: \"t\"\n";  // empty counts as present

TEST_F(CheckTest, MissingFile) {
  OutputCapture capture;
  EXPECT_EQ(check_config_file("nothing.txt", kHostFile), 0);
  EXPECT_EQ(capture.out(), "File not found: nothing.txt\n");
}

TEST_F(CheckTest, GoodFilesPass) {
  EXPECT_EQ(check(kGoodHosts, kHostFile), 1);
  EXPECT_EQ(printed, "Info: workers not set, default workers:2 will be used\n");
  EXPECT_EQ(check(std::string(kGoodHosts) + "workers: \"50\"\n", kHostFile), 1);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(check(kGoodMail, kNotifyFile), 1);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(check(std::string(kGoodMail) + "token:\"t\"\nchat_id:\"c\"\nfrom:\"f\"\nx:\"y\"\n",
                  kNotifyFile),
            1);
  // Silent mode does not hide the check's messages.
  set_silent_mode(true);
  EXPECT_EQ(check(kGoodHosts, kHostFile), 1);
  set_silent_mode(false);
  EXPECT_EQ(printed, "Info: workers not set, default workers:2 will be used\n");
}

TEST_F(CheckTest, LineErrorsCarryTheirNumbers) {
  EXPECT_EQ(check("* comment\n"
                  "# interval = \"1\"\n"
                  "\n"
                  "interval = \"15\"\n"       // 4: '=' alone
                  "fast_retry_interval: 3\n"  // 5: unquoted
                  "workers: \"0\"\n"          // 6
                  "workers: \"51\"\n"         // 7
                  "port: \"1\"\n"             // before any host: no effect
                  "host: \"a\"\n"
                  "host = \"b:c\"\n"  // 10: has a colon, but no value
                  "host: \"b\"\r\n"   // 11: host #1 had no port
                  "port: \"2\"\n"
                  "description: \"x = y\"\n"
                  "host: \"c\"\n"
                  "port: \"3\"\n",
                  kHostFile),
            0);
  EXPECT_EQ(printed,
            "Line 4: '=' is not supported, use ':' instead\n"
            "Line 5: invalid format, expected key : \"value\"\n"
            "Line 6: workers must be greater than 0\n"
            "Line 7: workers too high, maximum workers:50\n"
            "Line 10: invalid format, expected key : \"value\"\n"
            "Host #1 missing required key: port\n"
            "Missing key: interval\n"
            "Missing key: fast_retry_interval\n");
}

TEST_F(CheckTest, HostFileFinalChecks) {
  EXPECT_EQ(
      check("interval:\"1\"\nfast_retry_interval:\"1\"\nworkers:\"2\"\nport:\"1\"\n", kHostFile),
      0);
  EXPECT_EQ(printed, "Missing key: host\n");

  EXPECT_EQ(check("port:\"1\"\nhost:\"a\"\nport:\"1\"\nhost:\"b\"\n", kHostFile), 0);
  EXPECT_EQ(printed,
            "Missing key: interval\n"
            "Missing key: fast_retry_interval\n"
            "Info: workers not set, default workers:2 will be used\n"
            "Host #2 missing required key: port\n");

  EXPECT_EQ(check("", kHostFile), 0);
  EXPECT_EQ(printed,
            "Missing key: interval\n"
            "Missing key: fast_retry_interval\n"
            "Info: workers not set, default workers:2 will be used\n"
            "Missing key: host\n");
}

TEST_F(CheckTest, NotificationFileFinalChecks) {
  EXPECT_EQ(check("token:\"t\"\nchat_id:\"c\"\nteams_webhook:\"w\"\n", kNotifyFile), 0);
  EXPECT_EQ(printed,
            "Missing key: server\nMissing key: email\nMissing key: password\nMissing key: to\n");

  EXPECT_EQ(check(std::string(kGoodMail) + "chat_id:\"c\"\n", kNotifyFile), 0);
  EXPECT_EQ(printed, "Telegram config incomplete: token missing\n");
  EXPECT_EQ(check(std::string(kGoodMail) + "token:\"t\"\n", kNotifyFile), 0);
  EXPECT_EQ(printed, "Telegram config incomplete: chat_id missing\n");

  // Key case and a byte order mark in front of the first key both hide it.
  EXPECT_EQ(check("\xEF\xBB\xBFserver:\"s\"\nEmail:\"e\"\npassword:\"p\"\nto:\"t\"\n", kNotifyFile),
            0);
  EXPECT_EQ(printed, "Missing key: server\nMissing key: email\n");

  // Host-file keys mean nothing in a notification file, and the reverse.
  EXPECT_EQ(check(std::string(kGoodMail) + "workers:\"0\"\nhost:\"a\"\n", kNotifyFile), 1);
  EXPECT_EQ(printed, "");
}

TEST_F(CheckTest, LongLinesCountOncePerPiece) {
  // 8191 stars, then its line end as a blank piece: lines 1 and 2.
  std::string text = std::string(8191, '*') + "\n";
  // Two pieces again, the second of which is checked as a line (line 4).
  text += "*" + std::string(8190, ' ') + "stray words\n";
  text += "bad line\n";  // line 5
  EXPECT_EQ(check(text + kGoodMail, kNotifyFile), 0);
  EXPECT_EQ(printed,
            "Line 4: invalid format, expected key : \"value\"\n"
            "Line 5: invalid format, expected key : \"value\"\n");
}

TEST_F(CheckTest, ChangesNoFile) {
  std::string text = std::string(kGoodMail) + "password: \"plain\"\n";
  EXPECT_EQ(check(text, kNotifyFile), 1);
  EXPECT_EQ(test::read_file("config.txt"), text);
}

}  // namespace
}  // namespace lw
