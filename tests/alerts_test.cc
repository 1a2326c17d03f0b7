#include "notify/alerts.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

// The reminder names the outage's first failure and how long it has lasted.
TEST(AlertsTest, ReminderTellsSinceWhenAndHowLong) {
  HostEntry host;
  set_host_text(&host, "db1");
  set_port_text(&host, "5432");
  host.down_since = 1700000000;
  char since[32];
  format_local_time(host.down_since, "%Y-%m-%d %H:%M:%S", since, sizeof since);
  const std::tuple<int64_t, const char*, const char*> cases[] = {
      {45, "", "45 s, Timeout"},
      {12 * 60 + 5, "Connection refused", "12 min, Connection refused"},
      {3 * 3600 + 5 * 60, "x", "3 h 05 min, x"},
      {2 * 86400 + 4 * 3600 + 59, "x", "2 d 4 h, x"}};
  for (const auto& [lasted, error, tail] : cases) {
    NotifyMessage message;
    compose_reminder_alert(host, host, error, host.down_since + lasted, &message);
    std::string want = std::string("Still DOWN: db1 5432 since ") + since + " (" + tail;
    want.replace(want.find(", "), 2, "), ");
    EXPECT_EQ(message.subject.c_str(), want);
    EXPECT_EQ(message.kind, kReminderAlert);
    EXPECT_EQ(message.body.c_str(), want + "\n");
    EXPECT_NE(std::string(message.chat_text.c_str()).find("STILL DOWN\nHost: db1\nPort: 5432"),
              std::string::npos);
  }
}

class RaiseAlertTest : public test::WorkDirTest {};

// Each raise_* builds its message, logs its subject once and sends it on
// the calling thread to `to`, Telegram and Teams, once each.
TEST_F(RaiseAlertTest, LogsTheSubjectAndSendsToEveryAlertChannel) {
  HostEntry host;
  host.host.assign("db1");
  host.port.assign("5432");
  host.alertcount = 3;
  host.first_fail_time = host.last_fail_time = host.down_since = now_seconds() - 60;
  const NotifySettings settings = test::all_channels();
  const std::tuple<const char*, std::function<void()>, std::string> cases[] = {
      {"down", [&] { raise_down_alert(host, "Connection refused", settings); },
       "Alert for 5432. db1 5432 Connection refused("},
      {"recovery", [&] { raise_recovery_alert(host, settings); },
       "Back to normal for 5432 db1:5432"},
      {"reminder", [&] { raise_reminder_alert(host, "", settings); },
       "Still DOWN: db1 5432 since "},
  };
  for (const auto& [name, raise, subject] : cases) {
    SCOPED_TRACE(name);
    test::CommandRecorder recorder;
    test::OutputCapture capture;
    const size_t logged_before = test::log_messages().size();
    raise();
    const std::vector<std::string> log = test::log_messages();
    int subject_lines = 0;
    for (size_t i = logged_before; i < log.size(); ++i)
      subject_lines += log[i].rfind(subject, 0) == 0;
    EXPECT_EQ(subject_lines, 1);
    std::multiset<std::string> sent;
    for (const test::RecordedCommand& c : recorder.commands()) {
      if (c.argv.front().find("ping") != std::string::npos) continue;  // the down alert's series
      sent.insert(c.mail_file ? "mail to " + c.argv.back() : c.card_file ? "teams" : "telegram");
    }
    EXPECT_EQ(sent, (std::multiset<std::string>{"mail to a@x.org", "telegram", "teams"}));
  }
}

}  // namespace
}  // namespace lw
