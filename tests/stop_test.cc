// The orderly stop of a real instance with a check in flight, and children
// that end with their parent even when it is killed. (The hang-up signal
// reloads: reload_test.cc.)

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "app/instance.h"
#include "platform/platform.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using Result = test::ProgramResult;  // exit code, joined output
using test::run_program;

// Longest wait for an instance to log something: the random start delay
// (up to 9 s) and a margin.
constexpr int kLogWaitMs = 20000;

// Waits up to `ms` for the log to hold `text`.
bool log_shows(const std::string& text, int ms = kLogWaitMs) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (test::read_file(kLogFileName).find(text) != std::string::npos) return true;
    platform::sleep_ms(50);
  }
  return test::read_file(kLogFileName).find(text) != std::string::npos;
}

// Runs "-stop": it answers within a generous bound and the run ended in
// order. The log.
std::string stop_in_order() {
  const uint64_t asked = platform::monotonic_ms();
  EXPECT_EQ(run_program({"-stop"}), Result(0, "linkwatch stopped\n"));
  EXPECT_LT(platform::monotonic_ms() - asked, 15000u) << "the stop was held";
  const std::string log = test::read_file(kLogFileName);
  EXPECT_NE(log.find("------ linkwatch is stopped: stop requested ------"), std::string::npos)
      << "the stop was not orderly:\n"
      << log;
  return log;
}

// A listener that never accepts, its backlog filled: a connect to it is
// neither accepted nor refused and waits out its whole time-out.
struct SilentService {
  SilentService() {
    EXPECT_TRUE(platform::socket_startup());
    EXPECT_TRUE(platform::listen_loopback(0, 1, &listener));
    for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", listener.port, 1, nullptr);
  }
  ~SilentService() { platform::close_listener(&listener); }
  platform::Listener listener;
};

class InstanceStopTest : public test::WorkDirTest {
 protected:
  // Starts an instance in the background watching 127.0.0.1:`port` with
  // `timeoutsec`; its pid, 0 when it did not start.
  uint32_t start_instance(uint16_t port, int timeoutsec) {
    test::write_file("linkwatch_host.txt",
                     "interval : \"60\"\nmetrics_file : \"lw.prom\"\n"
                     "site : \"lab\"\nhost : \"127.0.0.1\"\nport : \"" +
                         std::to_string(port) + "\"\ntimeoutsec : \"" + std::to_string(timeoutsec) +
                         "\"\n");
    const Result started = run_program({"-start"});
    pid_ = read_pid_file();
    EXPECT_EQ(started.first, 0) << started.second;
    return pid_ != 0 && platform::pid_is_alive(pid_) ? pid_ : 0;
  }
  void TearDown() override {
    if (pid_ != 0 && platform::pid_is_alive(pid_)) platform::terminate_process(pid_);
  }
  uint32_t pid_ = 0;
};

// A check of a service that never answers, with a minute to wait, is cut
// by "-stop" (SIGTERM on POSIX, the stop event on Windows): the run ends in
// order within the child grace and a margin, and the check it cut counts
// nothing and logs nothing. The metrics file then says that linkwatch stopped
// and names no service.
TEST_F(InstanceStopTest, AStopEndsACheckInFlight) {
  SilentService silent;
  ASSERT_NE(start_instance(silent.listener.port, 60), 0u);
  ASSERT_TRUE(log_shows("------ linkwatch is started ------"));
  platform::sleep_ms(1500);  // the first cycle's check is waiting now
  const std::string log = stop_in_order();
  for (const char* misleading : {"Timeout", "TIMEOUT", "FAIL", "Stopped", "unreachable"}) {
    EXPECT_EQ(log.find(misleading), std::string::npos) << misleading << " in\n" << log;
  }
  const std::string metrics = test::read_file("lw.prom");
  EXPECT_NE(metrics.find("\nlinkwatch_up{site=\"lab\"} 0\n"), std::string::npos) << metrics;
  EXPECT_EQ(metrics.find("linkwatch_host_"), std::string::npos) << metrics;
}

// A stop while a Teams send hangs and another alert waits behind it (the
// fake curl sleeps a minute): the send gets its grace, nothing new is sent,
// and "-stop" finds every message logged as not delivered and the stop line.
TEST_F(InstanceStopTest, AStopLogsEveryMessageNotDelivered) {
  test::ScopedFakeTools tools(work_dir(), {"curl", "ping"},
                              {{"LW_FAKE_CURL_SLEEP_MS", "60000"},
                               {"LW_FAKE_PING_OUTPUT", "Reply from 127.0.0.1: TTL=64"}});
  platform::Listener gone;
  ASSERT_TRUE(platform::socket_startup() && platform::listen_loopback(0, 1, &gone));
  const std::string refused = std::to_string(gone.port);
  platform::close_listener(&gone);
  test::write_file(
      "linkwatch_host.txt",
      "interval : \"60\"\nhost : \"127.0.0.1\"\nport : \"" + refused +
          "\"\nalertcount : \"1\"\ntimeoutsec : \"2\"\nhost : \"127.0.0.2\"\nport : \"" + refused +
          "\"\nalertcount : \"1\"\ntimeoutsec : \"2\"\n");
  test::write_file("linkwatch_email.txt",
                   "teams_webhook : \"https://127.0.0.1:9/hook\"\nretry_minutes : \"60\"\n");
  ASSERT_EQ(run_program({"-start"}).first, 0);
  pid_ = read_pid_file();
  ASSERT_TRUE(log_shows("Send Microsoft Teams alert"));
  platform::sleep_ms(500);  // the second DOWN waits behind the first now
  const std::string log = stop_in_order();
  for (const char* host : {"127.0.0.1", "127.0.0.2"}) {
    const std::string line =
        "Teams: alert not delivered (linkwatch stopped): Alert for " + refused + ". " + host;
    EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
  }
  size_t sends = 0;
  for (size_t at = 0; (at = log.find("Send Microsoft Teams alert", at)) != std::string::npos;
       ++at) {
    ++sends;
  }
  EXPECT_EQ(sends, 1u) << "a send started after the stop request:\n" << log;
}

class ChildProcessTest : public test::WorkDirTest {};

// A child started through run_process ends when its parent is ended without
// any clean-up (SIGKILL, TerminateProcess).
TEST_F(ChildProcessTest, AChildEndsWithItsKilledParent) {
  if (!platform::kChildEndsWithParent) GTEST_SKIP() << "not on " << platform::kSystemName;
  const std::string tool = test::program_path("lw_testtool").string();
  std::thread parent([&tool] {
    const char* argv[] = {tool.c_str(), "pidfile",   "parent.pid", "run-child",
                          "60000",      "child.pid", nullptr};
    platform::RunRequest request;
    request.argv = argv;
    request.discard_output = true;
    request.time_limit_ms = 60000;
    platform::run_process(request);
  });
  const uint32_t parent_pid = test::wait_for_pid_file("parent.pid");
  const uint32_t child_pid = test::wait_for_pid_file("child.pid");
  ASSERT_NE(parent_pid, 0u);
  ASSERT_NE(child_pid, 0u);
  EXPECT_EQ(platform::terminate_process(parent_pid), platform::TerminateResult::kTerminated);
  for (int i = 0; i < 100 && platform::pid_is_alive(child_pid); ++i) platform::sleep_ms(50);
  const bool outlived = platform::pid_is_alive(child_pid);
  EXPECT_FALSE(outlived) << "child " << child_pid << " outlived its parent";
  if (outlived) platform::terminate_process(child_pid);
  parent.join();
}

}  // namespace
}  // namespace lw
