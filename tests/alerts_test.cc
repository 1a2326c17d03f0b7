#include "notify/alerts.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/clock.h"

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

}  // namespace
}  // namespace lw
