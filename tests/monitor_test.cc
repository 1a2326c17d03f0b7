#include "app/monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/instance.h"
#include "platform/platform.h"
#include "support/about.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::OutputCapture;
using test::read_file;
using test::WorkDirTest;
using test::write_file;

// ---- Recording seams ------------------------------------------------------

// What the fake check saw, in order: +i when host i started, -i when it ended.
std::mutex events_mutex;
std::condition_variable events_changed;
std::vector<int> events;
int active_checks = 0;
int rendezvous = 1;           // a check waits (briefly) until this many run
std::vector<int> fail_hosts;  // hosts whose check fails
int64_t clock_step = 0;       // added to the test clock by every check
std::atomic<int> check_calls{0};

std::atomic<int64_t> fake_now{0};
int64_t fake_clock() { return fake_now.load(); }

uint32_t fake_check(WorkerSlot* slot, const WorkerContext& context) {
  EXPECT_NE(context.table, nullptr);
  std::unique_lock<std::mutex> lock(events_mutex);
  events.push_back(slot->host_index);
  ++active_checks;
  events_changed.notify_all();
  // Lets the threads of one batch meet, so that a batch run one thread after
  // the other shows in the event order; gives up after a while.
  events_changed.wait_for(lock, std::chrono::milliseconds(400),
                          [] { return active_checks >= rendezvous; });
  for (int host : fail_hosts) {
    if (host == slot->host_index) slot->failed = 1;
  }
  fake_now += clock_step;
  --active_checks;
  events.push_back(-slot->host_index);
  ++check_calls;
  return 0;
}

struct ReportCall {
  HostTable* table;
  int64_t at;
};
std::vector<ReportCall> reports;
void fake_report(HostTable* table, const MonitorSettings&, const NotifySettings&) {
  reports.push_back({table, fake_now.load()});
}

std::vector<uint32_t> waits;
bool recording_wait(uint32_t ms) {
  waits.push_back(ms);
  return false;
}
// Waits briefly whatever is asked, so that a run cycles fast but still
// notices a stop request.
bool short_wait(uint32_t) { return platform::wait_for_stop(5); }

bool fail_thread_of_host_2(int32_t host_index) { return host_index == 2; }

class MonitorTest : public WorkDirTest {
 protected:
  void SetUp() override {
    events.clear();
    active_checks = 0;
    rendezvous = 1;
    fail_hosts.clear();
    clock_step = 0;
    check_calls = 0;
    reports.clear();
    waits.clear();
    fake_now = local_time(2026, 3, 14, 12, 0, 0);
    set_clock_for_testing(fake_clock);
    set_silent_mode(true);
    platform::clear_stop_request();

    run_.table = &table_;
    run_.settings = &settings_;
    run_.notify = &notify_;
    run_.check = fake_check;
    run_.report = fake_report;
    run_.wait = recording_wait;
  }
  void TearDown() override {
    set_clock_for_testing(nullptr);
    set_silent_mode(false);
    platform::clear_stop_request();
  }

