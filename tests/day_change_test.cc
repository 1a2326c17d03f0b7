// The whole monitoring run across midnight, on a clock that only moves while
// the run waits: the alive report goes out once, after the first cycle of
// the new day, through the real report, dispatch and a stand-in curl.

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/monitor.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/fake_tools.h"
#include "support/test_env.h"

namespace lw {
namespace {

int64_t g_now = 0;
int64_t g_stop_at = 0;
uint64_t g_pending_ms = 0;
// Number of mails sent by the time each wait began.
std::vector<size_t> g_mails_at_wait;
const test::FakeTools* g_tools = nullptr;

int64_t test_clock() { return g_now; }

// Waiting is what moves the clock; the run is stopped once it passes g_stop_at.
bool simulated_wait(uint32_t ms) {
  g_mails_at_wait.push_back(g_tools->calls("curl").size());
  g_pending_ms += ms;
  g_now += static_cast<int64_t>(g_pending_ms / 1000);
  g_pending_ms %= 1000;
  return g_now >= g_stop_at;
}

int64_t local_time_of(int year, int month, int day, int hour, int minute, int second) {
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

// The lines the run prints at the start of each cycle ("YYYY-mm-dd HH:MM:SS").
std::vector<std::string> cycle_stamps(const std::string& out) {
  std::vector<std::string> stamps;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() == 19 && line[4] == '-' && line[10] == ' ' && line[13] == ':') {
      stamps.push_back(line);
    }
    start = end + 1;
  }
  return stamps;
}

std::string subject_of(const std::string& mail) {
  const size_t start = mail.find("Subject: ");
  if (start == std::string::npos) return "";
  return mail.substr(start + 9, mail.find("\r\n", start) - start - 9);
}

class DayChangeTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::socket_startup());
    // Nobody accepts: leave room for every probe of the run in the backlog.
    ASSERT_TRUE(platform::listen_loopback(0, 128, &listener_));
    set_clock_for_testing(&test_clock);
    g_mails_at_wait.clear();
    g_pending_ms = 0;
  }
  void TearDown() override {
    set_clock_for_testing(nullptr);
    platform::close_listener(&listener_);
    g_tools = nullptr;
  }

  void write_config() {
    const std::string port = std::to_string(listener_.port);
    test::write_file("linkwatch_host.txt",
                     "interval : \"10\"\nfast_retry_interval : \"3\"\nworkers : \"2\"\n"
                     "host : \"127.0.0.1\"\nport : \"" +
                         port + "\"\ntimeoutsec : \"2\"\nalertcount : \"3\"\n");
    test::write_file("linkwatch_email.txt",
                     "server : \"smtps://smtp.example.com:465\"\n"
                     "email : \"monitor@example.com\"\npassword : \"secret\"\n"
                     "to : \"ops@example.com\"\niamalive : \"alive@example.com\"\n");
  }

  // Runs the monitor from `start` until the clock reaches `stop`.
  int run_monitor_between(int64_t start, int64_t stop, std::string* out) {
    g_now = start;
    g_stop_at = stop;
    auto table = std::make_unique<HostTable>();
    auto settings = std::make_unique<MonitorSettings>();
    auto notify = std::make_unique<NotifySettings>();
    auto run = std::make_unique<MonitorRun>();
    run->table = table.get();
    run->settings = settings.get();
    run->notify = notify.get();
    run->wait = &simulated_wait;
    test::OutputCapture capture;
    const int rc = run_monitor(*run);
    *out = capture.out();
    return rc;
  }

  platform::Listener listener_;
};

TEST_F(DayChangeTest, OneReportAfterTheFirstCycleOfTheNewDay) {
  test::FakeTools tools;
  ASSERT_TRUE(tools.ok());
  g_tools = &tools;
  write_config();

  std::string out;
  ASSERT_EQ(run_monitor_between(local_time_of(2025, 3, 31, 23, 59, 20),
                                local_time_of(2025, 4, 1, 0, 1, 0), &out),
            0);

  const std::vector<std::string> stamps = cycle_stamps(out);
  ASSERT_GE(stamps.size(), 6u) << out;
  size_t first_new_day = 0;
  while (first_new_day < stamps.size() && stamps[first_new_day].rfind("2025-04-01", 0) != 0) {
    ++first_new_day;
  }
  ASSERT_GT(first_new_day, 0u) << "the run must begin on the old day:\n" << out;
  ASSERT_LT(first_new_day + 1, stamps.size()) << "and cycle on into the new one:\n" << out;

  const auto mails = tools.calls("curl");
  ASSERT_EQ(mails.size(), 1u) << out;
  EXPECT_EQ(subject_of(mails[0].files.at("mailtext.txt")),
            "linkwatch is up and running at " + stamps[first_new_day]);

  // g_mails_at_wait[0] is the start delay; wait k + 1 follows cycle k.
  ASSERT_EQ(g_mails_at_wait.size(), stamps.size() + 1);
  for (size_t cycle = 0; cycle < stamps.size(); ++cycle) {
    SCOPED_TRACE(stamps[cycle]);
    EXPECT_EQ(g_mails_at_wait[cycle + 1], cycle < first_new_day ? 0u : 1u);
  }
}

TEST_F(DayChangeTest, StartingJustAfterMidnightSendsNothing) {
  test::FakeTools tools;
  ASSERT_TRUE(tools.ok());
  g_tools = &tools;
  write_config();

  std::string out;
  ASSERT_EQ(run_monitor_between(local_time_of(2025, 4, 1, 0, 0, 1),
                                local_time_of(2025, 4, 1, 0, 1, 0), &out),
            0);
  EXPECT_GE(cycle_stamps(out).size(), 3u) << out;
  EXPECT_TRUE(tools.calls("curl").empty()) << out;
}

}  // namespace
}  // namespace lw
