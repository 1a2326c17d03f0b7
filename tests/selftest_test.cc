#include "notify/selftest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"

namespace lw {
namespace {

class SelfTestTest : public test::WorkDirTest {};

TEST_F(SelfTestTest, ConsoleLogAndMessagesOfEachOutcome) {
  char name[128] = "", when[64];
  ASSERT_TRUE(platform::computer_name(name, sizeof name));
  set_clock_for_testing([] { return int64_t{1740823200}; });  // 2025-03-01
  format_local_time(now_seconds(), "%Y-%m-%d %H:%M:%S", when, sizeof when);
  static HostTable table;  // too big for the stack
  table.host_count = 4;
  NotifySettings all = test::all_channels(), telegram_only = all;
  telegram_only.email_enabled = telegram_only.teams_enabled = 0;
  const struct {
    const NotifySettings& settings;
    int command_rc, silent, exit;
    std::string codes, out, log = "";  // the log is checked when given
  } cases[] = {
      {telegram_only, 0, false, 0, "200 ",
       "Testing Email alert...\nEmail not configured\n\nTesting Telegram alert...\n"
       "Sending Telegram alert now .....\nTelegram command rc=0\nTelegram test OK (HTTP 200)\n"
       "\nTesting Microsoft Teams alert...\nTeams not configured\n"
       "\nTest result:\nEmail    : FAILED\nTelegram : OK\nTeams    : FAILED\n",
       "Email test skipped: email not configured\nSend Telegram alert to chat_id [42]\n"
       "Telegram: sent (HTTP 200)\n"
       "Teams test skipped: teams not configured\n***TEST sending : linkwatch notification test\n"
       "Email test FAILED\nTelegram test OK\nTeams test FAILED\n"},
      {all, 7, true, 1, "000 ",  // every send fails, in silent mode
       "Testing Email alert...\nEmail test FAILED (curl 7: cannot connect)\n\nTesting Telegram "
       "alert...\nTelegram test FAILED (curl 7: cannot connect)\n\nTesting Microsoft Teams "
       "alert...\nTeams test FAILED (curl 7: cannot connect)\n"
       "\nTest result:\nEmail    : FAILED\nTelegram : FAILED\nTeams    : FAILED\n"},
  };
  test::CommandRecorder recorder;
  for (const auto& c : cases) {
    recorder.set_result(c.command_rc);
    recorder.set_answer(c.codes, R"({"ok":true})");
    set_silent_mode(c.silent);
    test::OutputCapture capture;
    EXPECT_EQ(run_notification_test(table, MonitorSettings(), c.settings), c.exit);
    EXPECT_EQ(capture.out(), c.out);
    std::string log;
    for (const std::string& line : test::log_messages()) log += line + "\n";
    EXPECT_TRUE(c.log.empty() || log == c.log) << log;
  }
  set_silent_mode(false);
  set_clock_for_testing(nullptr);

  // The run with every channel: the mail carries where and when it was sent from.
  FixedText<256> facts;
  facts.format("\r\n\r\nHost: %s\r\nTime: %s\r\nTargets: 4\r\nWorkers: 2\r\n", name, when);
  EXPECT_NE(recorder.commands().at(1).mail_file->find(facts.c_str()), std::string::npos);
  EXPECT_NE(recorder.commands().at(2).input->find("%20and%20Teams%20settings%20are%20working.\"\n"),
            std::string::npos);
}

}  // namespace
}  // namespace lw
