// The instance: its start, refusals, claim, and its stop amid a check and a send.

#include "app/instance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/status.h"
#include "platform/platform.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using Result = test::ProgramResult;  // exit code, joined output
using test::run_program;

class InstanceTest : public test::WorkDirTest {
 protected:
  // Starts an instance in the background with `hosts` after the interval line
  // of its host file: what "-start" said. TearDown ends a run left over.
  Result start(const std::string& hosts) {
    test::write_file("linkwatch_host.txt", "interval : \"60\"\n" + hosts);
    const Result started = run_program({"-start"});
    pid_ = read_pid_file();
    return started;
  }
  void TearDown() override {
    if (pid_ != 0 && platform::pid_is_alive(pid_)) platform::terminate_process(pid_);
  }
  uint32_t pid_ = 0;
};

// "-start" answers once the instance runs and refuses beside it. A renamed
// copy (the lock tells, not the name) sees it, shows its status and stops it.
TEST_F(InstanceTest, StartedInstanceIsSeenAndStoppedByARenamedCopy) {
  platform::Listener listener;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &listener));
  const std::string copy = (work_dir() / "lw_renamed").string() + platform::kExecutableSuffix;
  std::filesystem::copy_file(test::program_path("linkwatch"), copy);
  const Result started = start("status_file : \"1\"\nhost : \"127.0.0.1\"\nport : \"" +
                               std::to_string(listener.port) + "\"\n");
  const uint32_t pid = pid_;
  ASSERT_TRUE(pid != 0 && platform::pid_is_alive(pid));
  EXPECT_EQ(started, Result(0, "linkwatch is running, pid " + std::to_string(pid) + "\n"));
  const std::string running = "linkwatch running pid " + std::to_string(pid) + "\n";
  EXPECT_EQ(run_program({"-start"}, copy),
            Result(1, "linkwatch not started: already " + running.substr(10)));
  EXPECT_EQ(run_program({"-s"}), Result(1, "linkwatch already " + running.substr(10)));
  // Both refusals are logged, the one of "-start" too.
  const std::string refused = "linkwatch not started: already running pid " + std::to_string(pid);
  const std::string log = test::read_file(kLogFileName);
  EXPECT_NE(log.find(refused), log.rfind(refused)) << log;
  EXPECT_EQ(read_pid_file(), pid) << "the live instance's file stays";
  EXPECT_TRUE(test::eventually([] { return test::file_exists(kStatusFileName); }));
  std::string table = test::read_file(kStatusFileName);  // cycles are a minute apart
  std::erase(table, '\r');
  EXPECT_EQ(table.rfind("linkwatch status, pid " + std::to_string(pid) + "\n", 0), 0u);
  EXPECT_EQ(run_program({"-status"}, copy), Result(0, running + "\n" + table));
  EXPECT_EQ(run_program({"-stop"}, copy), Result(0, "linkwatch stopped\n"));
  EXPECT_FALSE(test::file_exists(kPidFileName));
  EXPECT_TRUE(test::eventually([pid] { return !platform::pid_is_alive(pid); }, 5000));
  EXPECT_EQ(run_program({"-status"}, copy), Result(1, "linkwatch not running\n"));
  platform::close_listener(&listener);
}

// "-start" without a host file, or a host in it, starts nothing and logs why.
TEST_F(InstanceTest, StartRefusesWithoutAHost) {
  const std::string missing = "linkwatch not started: linkwatch_host.txt is missing",
                    no_host = "linkwatch not started: no host in linkwatch_host.txt";
  EXPECT_EQ(run_program({"-start"}), Result(1, missing + "\n"));
  test::write_file("linkwatch_host.txt", "\xEF\xBB\xBFinterval : \"60\"\n");
  EXPECT_EQ(run_program({"-start"}), Result(1, no_host + "\n"));
  EXPECT_FALSE(test::file_exists(kPidFileName));
  EXPECT_EQ(test::log_messages(), (std::vector<std::string>{missing, no_host}));
}

