#include "probe/worker.h"

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"

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
void record_down(void*, const HostEntry& host, const char* error) {
  record("DOWN " + std::string(error), host);
}
void record_recovery(void*, const HostEntry& host) { record("RECOVERY", host); }

class WorkerTest : public test::WorkDirTest {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(platform::socket_startup());
    ASSERT_TRUE(platform::listen_loopback(0, 16, &open_));
    // Never accepts and its backlog is filled: attempts time out.
    ASSERT_TRUE(platform::listen_loopback(0, 1, &silent_));
    for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", silent_.port, 1, nullptr);
    platform::Listener gone;
    ASSERT_TRUE(platform::listen_loopback(0, 1, &gone));
    closed_ = gone.port;
    platform::close_listener(&gone);
  }
  static void TearDownTestSuite() {
    platform::close_listener(&open_);
    platform::close_listener(&silent_);
  }
  void SetUp() override {
    g_crossings.clear();
    table_->host_count = 1;
    host().host.assign("127.0.0.1");
    host().timeoutsec = 1;
    host().alertcount = 3;
    context_.table = table_.get();
    context_.alerts = {record_down, record_recovery, nullptr};
    set_clock_for_testing([] { return g_now; });
  }
  void TearDown() override { set_clock_for_testing(nullptr); }

  HostEntry& host() { return table_->hosts[1]; }
  // One check of the host at `when`; returns the slot's failed flag.
  int check_at(int64_t when) {
    g_now = when;
    WorkerSlot slot{1, 7};
    EXPECT_EQ(check_host_worker(&slot, context_), 0u);
    return slot.failed;
  }

  static platform::Listener open_, silent_;
  static uint16_t closed_;
  std::unique_ptr<HostTable> table_ = std::make_unique<HostTable>();
  WorkerContext context_;
};

platform::Listener WorkerTest::open_, WorkerTest::silent_;
uint16_t WorkerTest::closed_ = 0;

// Up, failing below the threshold and up again without an alert, then
// time-outs and refusals in one count up to one DOWN, and one RECOVERY.
TEST_F(WorkerTest, UpCountingDownAndBack) {
  enum Port { kOpen, kClosed, kSilent };
  // Seconds after kStart, port, console line after "[127.0.0.1:<port>] ", then
  // fail_count, first and last fail time (after kStart; 0: none), alert_sent, crossings.
  const std::tuple<int64_t, Port, const char*, int, int64_t, int64_t, int, size_t> steps[] = {
      {0, kOpen, "connected. Taking [T] seconds", 0, 0, 0, 0, 0},
      {10, kClosed, "Connection refused. Consecutive FAIL count [1] of [3]", 1, 10, 10, 0, 0},
      {15, kOpen, "connected. Taking [T] seconds", 0, 0, 0, 0, 0},
      {20, kSilent, "consecutive TIMEOUT count [1] of [3]", 1, 20, 20, 0, 0},
      {25, kClosed, "Connection refused. Consecutive FAIL count [2] of [3]", 2, 20, 25, 0, 0},
      {30, kClosed, "Connection refused. Consecutive FAIL count [3] of [3]", 1, 30, 30, 1, 1},
      {40, kSilent, "still DOWN (alert already sent)", 1, 30, 40, 1, 1},
      {45, kClosed, "still DOWN [Connection refused] (alert already sent)", 1, 30, 45, 1, 1},
      {50, kOpen, "connected. Taking [T] seconds", 0, 0, 0, 0, 2},
      {60, kOpen, "connected. Taking [T] seconds", 0, 0, 0, 0, 2},
  };
  const auto at = [](int64_t offset) { return offset ? kStart + offset : 0; };
  for (const auto& [when, kind, line, fail_count, first, last, alert_sent, crossings] : steps) {
    SCOPED_TRACE(when);
    const uint16_t port = kind == kOpen ? open_.port : kind == kClosed ? closed_ : silent_.port;
    host().port.assign(std::to_string(port).c_str());
    test::OutputCapture capture;
    EXPECT_EQ(check_at(kStart + when), kind == kOpen ? 0 : 1);
    EXPECT_EQ(std::regex_replace(capture.out(), std::regex("\\[[0-9]+\\.[0-9]{2}\\]"), "[T]"),
              "[127.0.0.1:" + std::to_string(port) + "] " + line + "\n");
    EXPECT_EQ(std::tuple(host().fail_count, host().first_fail_time, host().last_fail_time,
                         host().alert_sent, g_crossings.size()),
              std::tuple(fail_count, at(first), at(last), alert_sent, crossings));
  }
  // The DOWN sees the count that reached the threshold; neither holds the lock.
  EXPECT_EQ(g_crossings, (std::vector<std::string>{"DOWN Connection refused sent=1 count=3",
                                                   "RECOVERY sent=0 count=0"}));
}

// Unresolvable names fail the check, invalid ports do not; neither touches
// the alert state nor reaches the sink. Both are printed and logged.
TEST_F(WorkerTest, HostsThatCannotBeProbed) {
  host().fail_count = 2;
  host().first_fail_time = 5;
  std::vector<std::string> logged;
  for (const char* port : {"80", "0", "18O80", ""}) {
    const bool resolvable = port[0] != '8';
    host().host.assign(resolvable ? "127.0.0.1" : "no-such-host.invalid");
    host().port.assign(port);
    const std::string line = resolvable ? "Invalid port for host [127.0.0.1]"
                                        : "Unable to resolve Host host[no-such-host.invalid]";
    test::OutputCapture capture;
    EXPECT_EQ(check_at(kStart), resolvable ? 0 : 1) << port;
    EXPECT_EQ(capture.out(), line + "\n");
    logged.push_back(line);
  }
  EXPECT_EQ(std::tuple(host().fail_count, host().first_fail_time, host().alert_sent),
            std::tuple(2, int64_t{5}, 0));
  EXPECT_TRUE(g_crossings.empty());
  EXPECT_EQ(test::log_messages(), logged);
}

}  // namespace
}  // namespace lw
