#include "probe/worker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"

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

class WorkerTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    g_crossings.clear();
    table_->host_count = 1;
    host().host.assign("127.0.0.1");
    host().timeoutsec = 1;
    host().alertcount = 3;
    context_.table = table_.get();
    context_.alerts = {
        [](void*, const HostEntry& h, const char* e) { record("DOWN " + std::string(e), h); },
        [](void*, const HostEntry& h) { record("RECOVERY", h); }, nullptr};
    set_clock_for_testing([] { return g_now; });
  }
  void TearDown() override { set_clock_for_testing(nullptr); }

  HostEntry& host() { return table_->hosts[1]; }
  // One check of the host on `port` at `when`; returns the slot's failed flag.
  int check_at(int64_t when, const std::string& port) {
    g_now = when;
    host().port.assign(port.c_str());
    WorkerSlot slot{1, 7};
    test::OutputCapture capture;
    EXPECT_EQ(check_host_worker(&slot, context_), 0u);
    return slot.failed;
  }

  std::unique_ptr<HostTable> table_ = std::make_unique<HostTable>();
  WorkerContext context_;
};

// Up, failing below the threshold and up again without an alert, then
// time-outs and refusals in one count up to one DOWN, and one RECOVERY.
TEST_F(WorkerTest, ThresholdCrossingsReachTheSinkOnce) {
  ASSERT_TRUE(platform::socket_startup());
  platform::Listener open, silent, gone;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open) && platform::listen_loopback(0, 1, &silent) &&
              platform::listen_loopback(0, 1, &gone));
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", silent.port, 1, nullptr);
  const std::string up = std::to_string(open.port), slow = std::to_string(silent.port),
                    refused = std::to_string(gone.port);
  platform::close_listener(&gone);
  // Seconds after kStart, port, then fail_count, first fail time, alert_sent, crossings.
  const std::tuple<int64_t, std::string, int, int64_t, int, size_t> steps[] = {
      {0, up, 0, 0, 0, 0},     {10, refused, 1, 10, 0, 0}, {15, up, 0, 0, 0, 0},
      {20, slow, 1, 20, 0, 0}, {25, refused, 2, 20, 0, 0}, {30, refused, 1, 30, 1, 1},
      {40, slow, 1, 30, 1, 1}, {45, refused, 1, 30, 1, 1}, {50, up, 0, 0, 0, 2},
      {60, up, 0, 0, 0, 2},
  };
  for (const auto& [when, port, fail_count, first, alert_sent, crossings] : steps) {
    SCOPED_TRACE(when);
    EXPECT_EQ(check_at(kStart + when, port), port == up ? 0 : 1);
    EXPECT_EQ(std::tuple(host().fail_count, host().first_fail_time, host().alert_sent,
                         g_crossings.size()),
              std::tuple(fail_count, first ? kStart + first : 0, alert_sent, crossings));
  }
  // The DOWN sees the count that reached the threshold; neither holds the lock.
  EXPECT_EQ(g_crossings, (std::vector<std::string>{"DOWN Connection refused sent=1 count=3",
                                                   "RECOVERY sent=0 count=0"}));
  platform::close_listener(&open);
  platform::close_listener(&silent);
}

// Unresolvable names fail the check, invalid ports do not; neither touches
// the alert state nor reaches the sink. Both are logged.
TEST_F(WorkerTest, HostsThatCannotBeProbed) {
  host().fail_count = 2;
  std::vector<std::string> logged;
  for (const char* port : {"80", "0", "18O80", ""}) {
    const bool resolvable = port[0] != '8';
    host().host.assign(resolvable ? "127.0.0.1" : "no-such-host.invalid");
    EXPECT_EQ(check_at(kStart, port), resolvable ? 0 : 1) << port;
    logged.push_back(resolvable ? "Invalid port for host [127.0.0.1]"
                                : "Unable to resolve Host host[no-such-host.invalid]");
  }
  EXPECT_EQ(std::tuple(host().fail_count, host().alert_sent, g_crossings.size()),
            std::tuple(2, 0, size_t{0}));
  EXPECT_EQ(test::log_messages(), logged);
}

}  // namespace
}  // namespace lw
