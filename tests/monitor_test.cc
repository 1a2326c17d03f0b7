#include "app/monitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/instance.h"
#include "notify/alerts.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

// By host: how many checks had ended when its check began. Each check lasts
// 200 ms of real time, so checks of one batch overlap, and 3 s of the clock.
int ended_before[8], fail_host = 0;
std::atomic<int> ended{0};
std::atomic<int64_t> now{0};
std::vector<std::pair<HostTable*, int>> reports;  // table, checks ended
std::vector<std::pair<uint64_t, int>> waits;      // ms, checks ended
size_t stop_at = 0;                               // waits asking to stop at the last

uint32_t fake_check(WorkerSlot* slot, const WorkerContext&) {
  ended_before[slot->host_index] = ended;
  platform::sleep_ms(200);
  if (slot->host_index == fail_host) slot->failed = 1;
  now += 3;
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

class MonitorTest : public test::WorkDirTest {  // every test sets the clock and silent mode
 protected:
  void SetUp() override {
    now = local_midnight(3, 14) + 12 * 3600;
    env_.set_clock([] { return now.load(); });
    set_silent_mode(true);
    run_.table = &table_, run_.settings = &settings_, run_.notify = &notify_;
    run_.check = fake_check;
    run_.report = [](HostTable* table, auto&, auto&) { reports.emplace_back(table, ended.load()); };
    run_.wait = [](uint32_t ms) {
      waits.emplace_back(ms, ended.load());
      return waits.size() == stop_at;
    };
    ended = 0;
    stop_at = 0;
    reports.clear();
    waits.clear();
  }

  // `count` hosts h1:80, h2:80, ...
  void name_hosts(int count) {
    table_.host_count = count;
    for (int i = 1; i <= count; ++i) {
      table_.hosts[i].host.format("h%d", i);
      set_port_text(&table_.hosts[i], "80");
    }
  }
  // E-mail only (one send per message), through a delivery of the run's own.
  Delivery* email_delivery() {
    notify_ = test::all_channels();
    notify_.telegram_enabled = notify_.teams_enabled = 0;
    delivery_ = std::make_unique<Delivery>(&notify_);
    return run_.delivery = delivery_.get();
  }

  test::ScopedEnvironment env_;
  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
  MonitorRun run_;
  std::unique_ptr<Delivery> delivery_;
};

// Batches of `workers`, each joined before the next; then the fast retry
// after a failure, else the interval (5000000 s: more ms than 32 bits hold).
TEST_F(MonitorTest, CycleChecksInBatchesThenWaitsByItsOutcome) {
  const std::tuple<int, int, std::vector<int>, const char*, int, uint64_t> cases[] = {
      {5, 2, {0, 0, 2, 2, 4}, "15", 5, 3000},
      {3, 50, {0, 0, 0}, "abc", 0, 15000},
      {3, 1, {0, 1, 2}, "5000000", 0, 5000000000}};
  for (const auto& [hosts, workers, started_after, interval, failing, ms] : cases) {
    ended = 0;
    table_.host_count = hosts;
    settings_.workers = workers;
    settings_.interval.assign(interval);
    fail_host = failing;
    waits.clear();
    wait_for_next_cycle(run_, run_cycle(run_));
    EXPECT_EQ(std::vector<int>(ended_before + 1, ended_before + 1 + hosts), started_after);
    uint64_t total = 0;
    for (const auto& wait : waits) total += wait.first;
    EXPECT_EQ(total, ms) << interval;
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
// seconds below 10 before its first check (the stop: InstanceTest).
TEST_F(MonitorTest, RunWaitsTheStartDelayBeforeTheFirstCycle) {
  test::write_file(kHostFileName, "host : \"127.0.0.1\"\nport : \"1\"\n");
  stop_at = 2;  // after the first cycle
  test::OutputCapture capture;
  EXPECT_EQ(run_monitor(run_), 0);
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_EQ(waits[0].second, 0) << "the delay comes first";
  EXPECT_TRUE(waits[0].first < 10000 && waits[0].first % 1000 == 0) << waits[0].first;
  EXPECT_EQ(waits[1], std::make_pair(uint64_t{15000}, 1));
}

// The messages a run's delivery was handed, in order: "kind subject".
std::vector<std::string> delivered(Delivery* delivery) {
  static std::vector<std::string> sent;
  sent.clear();
  delivery->set_send_for_testing(
      [](void*, Channel, const NotifySettings&, const QueuedMessage& m, SendOutcome* outcome) {
        sent.push_back(std::to_string(m.kind) + " " + m.subject);
        outcome->delivered = true;
      },
      nullptr);
  delivery->run_due();
  return sent;
}

// Each host whose index is at most `crossing` crosses the DOWN threshold.
int crossing = 0;
uint32_t crossing_check(WorkerSlot* slot, const WorkerContext& context) {
  HostEntry& host = context.table->hosts[slot->host_index];
  if (slot->host_index <= crossing) context.alerts.down(context.alerts.context, host, "refused");
  return 0;
}

// group_alerts: N or more DOWN crossings of one cycle make one digest, fewer
// go as single alerts (unset: AlertTextRunTest).
TEST_F(MonitorTest, GroupAlertsTurnsAStormIntoOneDigest) {
  test::ScopedFakeTools tools(work_dir(), {"ping"});
  Delivery& delivery = *email_delivery();
  run_.check = crossing_check;
  settings_.workers = 1;  // singles in table order
  name_hosts(4);
  settings_.group_alerts = 3;
  const std::pair<int, std::vector<std::string>> cases[] = {
      {2, {"1 Alert for 80. h1", "1 Alert for 80. h2"}},
      {3, {"1 DOWN: 3 hosts (h1:80, h2:80, h3:80)"}}};
  for (const auto& [crossings, want] : cases) {
    crossing = crossings;
    run_cycle(run_);
    std::vector<std::string> got = delivered(&delivery);
    for (size_t i = 0; i < got.size() && i < want.size(); ++i) got[i].resize(want[i].size());
    EXPECT_EQ(got, want) << crossings;
  }
}

// netcheck: while every reference refuses, checks count and raise nothing,
// logged once; the first answer sends one notice and checks count again.
TEST_F(MonitorTest, OwnNetworkOutageCountsNoCheckAndEndsWithOneNotice) {
  test::ScopedFakeTools tools(work_dir(), {"ping"});
  platform::Listener open, gone;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open) && platform::listen_loopback(0, 1, &gone));
  const std::string gone_port = std::to_string(gone.port);
  platform::close_listener(&gone);
  Delivery& delivery = *email_delivery();
  run_.check = nullptr;  // the real check, against a port that refuses
  table_.host_count = 1;
  HostEntry& host = table_.hosts[1];
  set_host_text(&host, "127.0.0.1");
  set_port_text(&host, gone_port.c_str());
  host.timeoutsec = 1;
  host.alertcount = 1;
  resolve_all_hosts(&table_);
  test::OutputCapture capture;  // the console gets the note too
  ASSERT_TRUE(parse_netcheck(("127.0.0.1:" + gone_port).c_str(), settings_.netcheck,
                             &settings_.netcheck_count));
  const int64_t from = now;
  for (int cycle = 0; cycle < 2; ++cycle) {
    EXPECT_EQ(run_cycle(run_), 1);
    now += 60;
  }
  EXPECT_EQ(std::tuple(host.fail_count, host.alert_sent), std::tuple(0, 0));
  EXPECT_TRUE(delivered(&delivery).empty());

  settings_.netcheck[1] = settings_.netcheck[0];
  settings_.netcheck[1].port = open.port;
  settings_.netcheck_count = 2;
  run_cycle(run_);
  NotifyMessage notice;
  compose_network_notice(from, now, &notice);
  std::vector<std::string> got = delivered(&delivery);
  const std::string down = std::string("1 Alert for ") + host.port.c_str() + ".";
  if (got.size() == 2) got[1].resize(down.size());
  EXPECT_EQ(got, (std::vector<std::string>{std::string("5 ") + notice.subject.c_str(), down}))
      << "the notice, then the DOWN of the counted check";
  const std::string log = test::read_file(kLogFileName);
  EXPECT_EQ(test::count_of(log, "network unreachable, checks not counted"), 1u) << log;
  EXPECT_NE(log.find(notice.subject.c_str()), std::string::npos);
  platform::close_listener(&open);
}

// Holds `slow_host` until every other host has ended (10 s at most: held_up).
int slow_host = 0, fault_host = 0, others_to_end = 0;
std::atomic<int> checked[8], others_ended{0};
std::atomic<bool> held_up{false};
uint32_t gated_check(WorkerSlot* slot, const WorkerContext&) {
  ++checked[slot->host_index];
  if (slot->host_index != slow_host) ++others_ended;
  if (slot->host_index == slow_host)
    held_up = !test::eventually([] { return others_ended == others_to_end; }, 10000);
  return 0;
}

// rolling_workers: hosts 2..6 are checked while host 1's runs. A missing
// worker thread is logged, its host left unchecked, the cycle marked failed.
TEST_F(MonitorTest, RollingWorkersPassASlowHostAndAMissingThreadIsLogged) {
  name_hosts(6);
  settings_.workers = 2;
  run_.check = gated_check;
  run_.thread_start_fault = [](int32_t host_index) { return host_index == fault_host; };
  // rolling_workers, slow host, host without a thread, failure mark
  const std::tuple<int, int, int, int> cases[] = {{1, 1, 4, 1}, {0, 0, 2, 1}, {0, 0, 0, 0}};
  for (const auto& [rolling, slow, fault, mark] : cases) {
    SCOPED_TRACE(testing::Message() << rolling << " " << slow << " " << fault);
    settings_.rolling_workers = rolling;
    slow_host = slow;
    fault_host = fault;
    others_to_end = 6 - (slow ? 1 : 0) - (fault ? 1 : 0);
    others_ended = 0;
    held_up = false;
    for (std::atomic<int>& n : checked) n = 0;
    EXPECT_EQ(run_cycle(run_), mark);
    EXPECT_FALSE(held_up) << "the slow host held up the others";
    for (int i = 1; i <= 6; ++i) EXPECT_EQ(checked[i], i == fault ? 0 : 1) << i;
    const std::string line = "Unable to create worker thread for h" + std::to_string(fault) + ":80";
    EXPECT_EQ(test::read_file(kLogFileName).find(line) != std::string::npos, fault != 0);
  }
}

}  // namespace
}  // namespace lw
