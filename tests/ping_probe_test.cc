#include "probe/ping_probe.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
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
}

}  // namespace
}  // namespace lw
