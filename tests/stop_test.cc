// The orderly stop of a real instance with a check and a send in flight.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/instance.h"
#include "platform/platform.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using Result = test::ProgramResult;  // exit code, joined output
using test::run_program;

// Waits up to 20 s (the start delay, up to 9 s, and a margin) for `text` in the log.
bool log_shows(const std::string& text) {
  return test::eventually(
      [&] { return test::read_file(kLogFileName).find(text) != std::string::npos; });
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

class InstanceStopTest : public test::WorkDirTest {
 protected:
  // Starts an instance in the background with `hosts` (a host file's text).
  void start(const std::string& hosts) {
    test::write_file("linkwatch_host.txt", "interval : \"60\"\n" + hosts);
    ASSERT_EQ(run_program({"-start"}).first, 0);
    pid_ = read_pid_file();
  }
  void TearDown() override {
    if (pid_ != 0 && platform::pid_is_alive(pid_)) platform::terminate_process(pid_);
  }
  uint32_t pid_ = 0;
};

// "-stop" (SIGTERM, the stop event on Windows) while a check waits a minute on
// a silent service and a Teams send hangs (curl sleeps a minute) with another
// behind it: the run ends in order, the cut check logs nothing, nothing new is
// sent, every message is logged as not delivered, the metrics name no service.
TEST_F(InstanceStopTest, AStopEndsACheckInFlightAndLogsEveryMessageNotDelivered) {
  test::ScopedFakeTools tools(work_dir(), {"curl", "ping"},
                              {{"LW_FAKE_CURL_SLEEP_MS", "60000"},
                               {"LW_FAKE_PING_OUTPUT", "Reply from 127.0.0.1: TTL=64"}});
  platform::Listener silent, gone;  // silent: never accepts, its backlog filled
  ASSERT_TRUE(platform::socket_startup() && platform::listen_loopback(0, 1, &silent) &&
              platform::listen_loopback(0, 1, &gone));
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", silent.port, 1, nullptr);
  const std::string refused = std::to_string(gone.port);
  platform::close_listener(&gone);
  test::write_file("linkwatch_email.txt",
                   "teams_webhook : \"https://127.0.0.1:9/hook\"\nretry_minutes : \"60\"\n");
  std::string hosts = "workers : \"3\"\nmetrics_file : \"lw.prom\"\nsite : \"lab\"\n";
  hosts +=
      "host : \"127.0.0.1\"\nport : \"" + std::to_string(silent.port) + "\"\ntimeoutsec : \"60\"\n";
  for (const char* host : {"127.0.0.1", "127.0.0.2"})
    hosts += std::string("host : \"") + host + "\"\nport : \"" + refused +
             "\"\nalertcount : \"1\"\ntimeoutsec : \"2\"\n";
  start(hosts);
  ASSERT_TRUE(log_shows("Send Microsoft Teams alert"));
  platform::sleep_ms(500);  // the second DOWN waits behind the first now
  const std::string log = stop_in_order();
  for (const char* misleading : {"Timeout", "TIMEOUT", "FAIL", "Stopped", "unreachable"}) {
    EXPECT_EQ(log.find(misleading), std::string::npos) << misleading << " in\n" << log;
  }
  for (const char* host : {"127.0.0.1", "127.0.0.2"}) {
    const std::string line =
        "Teams: alert not delivered (linkwatch stopped): Alert for " + refused + ". " + host;
    EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
  }
  EXPECT_EQ(test::count_of(log, "Send Microsoft Teams alert"), 1u)
      << "a send started after the stop request:\n"
      << log;
  const std::string metrics = test::read_file("lw.prom");
  EXPECT_NE(metrics.find("\nlinkwatch_up{site=\"lab\"} 0\n"), std::string::npos) << metrics;
  EXPECT_EQ(metrics.find("linkwatch_host_"), std::string::npos) << metrics;
  platform::close_listener(&silent);
}

}  // namespace
}  // namespace lw
