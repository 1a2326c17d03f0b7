#include "probe/ping_probe.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/fixed_text.h"
#include "support/runner.h"

namespace lw {
namespace {

using Answers = std::vector<std::pair<int, const char*>>;  // exit code, output; in turn
Answers g_answers;
std::vector<std::vector<std::string>> g_argvs;

int scripted_answers(void*, const Command& command, char* out) {
  std::vector<std::string>& argv = g_argvs.emplace_back();
  for (const char* const* arg = command.argv; *arg; ++arg) argv.emplace_back(*arg);
  const auto& [rc, text] = g_answers.at(g_argvs.size() - 1);  // a run too many throws
  copy_bounded(out, kCaptureBufferSize, text);
  return rc;
}

TEST(PingProbeTest, ThreeExactRunsCountingThoseThatExitZeroWithAReplyMarker) {
  const char* const host = "web01 \"quoted\" & more";  // one argument, as it is
  std::vector<std::string> argv = {"ping", "-c", "1", "-W", "2", host};
  if (*platform::kExecutableSuffix) argv = {"ping", "-n", "1", "-w", "2000", host};
  const std::tuple<const char*, Answers, int> cases[] = {
      {host, {{0, "x TTL=64"}, {0, "64 bytes: ttl=64 time=1"}, {0, "Reply from 10.0.0.1"}}, 3},
      {host, {{1, "Reply from 10.0.0.1: unreachable"}, {2, "ttl=1"}, {0, "TTL=9"}}, 1},
      {host, {{0, "no answer"}, {0, ""}, {0, "tTl=5 reply from"}}, 0},
      {nullptr, {}, 0},  // nothing runs for these three
      {"", {}, 0},
      {"--help", {}, 0},  // would be read as an option
  };
  set_command_hook_for_testing(&scripted_answers, nullptr);
  for (const auto& [name, answers, expected] : cases) {
    g_answers = answers;
    g_argvs.clear();
    int32_t answered = -7;
    EXPECT_EQ(probe_ping(name, &answered), expected) << (name ? name : "null") << answers.size();
    EXPECT_EQ(answered, expected);
    EXPECT_EQ(g_argvs, std::vector<std::vector<std::string>>(answers.size(), argv));
  }
  set_command_hook_for_testing(nullptr, nullptr);
}

}  // namespace
}  // namespace lw
