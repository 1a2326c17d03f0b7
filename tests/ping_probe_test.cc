#include "probe/ping_probe.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>

#include "platform/platform.h"
#include "support/runner.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

// The test tool stands in for ping, first on PATH: runs that exit 0 with a
// reply marker count, a name that would be read as an option never runs, and
// a ping that hangs is ended at the attempt limit instead of holding the alert
// for the runner's default limit.
TEST(PingProbeTest, CountsRepliesAndEndsAHangingPingAtTheAttemptLimit) {
  test::ScopedWorkDir dir;
  test::ScopedFakeTools ping(dir.path(), {"ping"},
                             {{"LW_FAKE_PING_OUTPUT", "Reply from 10.0.0.1: TTL=64"}});
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 3);
  EXPECT_EQ(probe_ping("--help", nullptr), 0);
  ping.set("LW_FAKE_PING_EXIT", "1");
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 0);
  platform::set_env("LW_FAKE_PING_EXIT", nullptr);
  ping.set("LW_FAKE_PING_SLEEP_MS", "60000");
  const uint64_t start = platform::monotonic_ms();
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 0);
  const uint64_t took = platform::monotonic_ms() - start;
  EXPECT_GE(took, kPingAttempts * (kPingAttemptLimitMs - 100)) << took;
  EXPECT_LT(took, kPingAttempts * (kPingAttemptLimitMs + 5000)) << took;

  // A stop during the first attempt ends the series after that attempt's
  // grace: no further attempt starts.
  std::thread stopper([] {
    platform::sleep_ms(300);
    platform::request_stop();
  });
  const uint64_t stop_start = platform::monotonic_ms();
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 0);
  stopper.join();
  const uint64_t stop_took = platform::monotonic_ms() - stop_start;
  platform::clear_stop_request();
  EXPECT_LT(stop_took, 2 * platform::kStopGraceMs) << stop_took;
}

// Recorded outputs: a reply counts only when ping exited 0 and a line names
// the target with its round-trip time, in any language, and holds no
// "unreachable".
TEST(PingProbeTest, OnlyTrueRepliesFromTheTargetCount) {
  const std::tuple<int, const char*, const char*, bool> runs[] = {
      {0, "Reply from 10.0.0.1: bytes=32 time=3ms TTL=57\r\n", "10.0.0.1", true},
      {0, "R\x82ponse de 10.0.0.1\xff: octets=32 temps=12 ms TTL=64\r\n", "10.0.0.1", true},
      {0, "Reply from 2001:db8::10: time<1ms\r\n", "2001:db8::10", true},
      {0, "Antwort von 2001:db8::10: Zeit=12ms\r\n", "2001:db8::10", true},
      {0, "64 bytes from 10.0.0.1: icmp_seq=1 ttl=64 time=0.045 ms\n", "10.0.0.1", true},
      {0, "64 bytes from ::1: icmp_seq=1 ttl=64 time=0.05 ms\n", "::1", true},
      {0, "Reply from 10.0.0.1: Destination host UNREACHABLE TTL=64 time<1ms\r\n", "10.0.0.1",
       false},
      {0, "Reply from 10.0.0.12: bytes=32 time=3ms TTL=57\r\n", "10.0.0.1", false},
      {0, "Reply from 2001:db8::1:5: time<1ms\r\n", "2001:db8::1", false},
      {0, "Reply from 2001:db8::10: bytes=32\r\nPing statistics for 2001:db8::10:\r\n",
       "2001:db8::10", false},
      {1, "64 bytes from 10.0.0.1: icmp_seq=1 ttl=64 time=0.045 ms\n", "10.0.0.1", false},
  };
  for (const auto& [exit_code, output, target, answered] : runs) {
    EXPECT_EQ(ping_answered(exit_code, output, target), answered) << output;
  }
}

// The address is pinged with the option of its family.
TEST(PingProbeTest, PingsTheAddressWithItsFamilyOption) {
  static std::string line;
  test::ScopedEnvironment env;
  env.set_runner(
      [](void*, const Command& command, char*) {
        line.clear();
        for (const char* const* arg = command.argv; *arg; ++arg) line += std::string(*arg) + " ";
        return 1;
      },
      nullptr);
  const std::string options = std::string(platform::kPingOptions[0]) + " " +
                              platform::kPingOptions[1] + " " + platform::kPingOptions[2] + " " +
                              platform::kPingOptions[3] + " ";
  probe_ping("::1", nullptr);
  EXPECT_EQ(line, "ping -6 " + options + "::1 ");
  probe_ping("10.0.0.1", nullptr);
  EXPECT_EQ(line, "ping -4 " + options + "10.0.0.1 ");
}

}  // namespace
}  // namespace lw
