#include "config/check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/capture.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

struct Case {
  std::string text;
  int result;
  std::string printed;
};

// Checks each file as `kind` and compares the result and the exact output.
void expect_checks(int kind, const std::vector<Case>& cases) {
  test::ScopedWorkDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    test::write_file("config.txt", c.text);
    test::OutputCapture capture;
    set_silent_mode(true);  // which does not hide the check's messages
    EXPECT_EQ(check_config_file("config.txt", kind), c.result);
    set_silent_mode(false);
    EXPECT_EQ(capture.out(), c.printed);
    EXPECT_EQ(test::read_file("config.txt"), c.text);  // no file is changed
  }
}

const std::string kWorkersInfo = "Info: workers not set, default workers:2 will be used\n";
const std::string kNoTimes = "Missing key: interval\nMissing key: fast_retry_interval\n";

TEST(CheckTest, HostFile) {
  const std::string good =
      "interval: \"15\"\nfast_retry_interval: \"3\"\nhost: \"a\"\nport: \"80\"\n";
  expect_checks(
      kHostFile,
      {{good, 1, kWorkersInfo},
       {good + "workers: \"50\"\n", 1, ""},
       {"* comment\n# interval = \"1\"\n\n"                            // 1-3
        "interval = \"15\"\nfast_retry_interval: 3\n"                  // 4-5
        "workers: \"0\"\nworkers: \"51\"\nport: \"1\"\nhost: \"a\"\n"  // 6-9
        "host = \"b:c\"\nhost: \"b\"\r\nport: \"2\"\n"                 // 10-12
        "description: \"x = y\"\nhost: \"c\"\nport: \"3\"\n",
        0,
        "Line 4: '=' is not supported, use ':' instead\n"
        "Line 5: invalid format, expected key : \"value\"\n"
        "Line 6: workers must be greater than 0\n"
        "Line 7: workers too high, maximum workers:50\n"
        "Line 10: invalid format, expected key : \"value\"\n"
        "Host #1 missing required key: port\n" +
            kNoTimes},
       {"interval:\"1\"\nfast_retry_interval:\"1\"\nworkers:\"2\"\nport:\"1\"\n", 0,
        "Missing key: host\n"},
       {good + "port:\"18O80\"\nhost:\"b\"\nport:\"70000\"\nport:\"\"\nport:\"65535\"\n", 0,
        "Line 5: invalid port \"18O80\" (use 1 to 65535)\n"
        "Line 7: invalid port \"70000\" (use 1 to 65535)\n"
        "Line 8: invalid port \"\" (use 1 to 65535)\n" +
            kWorkersInfo},
       {"port:\"1\"\nhost:\"a\"\nport:\"1\"\nhost:\"b\"\n", 0,
        kNoTimes + kWorkersInfo + "Host #2 missing required key: port\n"},
       {"", 0, kNoTimes + kWorkersInfo + "Missing key: host\n"}});
}

TEST(CheckTest, NotificationFile) {
  const std::string mail = "server: \"s\"\nemail: \"e\"\npassword: \"\"\nto: \"t\"\n";
  // A long line counts once per piece of 8191 characters.
  const std::string pieces = std::string(8191, '*') + "\n*" + std::string(8190, ' ') + "words\n";
  expect_checks(
      kNotifyFile,
      {{mail, 1, ""},  // an empty value counts as present
       {mail + "password: \"plain\"\ntoken:\"t\"\nchat_id:\"c\"\nx:\"y\"\n", 1, ""},
       {mail + "workers:\"0\"\nhost:\"a\"\n", 1, ""},  // host-file keys mean nothing here
       {"token:\"t\"\nchat_id:\"c\"\nteams_webhook:\"w\"\n", 0,
        "Missing key: server\nMissing key: email\nMissing key: password\nMissing key: to\n"},
       {mail + "chat_id:\"c\"\n", 0, "Telegram config incomplete: token missing\n"},
       {mail + "token:\"t\"\n", 0, "Telegram config incomplete: chat_id missing\n"},
       {"\xEF\xBB\xBFserver:\"s\"\nEmail:\"e\"\npassword:\"p\"\nto:\"t\"\n", 0,
        "Missing key: server\nMissing key: email\n"},  // the mark and key case hide keys
       {pieces + "bad line\n" + mail, 0,
        "Line 4: invalid format, expected key : \"value\"\n"
        "Line 5: invalid format, expected key : \"value\"\n"}});
}

}  // namespace
}  // namespace lw
