#include "notify/selftest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::CommandRecorder;
using test::log_messages;

constexpr int64_t kTestTime = 1740823200;  // 2025-03-01, some hour of the day
int64_t fixed_clock() { return kTestTime; }

NotifySettings all_channels() {
  NotifySettings s;
  s.server.assign("smtp://mail.example:587");
  s.email.assign("ops@example.com");
  s.password.assign("secret");
  s.to.assign("a@x.org");
  s.token.assign("1:T");
  s.chat_id.assign("42");
  s.teams_webhook.assign("https://hook.example/t");
  s.email_enabled = 1;
  s.telegram_enabled = 1;
  s.teams_enabled = 1;
  return s;
}

class SelfTestTest : public test::WorkDirTest {
 protected:
  SelfTestTest() {
    set_clock_for_testing(&fixed_clock);
    table_.host_count = 4;
    monitor_.workers = 7;
    char name[128];
    host_ = platform::computer_name(name, sizeof name) && name[0] ? name : "unknown-host";
    char when[64];
    format_local_time(kTestTime, "%Y-%m-%d %H:%M:%S", when, sizeof when);
    time_ = when;
  }
  ~SelfTestTest() override {
    set_clock_for_testing(nullptr);
    set_silent_mode(false);
  }

  std::string long_text() const {
    return "This is a test message from linkwatch.\n\nHost: " + host_ + "\nTime: " + time_ +
           "\nTargets: 4\nWorkers: 7\n\nIf you received this message, notification is working "
           "correctly.\n";
  }

  HostTable table_;
  MonitorSettings monitor_;
  std::string host_;
  std::string time_;
};

TEST_F(SelfTestTest, EveryChannelWorking) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  EXPECT_EQ(run_notification_test(table_, monitor_, all_channels()), 0);

  EXPECT_EQ(capture.out(),
            "Testing Email alert...\n"
            "Sending mail alert now .....\nEmail command rc=0\n"
            "Email test OK\n"
            "\nTesting Telegram alert...\n"
            "Sending Telegram alert now .....\nTelegram command rc=0\n"
            "Telegram test OK\n"
            "\nTesting Microsoft Teams alert...\n"
            "Sending Microsoft Teams alert ...\nTeams command rc=0\n"
            "Teams test OK\n"
            "\nTest result:\n"
            "Email    : OK\n"
            "Telegram : OK\n"
            "Teams    : OK\n");
  EXPECT_EQ(log_messages(),
            (std::vector<std::string>{
                "Send Mail Alert to a@x.org via SMTP server smtp://mail.example:587",
                "Send Telegram alert to chat_id [42]", "Send Microsoft Teams alert",
                "***TEST sending : linkwatch notification test", "Email test OK",
                "Telegram test OK", "Teams test OK"}));

  std::vector<test::RecordedCommand> commands = recorder.commands();
  ASSERT_EQ(commands.size(), 3u);
  std::string body = long_text();
  std::string crlf_body;
  for (char c : body) crlf_body += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(commands[0].mail_file,
            "From: ops@example.com\r\nTo: a@x.org\r\n"
            "Subject: [TEST] linkwatch notification test\r\n"
            "Content-Type: text/plain; charset=UTF-8\r\n\r\n" +
                crlf_body + "\r\n");

  // The short text, percent-encoded, ends without a line feed.
  const std::string& url = *commands[1].input;
  EXPECT_NE(url.find("&text=%5BTEST%5D%20linkwatch%20notification%20test%0AHost%3A%20"),
            std::string::npos);
  EXPECT_NE(url.find("%0ATargets%3A%204%0AWorkers%3A%207%0AEmail%2C%20Telegram%20and%20Teams%20"
                     "settings%20are%20working.\"\n"),
            std::string::npos);

  EXPECT_NE(commands[2].card_file->find("\"text\": \"[TEST] linkwatch notification test\""),
            std::string::npos);
  EXPECT_NE(commands[2].card_file->find(
                "\"text\": \"This is a test message from linkwatch.\\n\\nHost: " + host_),
            std::string::npos);
}

TEST_F(SelfTestTest, OnlyTelegramConfigured) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  NotifySettings settings = all_channels();
  settings.email_enabled = 0;
  settings.teams_enabled = 0;
  EXPECT_EQ(run_notification_test(table_, monitor_, settings), 0);
  EXPECT_EQ(capture.out(),
            "Testing Email alert...\n"
            "Email not configured\n"
            "\nTesting Telegram alert...\n"
            "Sending Telegram alert now .....\nTelegram command rc=0\n"
            "Telegram test OK\n"
            "\nTesting Microsoft Teams alert...\n"
            "Teams not configured\n"
            "\nTest result:\n"
            "Email    : FAILED\n"
            "Telegram : OK\n"
            "Teams    : FAILED\n");
  EXPECT_EQ(log_messages(),
            (std::vector<std::string>{
                "Email test skipped: email not configured", "Send Telegram alert to chat_id [42]",
                "Teams test skipped: teams not configured",
                "***TEST sending : linkwatch notification test", "Email test FAILED",
                "Telegram test OK", "Teams test FAILED"}));
  EXPECT_EQ(recorder.commands().size(), 1u);
}

TEST_F(SelfTestTest, NothingConfiguredOrEverythingFailing) {
  CommandRecorder recorder;
  const std::string table =
      "\nTest result:\nEmail    : FAILED\nTelegram : FAILED\nTeams    : FAILED\n";
  {
    test::OutputCapture capture;
    NotifySettings none;
    none.to.assign("a@x.org");  // the other e-mail settings are missing
    EXPECT_EQ(run_notification_test(table_, monitor_, none), 1);
    EXPECT_EQ(capture.out(),
              "Testing Email alert...\nEmail not configured\n"
              "\nTesting Telegram alert...\nTelegram not configured\n"
              "\nTesting Microsoft Teams alert...\nTeams not configured\n" +
                  table);
    EXPECT_TRUE(recorder.commands().empty());
  }
  {
    recorder.set_result(7);
    test::OutputCapture capture;
    EXPECT_EQ(run_notification_test(table_, monitor_, all_channels()), 1);
    EXPECT_EQ(capture.out(),
              "Testing Email alert...\n"
              "Sending mail alert now .....\nEmail command rc=7\n"
              "Email test FAILED\n"
              "\nTesting Telegram alert...\n"
              "Sending Telegram alert now .....\nTelegram command rc=7\n"
              "Telegram test FAILED\n"
              "\nTesting Microsoft Teams alert...\n"
              "Sending Microsoft Teams alert ...\nTeams command rc=7\n"
              "Teams test FAILED\n" +
                  table);
  }
  EXPECT_FALSE(test::file_exists("mailtext.txt"));
  EXPECT_FALSE(test::file_exists("teamsmsg.json"));
}

TEST_F(SelfTestTest, SilentModeHidesOnlyTheChannelLines) {
  CommandRecorder recorder;
  test::OutputCapture capture;
  set_silent_mode(true);
  EXPECT_EQ(run_notification_test(table_, monitor_, all_channels()), 0);
  EXPECT_EQ(capture.out(),
            "Testing Email alert...\nEmail test OK\n"
            "\nTesting Telegram alert...\nTelegram test OK\n"
            "\nTesting Microsoft Teams alert...\nTeams test OK\n"
            "\nTest result:\nEmail    : OK\nTelegram : OK\nTeams    : OK\n");
  EXPECT_EQ(recorder.commands().size(), 3u);
}

}  // namespace
}  // namespace lw
