#include "config/notify_config.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "support/capture.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

class NotifyConfigTest : public test::WorkDirTest {
 protected:
  // Loads `text` over the earlier settings; returns "email telegram teams iamalive" flags.
  std::string load(const std::string& text) {
    test::write_file(kNotifyFileName, text);
    load_notify_config(&s);
    return std::to_string(s.email_enabled) + std::to_string(s.telegram_enabled) +
           std::to_string(s.teams_enabled) + std::to_string(s.iamalive_enabled);
  }
  std::string fields() const {
    return std::string(s.server.c_str()) + "|" + s.email.c_str() + "|" + s.password.c_str() + "|" +
           s.from.c_str() + "|" + s.to.c_str() + "|" + s.iamalive.c_str() + "|" + s.token.c_str() +
           "|" + s.chat_id.c_str() + "|" + s.teams_webhook.c_str();
  }
  NotifySettings s;
};

TEST_F(NotifyConfigTest, FlagsFollowTheSettings) {
  s.email_enabled = 1;
  test::OutputCapture capture;
  load_notify_config(&s);
  EXPECT_EQ(s.email_enabled + s.telegram_enabled + s.teams_enabled + s.iamalive_enabled, 0);

  const std::string mail = "email:\"e\"\nto:\"t\"\n";
  const std::pair<std::string, std::string> cases[] = {
      {mail + "server:\"s\"\npassword:\"p\"\n", "1000"},
      {mail + "password:\"p\"\n", "0000"},  // nothing is kept from the load before
      {mail + "server:\"s\"\npassword:\"\"\n", "0000"},
      {"token:\"tok\"\nchat_id:\"42\"\n", "0100"},
      {"token:\"tok\"\n", "0000"},
      {"chat_id:\"42\"\n", "0000"},
      {"teams_webhook:\"https://h\"\n", "0010"},
      {"teams_webhook:\"https://h\"\nteams_webhook:\"\"\n", "0000"},
      {"iamalive:\"a@b\"\niamalive:\"nobody\"\n", "0001"},  // a later line keeps it on
      {"iamalive:\"nobody\"\n", "0000"},
      // A secret beyond its limit is not used (never cut), which is said.
      {mail + "server:\"s\"\npassword:\"" + std::string(128, 'p') + "\"\n", "0000"},
      {"token:\"" + std::string(256, 't') + "\"\nchat_id:\"42\"\n", "0000"}};
  for (const auto& [text, want] : cases) EXPECT_EQ(load(text), want) << text;
  const std::string too_long = " in linkwatch_email.txt is too long (more than ";
  EXPECT_EQ(capture.out(),
            "linkwatch_email.txt is not existed. It is unable to send email alerts\n"
            "password" +
                too_long +
                "127 characters); e-mail alerts are off\n"
                "token" +
                too_long + "255 characters); Telegram alerts are off\n");
  EXPECT_NE(test::read_file(kLogFileName).find("token" + too_long), std::string::npos);
}

TEST_F(NotifyConfigTest, ValuesAreRead) {
  const std::string to(1100, 't');
  EXPECT_EQ(load("server : \"smtps://m:465\"\nemail: \"ops@x\"\npassword : \"pa ss\" old\n"
                 "from: \"M <m@x>\"\nto: \"" +
                 to +
                 "\"\niamalive: \"boss@x\"\ntoken:\"1:ab\"\n"
                 "chat_id: \"-100\"\nteams_webhook: \"https://h/x?a=1\"\n"),
            "1111");
  EXPECT_EQ(fields(), "smtps://m:465|ops@x|pa ss|M <m@x>|" + to.substr(0, 1023) +
                          "|boss@x|1:ab|-100|https://h/x?a=1");
}

}  // namespace
}  // namespace lw
