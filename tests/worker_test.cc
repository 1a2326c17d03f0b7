#include "probe/worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr int64_t kStart = 1740823200;  // any fixed moment
int64_t test_time = kStart;
int64_t test_clock() { return test_time; }

// Counts the programs the alerts start (the ping series); ping gets no answer.
struct CommandCounter {
  std::mutex lock;
  int pings = 0;
  int others = 0;
  static int hook(void* context, const Command& command, char*) {
    auto* self = static_cast<CommandCounter*>(context);
    std::lock_guard<std::mutex> guard(self->lock);
    (std::string(command.argv[0]) == "ping" ? self->pings : self->others) += 1;
    return 1;
  }
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

int count_of(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

std::string port_text(uint16_t port) { return std::to_string(port); }

class WorkerTest : public test::WorkDirTest {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(platform::socket_startup());
    ASSERT_TRUE(platform::listen_loopback(0, 16, &open_));
    // A listener that never accepts, its backlog filled: attempts time out.
    ASSERT_TRUE(platform::listen_loopback(0, 1, &silent_));
    for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", silent_.port, 1, nullptr);
    platform::Listener gone;
    ASSERT_TRUE(platform::listen_loopback(0, 1, &gone));
    closed_port_ = gone.port;
    platform::close_listener(&gone);
  }
  static void TearDownTestSuite() {
    platform::close_listener(&open_);
    platform::close_listener(&silent_);
  }

  void SetUp() override {
    table_ = std::make_unique<HostTable>();
    table_->host_count = 1;
    host().host.assign("127.0.0.1");
    host().port.assign(port_text(open_.port).c_str());
    host().timeoutsec = 1;
    host().alertcount = 3;
    host().alertcount_text.assign("3");
    context_.table = table_.get();
    context_.notify = &notify_;
    test_time = kStart;
    set_clock_for_testing(&test_clock);
    set_command_hook_for_testing(&CommandCounter::hook, &commands_);
  }
  void TearDown() override {
    set_command_hook_for_testing(nullptr, nullptr);
    set_clock_for_testing(nullptr);
    set_silent_mode(false);
  }

  HostEntry& host(int index = 1) { return table_->hosts[index]; }
  void use_port(uint16_t port, int index = 1) { host(index).port.assign(port_text(port).c_str()); }
  // One check of host `index` at `when`; returns the slot's failed flag.
  int check_at(int64_t when, int index = 1) {
    test_time = when;
    WorkerSlot slot;
    slot.host_index = index;
    slot.failed = 7;
    EXPECT_EQ(check_host_worker(&slot, context_), 0u);
    return slot.failed;
  }
  std::string log() const { return test::read_file(kLogFileName); }

  static platform::Listener open_;
  static platform::Listener silent_;
  static uint16_t closed_port_;
  std::unique_ptr<HostTable> table_;
  NotifySettings notify_;  // no channel: alerts only log their subject
  WorkerContext context_;
  CommandCounter commands_;
};

platform::Listener WorkerTest::open_;
platform::Listener WorkerTest::silent_;
uint16_t WorkerTest::closed_port_ = 0;

TEST_F(WorkerTest, UpCountingDownAndBackUp) {
  const std::string up = port_text(open_.port);
  const std::string down = port_text(closed_port_);
  test::OutputCapture capture;

  EXPECT_EQ(check_at(kStart), 0);
  EXPECT_EQ(host().resolve_state, kResolved);
  EXPECT_STREQ(host().resolved_ip.c_str(), "127.0.0.1");

  use_port(closed_port_);
  EXPECT_EQ(check_at(kStart + 10), 1);
  EXPECT_EQ(check_at(kStart + 20), 1);
  EXPECT_EQ(host().fail_count, 2);
  EXPECT_EQ(host().first_fail_time, kStart + 10);
  EXPECT_EQ(host().last_fail_time, kStart + 20);
  EXPECT_EQ(commands_.pings, 0);

  // The third failure raises the alert and restarts the count at this check.
  EXPECT_EQ(check_at(kStart + 30), 1);
  EXPECT_EQ(commands_.pings, 3);
  EXPECT_EQ(host().alert_sent, 1);
  EXPECT_EQ(host().fail_count, 1);
  EXPECT_EQ(host().first_fail_time, kStart + 30);
  EXPECT_EQ(host().last_fail_time, kStart + 30);

  EXPECT_EQ(check_at(kStart + 40), 1);
  EXPECT_EQ(commands_.pings, 3);
  EXPECT_EQ(host().fail_count, 1);
  EXPECT_EQ(host().first_fail_time, kStart + 30);
  EXPECT_EQ(host().last_fail_time, kStart + 40);

  use_port(open_.port);
  EXPECT_EQ(check_at(kStart + 50), 0);
  EXPECT_EQ(check_at(kStart + 60), 0);
  EXPECT_EQ(host().alert_sent, 0);
  EXPECT_EQ(host().fail_count, 0);
  EXPECT_EQ(host().first_fail_time, 0);
  EXPECT_EQ(host().last_fail_time, 0);
  EXPECT_EQ(commands_.others, 0);

  const std::vector<std::string> lines = lines_of(capture.out());
  ASSERT_EQ(lines.size(), 7u) << capture.out();
  const std::string connected = "[127.0.0.1:" + up + "] connected. Taking [";
  for (size_t i : {0u, 5u, 6u}) {
    EXPECT_EQ(lines[i].rfind(connected, 0), 0u) << lines[i];
    EXPECT_EQ(lines[i].substr(lines[i].size() - 9), "] seconds") << lines[i];
  }
  const std::string prefix = "[127.0.0.1:" + down + "] ";
  EXPECT_EQ(lines[1], prefix + "Connection refused. Consecutive FAIL count [1] of [3]");
  EXPECT_EQ(lines[2], prefix + "Connection refused. Consecutive FAIL count [2] of [3]");
  EXPECT_EQ(lines[3], prefix + "Connection refused. Consecutive FAIL count [3] of [3]");
  EXPECT_EQ(lines[4], prefix + "still DOWN [Connection refused] (alert already sent)");

  const std::string text = log();
  EXPECT_EQ(count_of(text, " - Alert for "), 1) << text;
  EXPECT_EQ(count_of(text, " - Back to normal for "), 1) << text;
  EXPECT_EQ(count_of(text, "Alert for " + down + ". 127.0.0.1 " + down + " Connection refused("), 1)
      << text;
  EXPECT_EQ(count_of(text, ". 20 seconds (3 times) from "), 1) << text;
  EXPECT_EQ(count_of(text, "Back to normal for " + up + " 127.0.0.1:" + up), 1) << text;
  EXPECT_EQ(text.find("Back to normal"), text.rfind(" - ") + 3);  // recovery comes last
}

TEST_F(WorkerTest, FailFailSucceedRaisesNothing) {
  use_port(closed_port_);
  check_at(kStart);
  check_at(kStart + 5);
  use_port(open_.port);
  EXPECT_EQ(check_at(kStart + 10), 0);
  EXPECT_EQ(host().fail_count, 0);
  EXPECT_EQ(host().first_fail_time, 0);
  EXPECT_EQ(commands_.pings, 0);
  EXPECT_FALSE(test::file_exists(kLogFileName));
}

TEST_F(WorkerTest, TimeoutsAndErrorsFeedOneCount) {
  host().alertcount = 2;
  const std::string silent = port_text(silent_.port);
  const std::string closed = port_text(closed_port_);
  test::OutputCapture capture;

  use_port(silent_.port);
  EXPECT_EQ(check_at(kStart), 1);
  use_port(closed_port_);
  EXPECT_EQ(check_at(kStart + 7), 1);  // reaches the threshold with a refusal
  EXPECT_EQ(host().alert_sent, 1);
  use_port(silent_.port);
  EXPECT_EQ(check_at(kStart + 14), 1);

  const std::vector<std::string> lines = lines_of(capture.out());
  ASSERT_EQ(lines.size(), 3u) << capture.out();
  EXPECT_EQ(lines[0], "[127.0.0.1:" + silent + "] consecutive TIMEOUT count [1] of [2]");
  EXPECT_EQ(lines[1],
            "[127.0.0.1:" + closed + "] Connection refused. Consecutive FAIL count [2] of [2]");
  EXPECT_EQ(lines[2], "[127.0.0.1:" + silent + "] still DOWN (alert already sent)");

  const std::string text = log();
  EXPECT_EQ(count_of(text, " - Alert for "), 1) << text;
  EXPECT_EQ(count_of(text, " Connection refused("), 1) << text;
  EXPECT_EQ(count_of(text, ". 7 seconds (2 times) from "), 1) << text;
}

TEST_F(WorkerTest, TimeoutWithAlertcountOneAlertsAtOnce) {
  host().alertcount = 1;
  use_port(silent_.port);
  EXPECT_EQ(check_at(kStart), 1);
  EXPECT_EQ(host().alert_sent, 1);
  EXPECT_EQ(commands_.pings, 3);
  const std::string text = log();
  EXPECT_EQ(count_of(text, " Timeout("), 1) << text;
  EXPECT_EQ(count_of(text, ". 0 seconds (1 times) from "), 1) << text;
}

TEST_F(WorkerTest, UnresolvableHostIsRetriedAndNeverTouchesTheAlertState) {
  host().host.assign("no-such-host.invalid");
  host().fail_count = 2;
  host().alert_sent = 1;
  host().first_fail_time = 5;
  host().last_fail_time = 6;
  test::OutputCapture capture;

  EXPECT_EQ(check_at(kStart), 1);
  EXPECT_EQ(check_at(kStart + 1), 1);
  EXPECT_EQ(host().resolve_state, kResolveFailed);
  EXPECT_STREQ(host().resolved_ip.c_str(), "");
  EXPECT_EQ(host().fail_count, 2);
  EXPECT_EQ(host().alert_sent, 1);
  EXPECT_EQ(host().first_fail_time, 5);
  EXPECT_EQ(host().last_fail_time, 6);
  EXPECT_EQ(commands_.pings, 0);
  EXPECT_EQ(capture.out(),
            "Unable to resolve Host host[no-such-host.invalid]\n"
            "Unable to resolve Host host[no-such-host.invalid]\n");
  EXPECT_EQ(count_of(log(), " - Unable to resolve Host host[no-such-host.invalid]" +
                                std::string(test::text_line_end())),
            2);

  // Once the name resolves, the same check goes on to the probe.
  host().host.assign("127.0.0.1");
  EXPECT_EQ(check_at(kStart + 2), 0);
  EXPECT_EQ(host().resolve_state, kResolved);
  EXPECT_EQ(host().alert_sent, 0);  // that success was the recovery

  // An empty name is never looked up.
  host(2).host.assign("");
  table_->host_count = 2;
  EXPECT_EQ(check_at(kStart + 3, 2), 1);
  EXPECT_EQ(host(2).resolve_state, kNotResolved);
  EXPECT_EQ(lines_of(capture.out()).back(), "Unable to resolve Host host[]");
}

TEST_F(WorkerTest, InvalidPortsAreReportedButNotFailures) {
  host().fail_count = 1;
  host().first_fail_time = 5;
  host().last_fail_time = 5;
  const char* ports[] = {"0", "-5", "abc", "", "70000", "65536"};
  test::OutputCapture capture;
  for (const char* port : ports) {
    SCOPED_TRACE(port);
    host().port.assign(port);
    EXPECT_EQ(check_at(kStart), 0);
  }
  EXPECT_EQ(host().fail_count, 1);
  EXPECT_EQ(host().first_fail_time, 5);

  std::string expected;
  for (size_t i = 0; i < std::size(ports); ++i) expected += "Invalid port for host [127.0.0.1]\n";
  EXPECT_EQ(capture.out(), expected);
  EXPECT_EQ(count_of(log(), " - Invalid port for host [127.0.0.1]"), 6);
}

TEST_F(WorkerTest, SilentModeKeepsTheLogOnly) {
  set_silent_mode(true);
  host().alertcount = 1;
  test::OutputCapture capture;
  use_port(closed_port_);
  EXPECT_EQ(check_at(kStart), 1);
  host(2) = host(1);
  host(2).host.assign("no-such-host.invalid");
  host(2).resolve_state = kNotResolved;
  table_->host_count = 2;
  EXPECT_EQ(check_at(kStart, 2), 1);
  EXPECT_EQ(capture.out(), "");
  const std::string text = log();
  EXPECT_EQ(count_of(text, " - Alert for "), 1) << text;
  EXPECT_EQ(count_of(text, " - Unable to resolve Host host[no-such-host.invalid]"), 1) << text;
}

TEST_F(WorkerTest, MissingSlotOrHostDoesNothing) {
  EXPECT_EQ(check_host_worker(nullptr, context_), 0u);
  test::OutputCapture capture;
  for (int index : {0, 2, -1, kHostTableSlots}) EXPECT_EQ(check_at(kStart, index), 0);
  EXPECT_EQ(capture.out(), "");
}

// Hosts of one batch fail together: each alerts once, on its own thread,
// without waiting for the others' alerts.
TEST_F(WorkerTest, ConcurrentWorkersAlertEachHostOnce) {
  constexpr int kHosts = 8;
  table_->host_count = kHosts;
  for (int i = 1; i <= kHosts; ++i) {
    host(i) = host(1);
    host(i).alertcount = 2;
    use_port(closed_port_, i);
  }
  set_silent_mode(true);
  for (int round = 0; round < 3; ++round) {
    test_time = kStart + round;
    std::vector<WorkerSlot> slots(kHosts + 1);
    std::vector<std::thread> threads;
    for (int i = 1; i <= kHosts; ++i) {
      slots[i].host_index = i;
      threads.emplace_back([&, i] { check_host_worker(&slots[i], context_); });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 1; i <= kHosts; ++i) EXPECT_EQ(slots[i].failed, 1);
  }
  EXPECT_EQ(commands_.pings, 3 * kHosts);
  EXPECT_EQ(count_of(log(), " - Alert for "), kHosts);
  for (int i = 1; i <= kHosts; ++i) {
    EXPECT_EQ(host(i).alert_sent, 1);
    EXPECT_EQ(host(i).fail_count, 1);
  }
}

}  // namespace
}  // namespace lw