  static int64_t local_time(int year, int month, int day, int hour, int minute, int second) {
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

  void add_hosts(int count) {
    for (int i = 1; i <= count; ++i) {
      table_.hosts[i].host.format("h%d", i);
      table_.hosts[i].port.format("%d", 1000 + i);
    }
    table_.host_count = count;
  }

  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
  MonitorRun run_;
};

// ---- Batches --------------------------------------------------------------

TEST_F(MonitorTest, ChecksHostsInBatchesOfWorkersJoinedBeforeTheNext) {
  add_hosts(5);
  settings_.workers = 2;
  rendezvous = 2;
  EXPECT_EQ(run_cycle(run_), 0);

  ASSERT_EQ(events.size(), 10u);
  // Each batch: both starts (in any order), then both ends.
  auto batch = [](std::vector<int> got, std::vector<int> want) {
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    return got == want;
  };
  EXPECT_TRUE(batch({events[0], events[1]}, {1, 2}));
  EXPECT_TRUE(batch({events[2], events[3]}, {-1, -2}));
  EXPECT_TRUE(batch({events[4], events[5]}, {3, 4}));
  EXPECT_TRUE(batch({events[6], events[7]}, {-3, -4}));
  EXPECT_EQ(events[8], 5);
  EXPECT_EQ(events[9], -5);
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(run_.slots[i].host_index, i);
}

TEST_F(MonitorTest, MoreWorkersThanHostsMakeOneBatch) {
  add_hosts(3);
  settings_.workers = 50;
  rendezvous = 3;
  run_cycle(run_);
  ASSERT_EQ(events.size(), 6u);
  for (int i = 0; i < 3; ++i) EXPECT_GT(events[i], 0) << "all three start before any ends";
}

// ---- Failure mark and the wait --------------------------------------------

TEST_F(MonitorTest, OneFailedCheckMakesTheNextWaitTheFastRetry) {
  add_hosts(3);
  settings_.interval.assign("20");
  settings_.fast_retry_interval = 4;

  fail_hosts = {3};
  int mark = run_cycle(run_);
  EXPECT_EQ(mark, 1);
  EXPECT_FALSE(wait_for_next_cycle(run_, mark));

  fail_hosts.clear();
  mark = run_cycle(run_);
  EXPECT_EQ(mark, 0);
  EXPECT_FALSE(wait_for_next_cycle(run_, mark));

  EXPECT_EQ(waits, (std::vector<uint32_t>{4000, 20000}));
  // The slot flag is reset for every cycle.
  EXPECT_EQ(run_.slots[3].failed, 0);
}

TEST_F(MonitorTest, ThreadThatCannotStartIsLoggedAndCountsAsFailure) {
  add_hosts(3);
  run_.thread_start_fault = fail_thread_of_host_2;
  EXPECT_EQ(run_cycle(run_), 1);
  // Host 2 was not checked, the others were.
  EXPECT_EQ(check_calls.load(), 2);
  for (int e : events) EXPECT_NE(std::abs(e), 2);
  EXPECT_EQ(run_.slots[2].failed, 1);
  std::string log = read_file(kLogFileName);
  EXPECT_NE(log.find(" - Unable to create worker thread for h2:1002"), std::string::npos) << log;
}

TEST_F(MonitorTest, InvalidPortsAloneKeepTheNormalWait) {
  // The real worker: a port that is no number is reported but not a failure.
  table_.hosts[1].host.assign("127.0.0.1");
  table_.hosts[1].port.assign("abc");
  table_.hosts[2].host.assign("127.0.0.1");
  table_.hosts[2].port.assign("0");
  table_.host_count = 2;
  run_.check = nullptr;
  resolve_all_hosts(&table_);
  EXPECT_EQ(run_cycle(run_), 0);
}

TEST_F(MonitorTest, NormalWaitComesFromTheIntervalText) {
  struct Case {
    const char* interval;
    int seconds;
  } cases[] = {{"0", 15}, {"-3", 15}, {"abc", 15}, {"", 15}, {" 20x", 20}, {"+7", 7}, {"1", 1}};
  for (const Case& c : cases) {
    settings_.interval.assign(c.interval);
    EXPECT_EQ(normal_wait_seconds(settings_), c.seconds) << '"' << c.interval << '"';
  }
  settings_.interval.assign("9");
  settings_.fast_retry_interval = 2;
  EXPECT_EQ(next_wait_seconds(settings_, 0), 9);
  EXPECT_EQ(next_wait_seconds(settings_, 1), 2);
}

TEST_F(MonitorTest, LongIntervalIsWaitedInFullWithoutOverflow) {
  // 5,000,000 s is more milliseconds than 32 bits hold.
  settings_.interval.assign("5000000");
  EXPECT_FALSE(wait_for_next_cycle(run_, 0));
  uint64_t total = 0;
  for (uint32_t ms : waits) total += ms;
  EXPECT_EQ(total, 5000000ull * 1000ull);
}

TEST_F(MonitorTest, StatusLinesFollowSilentMode) {
  add_hosts(1);
  settings_.interval.assign("6");
  set_silent_mode(false);
  {
    OutputCapture capture;
    wait_for_next_cycle(run_, run_cycle(run_));
    EXPECT_EQ(capture.out(),
              "2026-03-14 12:00:00\n"
              "Wait 6 seconds for next time check ...\n" +
                  std::string(72, '=') + "\n");
  }
  set_silent_mode(true);
  {
    OutputCapture capture;
    wait_for_next_cycle(run_, run_cycle(run_));
    EXPECT_EQ(capture.out(), "");
  }
}

// ---- Day change -----------------------------------------------------------

TEST_F(MonitorTest, DailyReportOnceAfterTheFirstCycleOfANewDay) {
  add_hosts(2);
  fake_now = local_time(2026, 3, 31, 23, 0, 0);
  run_cycle(run_);  // the first cycle only notes the day
  EXPECT_TRUE(reports.empty());
  fake_now = local_time(2026, 3, 31, 23, 30, 0);
  run_cycle(run_);
  EXPECT_TRUE(reports.empty());

  fake_now = local_time(2026, 4, 1, 0, 0, 5);  // the 31st to the 1st counts
  run_cycle(run_);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].table, &table_);
  // The report follows the cycle's checks.
  EXPECT_EQ(check_calls.load(), 6);

  fake_now = local_time(2026, 4, 1, 12, 0, 0);
  run_cycle(run_);
  EXPECT_EQ(reports.size(), 1u);
}