// A claim that finds another process's record (no orderly stop) logs it once;
// none, or one emptied by an orderly end, logs nothing.
TEST_F(InstanceTest, ClaimLogsARunThatDidNotStopInOrder) {
  const std::string line =
      "the previous run (pid 99999999) did not stop in order; alerts waiting then may have been "
      "lost";
  // The pid file (nullptr: none), whether the claim logs it.
  const std::pair<const char*, bool> cases[] = {
      {"99999999\n", true}, {nullptr, false}, {"", false}, {"  99999999", true}};
  for (const auto& [record, logged] : cases) {
    std::filesystem::remove(kLogFileName);
    if (record) test::write_file(kPidFileName, record);
    InstanceClaim claim;
    ASSERT_TRUE(claim_instance(&claim));
    EXPECT_EQ(read_pid_file(), platform::current_pid());
    // An orderly end that keeps the file leaves no record for the next start.
    release_instance(&claim, false);
    EXPECT_EQ(read_pid_file(), 0u);
    ASSERT_TRUE(claim_instance(&claim));
    release_instance(&claim, true);
    EXPECT_FALSE(test::file_exists(kPidFileName));
    EXPECT_EQ(test::log_messages(),
              logged ? std::vector<std::string>{line} : std::vector<std::string>{})
        << (record ? record : "no file");
  }
}

// A pid file naming a live process that does not hold its lock (here: this
// test) is no instance: "-stop" must not end that process.
TEST_F(InstanceTest, StopLeavesAProcessThatHoldsNoLock) {
  test::write_file(kPidFileName, std::to_string(platform::current_pid()) + "\n");
  EXPECT_NE(run_program({"-stop"}).first, 0);
  EXPECT_TRUE(platform::pid_is_alive(platform::current_pid()));
}

// "-stop" (SIGTERM, the stop event on Windows) while a check waits a minute on
// a silent service and a Teams send hangs (curl sleeps a minute) with another
// behind it: the run ends in order, the cut check logs nothing, nothing new is
// sent, every message is logged as not delivered, the metrics name no service.
TEST_F(InstanceTest, AStopEndsACheckInFlightAndLogsEveryMessageNotDelivered) {
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
  ASSERT_EQ(start(hosts).first, 0);
  ASSERT_TRUE(test::eventually([] {  // 20 s: the start delay (up to 9 s) and a margin
    return test::read_file(kLogFileName).find("Send Microsoft Teams alert") != std::string::npos;
  }));
  platform::sleep_ms(500);  // the second DOWN waits behind the first now
  const uint64_t asked = platform::monotonic_ms();
  EXPECT_EQ(run_program({"-stop"}), Result(0, "linkwatch stopped\n"));
  EXPECT_LT(platform::monotonic_ms() - asked, 15000u) << "the stop was held";
  const std::string log = test::read_file(kLogFileName);
  EXPECT_NE(log.find("------ linkwatch is stopped: stop requested ------"), std::string::npos)
      << log;
  for (const char* misleading : {"Timeout", "TIMEOUT", "FAIL", "Stopped", "unreachable"}) {
    EXPECT_EQ(log.find(misleading), std::string::npos) << misleading << " in\n" << log;
  }
  for (const char* host : {"127.0.0.1", "127.0.0.2"}) {
    const std::string line =
        "Teams: alert not delivered (linkwatch stopped): Alert for " + refused + ". " + host;
    EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
  }
  EXPECT_EQ(test::count_of(log, "Send Microsoft Teams alert"), 1u)
      << "a send after the stop request";
  const std::string metrics = test::read_file("lw.prom");
  EXPECT_NE(metrics.find("\nlinkwatch_up{site=\"lab\"} 0\n"), std::string::npos) << metrics;
  EXPECT_EQ(metrics.find("linkwatch_host_"), std::string::npos) << metrics;
  platform::close_listener(&silent);
}

}  // namespace
}  // namespace lw
