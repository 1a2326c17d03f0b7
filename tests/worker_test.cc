#include "probe/worker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr int64_t kStart = 1740823200;  // any fixed moment
int64_t g_now = kStart;

// Each crossing as the sink saw it: its kind, the error, the host's alert_sent
// and fail_count at that moment, and whether host_state_lock was free.
std::vector<std::string> g_crossings;

void record(const std::string& kind, const HostEntry& host) {
  const bool lock_free = host_state_lock.try_lock();
  if (lock_free) host_state_lock.unlock();
  g_crossings.push_back(kind + " sent=" + std::to_string(host.alert_sent) +
                        " count=" + std::to_string(host.fail_count) + (lock_free ? "" : " LOCKED"));
}

class WorkerTest : public test::WorkDirTest {};

// Up, failing below the threshold and up again without an alert, then
// time-outs and refusals in one count up to one DOWN, and one RECOVERY. An
// invalid port neither fails the check nor touches the count.
TEST_F(WorkerTest, ThresholdCrossingsReachTheSinkOnce) {
  ASSERT_TRUE(platform::socket_startup());
  platform::Listener open, silent, gone;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open) && platform::listen_loopback(0, 1, &silent) &&
              platform::listen_loopback(0, 1, &gone));
  // `silent` never accepts and its backlog is filled: attempts time out.
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", silent.port, 1, nullptr);
  const std::string up = std::to_string(open.port), slow = std::to_string(silent.port),
                    refused = std::to_string(gone.port);
  platform::close_listener(&gone);
  auto table = std::make_unique<HostTable>();
  HostEntry& host = table->hosts[1];
  table->host_count = 1;
  host.host.assign("127.0.0.1");
  host.timeoutsec = 1;
  host.alertcount = 3;
  WorkerContext context;
  context.table = table.get();
  context.alerts = {
      [](void*, const HostEntry& h, const char* e) { record("DOWN " + std::string(e), h); },
      [](void*, const HostEntry& h) { record("RECOVERY", h); }, nullptr};
  set_clock_for_testing([] { return g_now; });
  // Seconds after kStart, port, then fail_count, first fail time, alert_sent, crossings.
  const std::tuple<int64_t, std::string, int, int64_t, int, size_t> steps[] = {
      {0, up, 0, 0, 0, 0},        {10, refused, 1, 10, 0, 0}, {15, up, 0, 0, 0, 0},
      {20, slow, 1, 20, 0, 0},    {25, refused, 2, 20, 0, 0}, {27, "18O80", 2, 20, 0, 0},
      {30, refused, 1, 30, 1, 1}, {40, slow, 1, 30, 1, 1},    {45, refused, 1, 30, 1, 1},
      {50, up, 0, 0, 0, 2},       {60, up, 0, 0, 0, 2},
  };
  for (const auto& [when, port, fail_count, first, alert_sent, crossings] : steps) {
    SCOPED_TRACE(when);
    g_now = kStart + when;
    host.port.assign(port.c_str());
    WorkerSlot slot{1, 7};
    test::OutputCapture capture;
    EXPECT_EQ(check_host_worker(&slot, context), 0u);
    EXPECT_EQ(slot.failed, port == up || port == "18O80" ? 0 : 1);
    EXPECT_EQ(
        std::tuple(host.fail_count, host.first_fail_time, host.alert_sent, g_crossings.size()),
        std::tuple(fail_count, first ? kStart + first : 0, alert_sent, crossings));
  }
  // The DOWN sees the count that reached the threshold; neither holds the lock.
  EXPECT_EQ(g_crossings, (std::vector<std::string>{"DOWN Connection refused sent=1 count=3",
                                                   "RECOVERY sent=0 count=0"}));

  // With recovercount 2 a flap holds the RECOVERY back without a second DOWN;
  // a not yet recovered host keeps the failure mark (fast retry).
  context.recover_count = 2;
  host.alertcount = 1;
  g_crossings.clear();
  const std::tuple<std::string, int, size_t> flap[] = {{refused, 1, 1}, {up, 1, 1}, {refused, 1, 1},
                                                       {up, 1, 1},      {up, 0, 2}, {up, 0, 2}};
  for (const auto& [port, failed, crossings] : flap) {
    host.port.assign(port.c_str());
    WorkerSlot slot{1, 7};
    test::OutputCapture capture;
    check_host_worker(&slot, context);
    EXPECT_EQ(std::tuple(slot.failed, g_crossings.size()), std::tuple(failed, crossings));
  }
  EXPECT_EQ(g_crossings.back(), "RECOVERY sent=0 count=0");

  // remind_minutes: while the host stays DOWN, one reminder every interval,
  // counted from the DOWN alert; a failure before that sends nothing.
  context.recover_count = 1;
  context.remind_seconds = 300;
  context.alerts.reminder = [](void*, const HostEntry& h, const char* e) {
    record("REMIND " + std::string(e) + " since=" + std::to_string(h.down_since - kStart), h);
  };
  g_crossings.clear();
  host.port.assign(refused.c_str());
  for (const int64_t at : {1000, 1100, 1299, 1300, 1500, 1610}) {
    g_now = kStart + at;
    WorkerSlot slot{1, 7};
    test::OutputCapture capture;
    check_host_worker(&slot, context);
  }
  EXPECT_EQ(g_crossings,
            (std::vector<std::string>{"DOWN Connection refused sent=1 count=1",
                                      "REMIND Connection refused since=1000 sent=1 count=1",
                                      "REMIND Connection refused since=1000 sent=1 count=1"}));
  set_clock_for_testing(nullptr);
  platform::close_listener(&open);
  platform::close_listener(&silent);
}

}  // namespace
}  // namespace lw
