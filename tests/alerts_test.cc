#include "notify/alerts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "support/clock.h"
#include "support/output.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

// Seconds since the epoch of a local date and time.
int64_t local_seconds(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

HostEntry web01() {
  HostEntry host;
  host.host.assign("web01");
  host.port.assign("443");
  host.alertcount = 3;
  host.alertcount_text.assign("3");
  return host;
}

TEST(ComposeDownAlertTest, WorkedExample) {
  HostEntry host = web01();
  host.first_fail_time = local_seconds(2025, 3, 1, 10, 0, 0);
  host.last_fail_time = local_seconds(2025, 3, 1, 10, 0, 30);
  auto message = std::make_unique<NotifyMessage>();
  compose_down_alert(host, "Timeout", 0, message.get());

  const std::string subject =
      "Alert for 443. web01 443 Timeout(10:00:30). 30 seconds (3 times) from 2025-03-01 "
      "10:00:00 to 10:00:30 (Ping Success 0 of 3)";
  EXPECT_EQ(message->kind, kDownAlert);
  EXPECT_EQ(message->subject.c_str(), subject);
  EXPECT_EQ(message->body.c_str(), subject +
                                       "\nHost: web01\nPort: 443\nError: Timeout\nDuration: 30 "
                                       "seconds\nCount: 3 times\nFrom: 2025-03-01 10:00:00\nTo: "
                                       "10:00:30\nPing: Success 0 of 3\n");
  EXPECT_STREQ(message->chat_text.c_str(),
               "ALERT (DOWN)\nHost: web01\nPort: 443\nError: Timeout\nDuration: 30 sec\nCount: 3 "
               "times\nPing: 0/3\nTime: 10:00:30");
}

TEST(ComposeDownAlertTest, ErrorTextDurationAndPingCount) {
  HostEntry host = web01();
  host.alertcount = 1;
  host.first_fail_time = local_seconds(2025, 12, 31, 23, 59, 59);
  host.last_fail_time = host.first_fail_time;
  auto message = std::make_unique<NotifyMessage>();

  // One failure: no duration. A refusal carries its own text.
  compose_down_alert(host, "Connection refused", 2, message.get());
  EXPECT_STREQ(message->subject.c_str(),
               "Alert for 443. web01 443 Connection refused(23:59:59). 0 seconds (1 times) from "
               "2025-12-31 23:59:59 to 23:59:59 (Ping Success 2 of 3)");
  EXPECT_NE(std::string(message->body.c_str()).find("\nDuration: 0 seconds\n"), std::string::npos);
  EXPECT_NE(std::string(message->chat_text.c_str()).find("\nDuration: 0 sec\n"), std::string::npos);
  EXPECT_NE(std::string(message->chat_text.c_str()).find("\nPing: 2/3\n"), std::string::npos);

  // No error text means a time-out; times out of order never give a
  // negative duration.
  host.last_fail_time = host.first_fail_time - 100;
  for (const char* error : {static_cast<const char*>(nullptr), ""}) {
    compose_down_alert(host, error, 0, message.get());
    const std::string body = message->body.c_str();
    EXPECT_NE(body.find("\nError: Timeout\n"), std::string::npos);
    EXPECT_NE(body.find("\nDuration: 0 seconds\n"), std::string::npos);
  }
}

TEST(ComposeDownAlertTest, DurationBeyondThirtyTwoBits) {
  HostEntry host = web01();
  host.first_fail_time = local_seconds(2025, 3, 1, 10, 0, 0);
  host.last_fail_time = host.first_fail_time + 3000000000LL;
  auto message = std::make_unique<NotifyMessage>();
  compose_down_alert(host, "Timeout", 0, message.get());
  EXPECT_NE(std::string(message->subject.c_str()).find(" 3000000000 seconds (3 times)"),
            std::string::npos);
}

TEST(ComposeRecoveryAlertTest, TextsAndAlertcountAsWritten) {
  HostEntry host = web01();
  host.alertcount = 30;  // the file said 0, the default took over
  host.alertcount_text.assign("0");
  auto message = std::make_unique<NotifyMessage>();
  compose_recovery_alert(host, local_seconds(2025, 3, 1, 11, 5, 9), message.get());

  EXPECT_EQ(message->kind, kRecoveryAlert);
  EXPECT_STREQ(message->subject.c_str(), "Back to normal for 443 web01:443");
  EXPECT_STREQ(message->body.c_str(),
               "Back to normal for 443 web01:443\nRecovered at 2025-03-01 11:05:09\nYour setting "
               "is consecutive 0 TIMEOUT to get alert.\n");
  EXPECT_STREQ(message->chat_text.c_str(),
               "RECOVERY\nHost: web01\nPort: 443\nRecovered at: 2025-03-01 11:05:09");
}

// Records every command instead of running it; ping gets no answer.
struct CommandLog {
  std::vector<std::vector<std::string>> commands;
  static int hook(void* context, const Command& command, char*) {
    std::vector<std::string> argv;
    for (const char* const* arg = command.argv; *arg; ++arg) argv.emplace_back(*arg);
    static_cast<CommandLog*>(context)->commands.push_back(argv);
    return 1;
  }
};

int64_t fixed_now() { return 1740823509; }

class RaiseAlertTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    set_command_hook_for_testing(&CommandLog::hook, &commands_);
    set_clock_for_testing(&fixed_now);
  }
  void TearDown() override {
    set_command_hook_for_testing(nullptr, nullptr);
    set_clock_for_testing(nullptr);
  }
  CommandLog commands_;
};

TEST_F(RaiseAlertTest, WithoutChannelsEachAlertPingsAsNeededAndLogsItsSubject) {
  HostEntry host = web01();
  host.resolved_ip.assign("192.0.2.1");
  host.first_fail_time = local_seconds(2025, 3, 1, 10, 0, 0);
  host.last_fail_time = local_seconds(2025, 3, 1, 10, 0, 30);
  const NotifySettings none;

  raise_down_alert(host, "", none);
  // Three pings of the configured name, nothing else.
  ASSERT_EQ(commands_.commands.size(), 3u);
  for (const auto& argv : commands_.commands) {
    EXPECT_EQ(argv.front(), "ping");
    EXPECT_EQ(argv.back(), "web01");
  }

  raise_recovery_alert(host, none);
  EXPECT_EQ(commands_.commands.size(), 3u);  // no ping for a recovery

  const std::string eol = test::text_line_end();
  const std::string log = test::read_file(kLogFileName);
  const std::string down =
      std::string(" - Alert for 443. web01 443 Timeout(10:00:30). 30 seconds (3 times) from ") +
      "2025-03-01 10:00:00 to 10:00:30 (Ping Success 0 of 3)" + eol;
  const std::string up = " - Back to normal for 443 web01:443" + eol;
  EXPECT_NE(log.find(down), std::string::npos) << log;
  EXPECT_NE(log.find(up), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
}

}  // namespace
}  // namespace lw
