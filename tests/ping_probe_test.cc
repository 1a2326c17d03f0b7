#include "probe/ping_probe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

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
  const std::string ping = std::string("ping") + platform::kExecutableSuffix;
  std::filesystem::copy_file(test::program_path("lw_testtool"), dir.path() / ping);
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path ? old_path : "";
  const std::string path = dir.path().string() + platform::kPathListSeparator + saved;
  ASSERT_TRUE(platform::set_env("PATH", path.c_str()));
  platform::set_env("LW_FAKE_PING_OUTPUT", "Reply from 10.0.0.1: TTL=64");
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 3);
  EXPECT_EQ(probe_ping("--help", nullptr), 0);
  platform::set_env("LW_FAKE_PING_EXIT", "1");
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 0);
  platform::set_env("LW_FAKE_PING_EXIT", nullptr);
  platform::set_env("LW_FAKE_PING_SLEEP_MS", "60000");
  const uint64_t start = platform::monotonic_ms();
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 0);
  const uint64_t took = platform::monotonic_ms() - start;
  EXPECT_GE(took, kPingAttempts * (kPingAttemptLimitMs - 100)) << took;
  EXPECT_LT(took, kPingAttempts * (kPingAttemptLimitMs + 5000)) << took;
  platform::set_env("PATH", saved.c_str());
  platform::set_env("LW_FAKE_PING_OUTPUT", nullptr);
  platform::set_env("LW_FAKE_PING_SLEEP_MS", nullptr);
}

}  // namespace
}  // namespace lw
