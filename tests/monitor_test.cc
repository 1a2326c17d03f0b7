#include "app/monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <future>
#include <mutex>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/instance.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

// By host: how many checks had ended when its check began. A check waits (briefly) until
// `rendezvous` checks run at once, so that a batch run one thread after the other shows.
std::mutex mutex;
std::condition_variable changed;
int ended_before[8], running = 0, rendezvous = 1, fail_host = 0;
std::atomic<int> ended{0};
std::atomic<int64_t> now{0}, clock_step{0};       // every check adds clock_step to the clock
std::vector<std::pair<HostTable*, int>> reports;  // table, checks ended
std::vector<uint32_t> waits;

uint32_t fake_check(WorkerSlot* slot, const WorkerContext&) {
  std::unique_lock<std::mutex> lock(mutex);
  ended_before[slot->host_index] = ended;
  ++running;
  changed.notify_all();
  changed.wait_for(lock, std::chrono::milliseconds(400), [] { return running >= rendezvous; });
  if (slot->host_index == fail_host) slot->failed = 1;
  now += clock_step;
  --running;
  ++ended;
  return 0;
}

int64_t local_midnight(int month, int day) {  // 2026
  std::tm tm{};
  tm.tm_year = 126;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

class MonitorTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    ended = 0;
    rendezvous = 1;
    fail_host = 0;
    clock_step = 0;
    reports.clear();
    waits.clear();
    now = local_midnight(3, 14) + 12 * 3600;
    set_clock_for_testing([] { return now.load(); });
    set_silent_mode(true);
    platform::clear_stop_request();
    run_.table = &table_;
    run_.settings = &settings_;
    run_.notify = &notify_;
    run_.check = fake_check;
    run_.report = [](HostTable* table, auto&, auto&) { reports.emplace_back(table, ended.load()); };
    run_.wait = [](uint32_t ms) {
      waits.push_back(ms);
      return false;
    };
  }
  void TearDown() override {
    set_clock_for_testing(nullptr);
    set_silent_mode(false);
  }

  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
  MonitorRun run_;
};

TEST_F(MonitorTest, ChecksHostsInBatchesOfWorkersEachJoinedBeforeTheNext) {
  auto ended_before_each = [&](int hosts, int workers) {  // host 1 first
    std::fill(std::begin(ended_before), std::end(ended_before), -1);
    ended = 0;
    table_.host_count = hosts;
    settings_.workers = workers;
    rendezvous = std::min(hosts, workers);
    EXPECT_EQ(run_cycle(run_), 0);
    return std::vector<int>(ended_before + 1, ended_before + 1 + hosts);
  };
  EXPECT_EQ(ended_before_each(5, 2), (std::vector<int>{0, 0, 2, 2, 4}));
  EXPECT_EQ(ended_before_each(3, 50), (std::vector<int>{0, 0, 0}));
  EXPECT_EQ(ended_before_each(3, 1), (std::vector<int>{0, 1, 2}));
}

TEST_F(MonitorTest, WaitIsTheFastRetryAfterAFailedCheckElseTheIntervalInFull) {
  table_.host_count = 3;
  // Interval, failing host, wait ms; 5000000 s: more milliseconds than 32 bits hold.
  const std::tuple<const char*, int, uint64_t> cases[] = {
      {"15", 3, 3000},
      {"0", 0, 15000},
      {"abc", 0, 15000},
      {" 20x", 0, 20000},
      {"5000000", 0, 5000000000},
      {"15", 0, 15000},
  };
  test::OutputCapture capture;
  for (const auto& [interval, failing_host, ms] : cases) {
    settings_.interval.assign(interval);
    fail_host = failing_host;
    waits.clear();
    EXPECT_FALSE(wait_for_next_cycle(run_, run_cycle(run_)));
    EXPECT_EQ(std::accumulate(waits.begin(), waits.end(), uint64_t{0}), ms)
        << '"' << interval << '"';
  }
  EXPECT_EQ(capture.out(), "") << "silent mode";
}

