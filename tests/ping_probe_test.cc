#include "probe/ping_probe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/fixed_text.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

std::vector<const char*> g_answers;  // output of each ping run in turn, all exit 0 but the first
std::vector<std::vector<std::string>> g_argvs;

int scripted_answers(void*, const Command& command, char* out) {
  std::vector<std::string>& argv = g_argvs.emplace_back();
  for (const char* const* arg = command.argv; *arg; ++arg) argv.emplace_back(*arg);
  copy_bounded(out, kCaptureBufferSize, g_answers.at(g_argvs.size() - 1));  // a run too many throws
  return g_argvs.size() == 1 ? 1 : 0;
}

// Three runs, counting those that exit 0 with a reply marker; a name that
// would be read as an option never runs.
TEST(PingProbeTest, CountsRunsThatExitZeroWithAReplyMarker) {
  const char* const host = "web01 \"quoted\" & more";  // one argument, as it is
  std::vector<std::string> argv = {"ping", "-c", "1", "-W", "2", host};
  if (*platform::kExecutableSuffix) argv = {"ping", "-n", "1", "-w", "2000", host};
  const std::tuple<const char*, std::vector<const char*>, int> cases[] = {
      {host, {"TTL=9", "64 bytes: ttl=64 time=1", "Reply from 10.0.0.1"}, 2}, {"--help", {}, 0}};
  set_command_hook_for_testing(&scripted_answers, nullptr);
  for (const auto& [name, answers, expected] : cases) {
    g_answers = answers;
    g_argvs.clear();
    EXPECT_EQ(probe_ping(name, nullptr), expected) << name;
    EXPECT_EQ(g_argvs, std::vector<std::vector<std::string>>(answers.size(), argv));
  }
  set_command_hook_for_testing(nullptr, nullptr);
}

// A ping that hangs is ended at the attempt limit instead of holding the
// alert for the runner's default limit.
TEST(PingProbeTest, HangingPingIsEndedAtTheAttemptLimit) {
  test::ScopedWorkDir dir;
  // The test tool stands in for ping, first on PATH, and hangs.
  const std::string ping = std::string("ping") + platform::kExecutableSuffix;
  std::filesystem::copy_file(test::program_path("lw_testtool"), dir.path() / ping);
  const char* old_path = std::getenv("PATH");
  const std::string saved = old_path ? old_path : "";
  const std::string path = dir.path().string() + platform::kPathListSeparator + saved;
  ASSERT_TRUE(platform::set_env("PATH", path.c_str()));
  platform::set_env("LW_FAKE_PING_OUTPUT", "Reply from 10.0.0.1: TTL=64");
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
