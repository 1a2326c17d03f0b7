#include "config/notify_config.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

class NotifyConfigTest : public test::WorkDirTest {};

// Each load starts afresh; a channel is on only when all its settings are
// there, and a secret beyond its limit (never cut) turns it off, which is said.
TEST_F(NotifyConfigTest, ChannelsFollowTheSettings) {
  const std::string mail = "email:\"e\"\nto:\"t\"\nserver:\"s\"\n";
  const std::pair<std::string, std::string> cases[] = {
      // "email telegram teams iamalive"
      {mail + "password:\"p\"\niamalive:\"a@b\"\n", "1001"},
      {mail + "password:\"\"\n", "0000"},
      {"token:\"tok\"\nchat_id:\"42\"\nteams_webhook:\"https://h\"\n", "0110"},
      {"token:\"tok\"\nteams_webhook:\"https://h\"\nteams_webhook:\"\"\n", "0000"},
      {mail + "password:\"" + std::string(128, 'p') + "\"\n", "0000"},
      {"token:\"" + std::string(256, 't') + "\"\nchat_id:\"42\"\n", "0000"}};
  test::OutputCapture capture;
  NotifySettings s;
  for (const auto& [text, want] : cases) {
    test::write_file(kNotifyFileName, text);
    load_notify_config(&s);
    EXPECT_EQ(std::to_string(s.email_enabled) + std::to_string(s.telegram_enabled) +
                  std::to_string(s.teams_enabled) + std::to_string(s.iamalive_enabled),
              want)
        << text;
  }
  const std::string too_long = " in linkwatch_email.txt is too long (more than ";
  EXPECT_EQ(capture.out(), "password" + too_long + "127 characters); e-mail alerts are off\ntoken" +
                               too_long + "255 characters); Telegram alerts are off\n");
}

}  // namespace
}  // namespace lw
