#include "notify/alerts.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace lw {
namespace {

// Alertcount, span of the failures, error: the part of the subject they make.
TEST(ComposeAlertTest, DownSubjectNamesTheErrorAndANonNegativeSpan) {
  HostEntry host;
  host.host.assign("web01");
  host.port.assign("443");
  host.first_fail_time = 1740823200;
  const std::tuple<int, int64_t, const char*, const char*> cases[] = {
      {1, 0, "Connection refused", " Connection refused("},
      {3, -100, nullptr, " Timeout("},
      {3, 30, "Timeout", "). 30 seconds (3 times) from"},
      {3, -100, "", "). 0 seconds (3 times) from"},
      {3, 3000000000LL, "", "). 3000000000 seconds (3 times) from"},
  };
  NotifyMessage message;
  for (const auto& [alertcount, span, error, part] : cases) {
    host.alertcount = alertcount;
    host.last_fail_time = host.first_fail_time + span;
    compose_down_alert(host, error, 2, &message);
    const std::string subject = message.subject.c_str();
    EXPECT_TRUE(subject.starts_with("Alert for 443. web01 443")) << subject;
    EXPECT_NE(subject.find(part), std::string::npos) << subject;
    EXPECT_TRUE(subject.ends_with(" (Ping Success 2 of 3)")) << subject;
  }
}

}  // namespace
}  // namespace lw