TEST_F(MonitorTest, FirstCycleNeverReportsAndACycleCountsForItsStartDay) {
  add_hosts(1);
  // A new run at 00:00:00 has no previous day: no report.
  fake_now = local_time(2026, 6, 2, 0, 0, 0);
  run_cycle(run_);
  EXPECT_TRUE(reports.empty());

  // Starts at 23:59:59 and ends after midnight: still the old day.
  fake_now = local_time(2026, 6, 2, 23, 59, 59);
  clock_step = 3;
  run_cycle(run_);
  EXPECT_TRUE(reports.empty());
  clock_step = 0;
  run_cycle(run_);
  EXPECT_EQ(reports.size(), 1u);
}

// ---- The whole run --------------------------------------------------------

TEST_F(MonitorTest, RunWithoutHostsRefusesEvenInSilentModeAndKeepsThePidFile) {
  write_file(kHostFileName, "interval : \"5\"\nworkers : \"3\"\n");
  OutputCapture capture;
  EXPECT_EQ(run_monitor(run_), 1);
  const std::string out = capture.out();
  const std::string line = "No valid host in linkwatch_host.txt\n";
  ASSERT_GE(out.size(), line.size());
  EXPECT_EQ(out.substr(out.size() - line.size()), line);
  EXPECT_EQ(out.find("LINKWATCH"), std::string::npos) << "no banner in silent mode";
  EXPECT_EQ(out.find("Normal interval"), std::string::npos);

  const std::string log = read_file(kLogFileName);
  EXPECT_NE(log.find(" - ------ linkwatch is started ------"), std::string::npos);
  EXPECT_NE(log.find(" - No valid host in linkwatch_host.txt" + std::string(test::text_line_end())),
            std::string::npos);
  EXPECT_EQ(read_pid_file(), platform::current_pid());
  EXPECT_TRUE(events.empty());
}

TEST_F(MonitorTest, RunWithoutHostFileEndsBeforeThePidFile) {
  OutputCapture capture;
  EXPECT_EQ(run_monitor(run_), 1);
  EXPECT_EQ(capture.out(), "linkwatch_host.txt is not existed\n");
  EXPECT_FALSE(test::file_exists(kPidFileName));
}

TEST_F(MonitorTest, RunPrintsItsStartUpAndStopsInOrderOnRequest) {
  write_file(kHostFileName,
             "interval : \"7\"\nfast_retry_interval : \"2\"\nworkers : \"4\"\n"
             "host : \"127.0.0.1\"\nport : \"1\"\n");
  write_file(kNotifyFileName, "to : \"ops@example.org\"\n");
  set_silent_mode(false);
  run_.wait = short_wait;

  OutputCapture capture;
  int rc = -1;
  std::thread runner([&] { rc = run_monitor(run_); });
  for (int i = 0; i < 400 && check_calls.load() < 2; ++i) platform::sleep_ms(10);
  EXPECT_GE(check_calls.load(), 2) << "the run cycles";
  EXPECT_EQ(read_pid_file(), platform::current_pid());
  platform::request_stop();
  runner.join();

  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(test::file_exists(kPidFileName)) << "an orderly stop leaves no pid file";
  // The lock is free again: a new instance could start.
  InstanceClaim claim;
  EXPECT_TRUE(claim_instance(&claim));
  release_instance(&claim, true);

  const std::string out = capture.out();
  const std::string head = std::string("\nLINKWATCH ") + platform::kSystemName +
                           " Version 1.0 from " + kMakerAddress + "\n\n";
  EXPECT_EQ(out.substr(0, head.size()), head);
  EXPECT_NE(out.find("Mail alert will send to [ops@example.org]\n"
                     "Normal interval [7] sec, fast retry [2] sec, ping count [3], workers [4]\n"
                     "2026-03-14 12:00:00\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Wait 7 seconds for next time check ...\n"), std::string::npos);
}

TEST_F(MonitorTest, StopRequestEndsTheStartDelayAtOnce) {
  write_file(kHostFileName, "host : \"127.0.0.1\"\nport : \"1\"\n");
  run_.wait = nullptr;  // the real waits: a start delay of up to 9 s
  int rc = -1;
  const uint64_t start = platform::monotonic_ms();
  std::thread runner([&] { rc = run_monitor(run_); });
  for (int i = 0; i < 500 && read_pid_file() == 0; ++i) platform::sleep_ms(10);
  platform::request_stop();
  runner.join();
  EXPECT_EQ(rc, 0);
  EXPECT_LT(platform::monotonic_ms() - start, 5000u);
  EXPECT_FALSE(test::file_exists(kPidFileName));
}

}  // namespace
}  // namespace lw
