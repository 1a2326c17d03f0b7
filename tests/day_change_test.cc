// The monitoring run across midnight, through the real report and a stand-in curl.

#include <gtest/gtest.h>

#include <ctime>
#include <iomanip>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/globals.h"
#include "app/monitor.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/fake_tools.h"
#include "support/test_env.h"

namespace lw {
namespace {

int64_t g_now = 0;
const test::FakeTools* g_tools = nullptr;
std::vector<std::pair<int64_t, size_t>> g_waits;  // the time and the mails sent so far

// Waiting (whole seconds) is what moves the clock; the run stops after 12 cycles.
bool simulated_wait(uint32_t ms) {
  g_waits.emplace_back(g_now, g_tools->calls("curl").size());
  g_now += ms / 1000;
  return g_waits.size() > 12;
}

TEST(DayChangeTest, OneReportAfterTheFirstCycleOfTheNewDayAndNoneAtStartUp) {
  test::ScopedWorkDir dir;
  test::FakeTools tools;
  ASSERT_TRUE(tools.ok() && platform::socket_startup());
  g_tools = &tools;
  platform::Listener listener;  // nobody accepts: room in the backlog for every probe
  ASSERT_TRUE(platform::listen_loopback(0, 128, &listener));
  test::write_file("linkwatch_host.txt", "interval : \"10\"\nhost : \"127.0.0.1\"\nport : \"" +
                                             std::to_string(listener.port) + "\"\n");
  test::write_file("linkwatch_email.txt",
                   "server : \"smtps://mail.example.com\"\nemail : \"m@example.com\"\npassword : "
                   "\"p\"\nto : \"o@example.com\"\niamalive : \"a@example.com\"\n");
  std::tm tm{};
  std::istringstream("2025-04-01 00:00:00") >> std::get_time(&tm, "%Y-%m-%d %H:%M:%S");
  tm.tm_isdst = -1;
  const int64_t midnight = std::mktime(&tm);
  g_now = midnight - 40;
  MonitorRun run;
  run.table = &process_host_table();
  run.settings = &process_monitor_settings();
  run.notify = &process_notify_settings();
  run.wait = &simulated_wait;
  set_clock_for_testing([] { return g_now; });
  test::OutputCapture capture;
  EXPECT_EQ(run_monitor(run), 0);
  set_clock_for_testing(nullptr);
  platform::close_listener(&listener);

  // Wait 0 is the start delay (under 10 s); wait i follows a cycle at its time.
  size_t first = 1;  // the wait after the first cycle of the new day
  while (first < g_waits.size() && g_waits[first].first < midnight) ++first;
  for (size_t i = 1; i < g_waits.size(); ++i) EXPECT_EQ(g_waits[i].second, i < first ? 0u : 1u);
  char subject[128];
  format_local_time(g_waits.at(first).first,
                    "Subject: linkwatch is up and running at %Y-%m-%d %H:%M:%S\r\n", subject,
                    sizeof subject);
  EXPECT_NE(tools.calls("curl").at(0).files.at("mailtext.txt").find(subject), std::string::npos);
}

}  // namespace
}  // namespace lw