TEST_F(MonitorTest, AWorkerThatCannotStartIsLoggedAndFailsTheCycle) {
  table_.host_count = 3;
  settings_.workers = 3;
  table_.hosts[2].host.assign("db01");
  table_.hosts[2].port.assign("5432");
  run_.thread_start_fault = [](int32_t host_index) { return host_index == 2; };
  std::fill(std::begin(ended_before), std::end(ended_before), -1);
  EXPECT_EQ(run_cycle(run_), 1);
  EXPECT_EQ(ended.load(), 2) << "the other hosts are still checked";
  EXPECT_EQ(ended_before[2], -1) << "the host without a thread is not checked";
  EXPECT_EQ(run_.slots[2].failed, 1);
  const std::string log = test::read_file(kLogFileName);
  EXPECT_NE(log.find(" - Unable to create worker thread for db01:5432"), std::string::npos) << log;
}

TEST_F(MonitorTest, DayChangeReportsOnceAfterTheFirstCycleOfANewDay) {
  table_.host_count = 2;
  const int64_t march31 = local_midnight(3, 31), april1 = local_midnight(4, 1);
  // The first cycle never reports; a cycle (6 s here) counts for the day it starts in.
  clock_step = 3;
  for (int64_t start : {march31, march31 + 86399, april1 + 5, april1 + 12 * 3600}) {
    now = start;
    run_cycle(run_);
  }
  EXPECT_EQ(reports, (decltype(reports){{&table_, 6}})) << "once, on the run's table, after checks";
}

// The cycle's own workers raise the real alerts: a log line each, pings first.
TEST_F(MonitorTest, RealWorkersRaiseDownAndRecoveryThroughTheRunsSettings) {
  ASSERT_TRUE(platform::socket_startup());
  table_.host_count = 1;
  table_.hosts[1].host.assign("127.0.0.1");
  table_.hosts[1].port.assign("1");  // nobody listens there: refused at once
  table_.hosts[1].alertcount = 1;
  run_.check = nullptr;
  resolve_all_hosts(&table_);
  test::CommandRecorder commands;
  commands.set_result(1);  // no ping answers
  EXPECT_EQ(run_cycle(run_), 1);
  EXPECT_EQ(commands.commands().size(), 3u) << "the ping series";
  ASSERT_EQ(test::log_messages().size(), 1u);
  EXPECT_TRUE(test::log_messages()[0].starts_with("Alert for 1. 127.0.0.1 1 Connection refused("));
  platform::Listener open;
  ASSERT_TRUE(platform::listen_loopback(0, 4, &open));
  const std::string up = std::to_string(open.port);
  table_.hosts[1].port.assign(up.c_str());
  EXPECT_EQ(run_cycle(run_), 0);
  platform::close_listener(&open);
  EXPECT_EQ(test::log_messages().back(), "Back to normal for " + up + " 127.0.0.1:" + up);
}

TEST_F(MonitorTest, RunWithoutHostsRefusesEvenInSilentModeAndKeepsThePidFile) {
  test::write_file(kHostFileName, "interval : \"5\"\n");
  test::OutputCapture capture;
  EXPECT_EQ(run_monitor(run_), 1);
  EXPECT_EQ(capture.out(),
            "linkwatch_email.txt is not existed. It is unable to send email alerts\n"
            "No valid host in linkwatch_host.txt\n");
  EXPECT_NE(test::read_file(kLogFileName).find(" - No valid host in linkwatch_host.txt"),
            std::string::npos);
  EXPECT_EQ(read_pid_file(), platform::current_pid());
}

TEST_F(MonitorTest, RunPrintsSettingsAndCycleLinesAndStopsInOrderOnRequest) {
  test::write_file(kHostFileName, "interval : \"7\"\nhost : \"127.0.0.1\"\nport : \"1\"\n");
  set_silent_mode(false);
  run_.wait = [](uint32_t) { return platform::wait_for_stop(5); };  // cycles fast
  test::OutputCapture capture;
  auto rc = std::async(std::launch::async, [&] { return run_monitor(run_); });
  for (int i = 0; i < 400 && ended < 2; ++i) platform::sleep_ms(10);
  platform::request_stop();
  EXPECT_EQ(rc.get(), 0);
  EXPECT_FALSE(test::file_exists(kPidFileName)) << "an orderly stop leaves no pid file";
  EXPECT_NE(capture.out().find(
                "Normal interval [7] sec, fast retry [3] sec, ping count [3], workers [2]\n"
                "2026-03-14 12:00:00\nWait 7 seconds for next time check ...\n" +
                std::string(72, '=') + "\n"),
            std::string::npos)
      << capture.out();
}

}  // namespace
}  // namespace lw
