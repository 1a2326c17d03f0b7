#include "app/monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/instance.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
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
std::atomic<int64_t> now{0};                      // every check takes 3 s of it
std::vector<std::pair<HostTable*, int>> reports;  // table, checks ended
std::vector<std::pair<uint64_t, int>> waits;      // ms, checks ended

uint32_t fake_check(WorkerSlot* slot, const WorkerContext&) {
  std::unique_lock<std::mutex> lock(mutex);
  ended_before[slot->host_index] = ended;
  ++running;
  changed.notify_all();
  changed.wait_for(lock, std::chrono::milliseconds(400), [] { return running >= rendezvous; });
  if (slot->host_index == fail_host) slot->failed = 1;
  now += 3;
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
      waits.emplace_back(ms, ended.load());
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
  const std::tuple<int, int, std::vector<int>> cases[] = {
      {5, 2, {0, 0, 2, 2, 4}}, {3, 50, {0, 0, 0}}, {3, 1, {0, 1, 2}}};
  for (const auto& [hosts, workers, want] : cases) {
    ended = 0;
    table_.host_count = hosts;
    settings_.workers = workers;
    rendezvous = std::min(hosts, workers);
    EXPECT_EQ(run_cycle(run_), 0);
    EXPECT_EQ(std::vector<int>(ended_before + 1, ended_before + 1 + hosts), want) << workers;
  }
}

TEST_F(MonitorTest, WaitIsTheFastRetryAfterAFailedCheckElseTheIntervalInFull) {
  table_.host_count = 3;
  // Interval, failing host, wait ms; 5000000 s: more milliseconds than 32 bits hold.
  const std::tuple<const char*, int, uint64_t> cases[] = {
      {"15", 3, 3000}, {"abc", 0, 15000}, {" 20x", 0, 20000}, {"5000000", 0, 5000000000}};
  for (const auto& [interval, failing_host, ms] : cases) {
    settings_.interval.assign(interval);
    fail_host = failing_host;
    waits.clear();
    EXPECT_FALSE(wait_for_next_cycle(run_, run_cycle(run_)));
    uint64_t total = 0;
    for (const auto& wait : waits) total += wait.first;
    EXPECT_EQ(total, ms) << '"' << interval << '"';
  }
}

TEST_F(MonitorTest, DayChangeReportsOnceAfterTheFirstCycleOfANewDay) {
  table_.host_count = 2;
  const int64_t march31 = local_midnight(3, 31), april1 = local_midnight(4, 1);
  // The first cycle never reports; a cycle (6 s here) counts for the day it starts in.
  for (int64_t start : {march31, march31 + 86399, april1 + 5, april1 + 12 * 3600}) {
    now = start;
    run_cycle(run_);
  }
  EXPECT_EQ(reports, (decltype(reports){{&table_, 6}})) << "once, on the run's table, after checks";
}

// Instances started together spread their first cycles: the run waits whole
// seconds below 10 before its first check, and a stop ends it in order.
TEST_F(MonitorTest, RunWaitsTheStartDelayBeforeTheFirstCycle) {
  test::write_file(kHostFileName, "host : \"127.0.0.1\"\nport : \"1\"\n");
  run_.wait = [](uint32_t ms) {
    waits.emplace_back(ms, ended.load());
    return waits.size() == 2;  // stop after the first cycle
  };
  test::OutputCapture capture;
  EXPECT_EQ(run_monitor(run_), 0);
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_EQ(waits[0].second, 0) << "the delay comes first";
  EXPECT_LT(waits[0].first, 10000u);
  EXPECT_EQ(waits[0].first % 1000, 0u);
  EXPECT_EQ(waits[1], std::make_pair(uint64_t{15000}, 1));
  EXPECT_FALSE(test::file_exists(kPidFileName)) << "an orderly stop leaves no pid file";
}

}  // namespace
}  // namespace lw
