#include "notify/selftest.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/output.h"

namespace lw {
namespace {

class SelfTestTest : public test::WorkDirTest {};

TEST_F(SelfTestTest, ConsoleShowsTheOutcomeOfEachChannel) {
  static HostTable table;  // too big for the stack
  table.host_count = 4;
  NotifySettings all = test::all_channels(), telegram_only = all;
  telegram_only.email_enabled = telegram_only.teams_enabled = 0;
  const struct {
    const NotifySettings& settings;
    int command_rc, silent, exit;
    std::string codes, out;
  } cases[] = {
      {telegram_only, 0, false, 0, "200 ",
       "Testing Email alert...\nEmail not configured\n\nTesting Telegram alert...\n"
       "Sending Telegram alert now .....\nTelegram command rc=0\nTelegram test OK (HTTP 200)\n"
       "\nTesting Microsoft Teams alert...\nTeams not configured\n"
       "\nTest result:\nEmail    : FAILED\nTelegram : OK\nTeams    : FAILED\n"},
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
  }
  set_silent_mode(false);
}

}  // namespace
}  // namespace lw
