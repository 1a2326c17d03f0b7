#include "notify/alerts.h"

#include <gtest/gtest.h>

#include <ctime>
#include <iomanip>
#include <sstream>
#include <string>
#include <tuple>

namespace lw {
namespace {

int64_t local_seconds(const char* text) {
  std::tm tm{};
  std::istringstream(text) >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

TEST(ComposeAlertTest, DownAndRecoveryTexts) {
  HostEntry host;
  host.host.assign("web01");
  host.port.assign("443");
  host.alertcount = 3;
  host.first_fail_time = local_seconds("2025-03-01 10:00:00");
  host.last_fail_time = host.first_fail_time + 30;
  NotifyMessage message;
  compose_down_alert(host, "Timeout", 0, &message);
  const std::string subject =
      "Alert for 443. web01 443 Timeout(10:00:30). 30 seconds (3 times) from 2025-03-01 "
      "10:00:00 to 10:00:30 (Ping Success 0 of 3)";
  EXPECT_EQ(message.kind, kDownAlert);
  EXPECT_EQ(message.subject.c_str(), subject);
  EXPECT_EQ(message.body.c_str(), subject +
                                      "\nHost: web01\nPort: 443\nError: Timeout\nDuration: "
                                      "30 seconds\nCount: 3 times\nFrom: 2025-03-01 10:00:00"
                                      "\nTo: 10:00:30\nPing: Success 0 of 3\n");
  EXPECT_STREQ(message.chat_text.c_str(),
               "ALERT (DOWN)\nHost: web01\nPort: 443\nError: Timeout\nDuration: 30 sec\n"
               "Count: 3 times\nPing: 0/3\nTime: 10:00:30");

  host.alertcount_text.assign("0");  // as the file wrote it; the default 3 is in use
  compose_recovery_alert(host, local_seconds("2025-03-01 11:05:09"), &message);
  EXPECT_STREQ(message.subject.c_str(), "Back to normal for 443 web01:443");
  EXPECT_STREQ(message.body.c_str(),
               "Back to normal for 443 web01:443\nRecovered at 2025-03-01 11:05:09\nYour setting "
               "is consecutive 0 TIMEOUT to get alert.\n");
  EXPECT_STREQ(message.chat_text.c_str(),
               "RECOVERY\nHost: web01\nPort: 443\nRecovered at: 2025-03-01 11:05:09");

  // Alertcount, span of the failures and error: a part of the subject.
  const std::tuple<int, int64_t, const char*, const char*> cases[] = {
      {1, 0, "Connection refused", " Connection refused(10:00:00). 0 seconds (1 times) from"},
      {3, -100, nullptr, " Timeout(09:58:20). 0 seconds (3 times) from"},  // never negative
      {3, 3000000000LL, "", "). 3000000000 seconds (3 times) from"},
  };
  for (const auto& [alertcount, span, error, part] : cases) {
    host.alertcount = alertcount;
    host.last_fail_time = host.first_fail_time + span;
    compose_down_alert(host, error, 2, &message);
    EXPECT_NE(std::string(message.subject.c_str()).find(part), std::string::npos) << part;
    EXPECT_TRUE(std::string(message.subject.c_str()).ends_with(" (Ping Success 2 of 3)"));
  }
}

}  // namespace
}  // namespace lw
