#include "probe/ping_probe.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/fake_tools.h"
#include "support/fixed_text.h"
#include "support/runner.h"

namespace lw {
namespace {

// Answers each command in turn with a scripted exit code and output, and
// records the argument vectors it was given.
struct ScriptedRunner {
  struct Answer {
    int rc;
    const char* output;
  };
  std::vector<Answer> answers;
  std::vector<std::vector<std::string>> commands;

  static int hook(void* context, const Command& command, char* out) {
    auto* self = static_cast<ScriptedRunner*>(context);
    std::vector<std::string> argv;
    for (const char* const* arg = command.argv; *arg; ++arg) argv.emplace_back(*arg);
    const size_t index = self->commands.size();
    self->commands.push_back(argv);
    if (index >= self->answers.size()) return -1;
    if (out) copy_bounded(out, kCaptureBufferSize, self->answers[index].output);
    return self->answers[index].rc;
  }
};

class PingProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { set_command_hook_for_testing(&ScriptedRunner::hook, &runner_); }
  void TearDown() override { set_command_hook_for_testing(nullptr, nullptr); }
  ScriptedRunner runner_;
};

TEST_F(PingProbeTest, RunsThreeSeparateAttemptsWithTheHostAsOneArgument) {
  runner_.answers = {{0, ""}, {0, ""}, {0, ""}};
  const char* host = "web01 \"quoted\" & more";
  probe_ping(host, nullptr);

  const std::vector<std::string> expected = {"ping",
                                             platform::kPingOptions[0],
                                             platform::kPingOptions[1],
                                             platform::kPingOptions[2],
                                             platform::kPingOptions[3],
                                             host};
  ASSERT_EQ(runner_.commands.size(), 3u);
  for (const auto& command : runner_.commands) EXPECT_EQ(command, expected);
}

TEST_F(PingProbeTest, CountsOnlyAttemptsThatExitZeroWithAReplyMarker) {
  struct Case {
    const char* name;
    std::vector<ScriptedRunner::Answer> answers;
    int expected;
  };
  const Case cases[] = {
      {"every marker",
       {{0, "x TTL=64"}, {0, "64 bytes: ttl=64 time=1"}, {0, "Reply from 10.0.0.1"}},
       3},
      {"marker but non-zero exit",
       {{1, "Reply from 10.0.0.1: unreachable"}, {2, "ttl=1"}, {0, "TTL=9"}},
       1},
      {"exit zero without marker", {{0, "no answer"}, {0, ""}, {0, "tTl=5 reply from"}}, 0},
      {"cannot start", {{-1, ""}, {-1, ""}, {-1, ""}}, 0},
      {"answer does not stop the series", {{0, "TTL=1"}, {1, ""}, {0, "TTL=1"}}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runner_.answers = c.answers;
    runner_.commands.clear();
    int32_t answered = -7;
    EXPECT_EQ(probe_ping("web01", &answered), c.expected);
    EXPECT_EQ(answered, c.expected);
    EXPECT_EQ(runner_.commands.size(), 3u);
  }
}

TEST_F(PingProbeTest, HostsThatCannotBePingedRunNothing) {
  for (const char* host : {static_cast<const char*>(nullptr), "", "-f", "--help"}) {
    SCOPED_TRACE(host ? host : "(null)");
    int32_t answered = 5;
    EXPECT_EQ(probe_ping(host, &answered), 0);
    EXPECT_EQ(answered, 0);
  }
  EXPECT_TRUE(runner_.commands.empty());
}

// The real runner with the fake ping first on PATH: the marker is read from
// a real child's output and its exit code decides.
TEST(PingProbeProcessTest, ReadsTheOutputOfTheRealCommand) {
  test::FakeTools tools;
  ASSERT_TRUE(tools.ok());
  tools.set_output("ping", "Reply from 127.0.0.1: bytes=32 time<1ms TTL=128\n");
  EXPECT_EQ(probe_ping("127.0.0.1", nullptr), 3);

  auto calls = tools.calls("ping");
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].args.back(), "127.0.0.1");
  EXPECT_EQ(calls[0].args.size(), 5u);

  tools.clear_calls();
  tools.set_exit("ping", 1);
  EXPECT_EQ(probe_ping("127.0.0.1", nullptr), 0);
  EXPECT_EQ(tools.calls("ping").size(), 3u);
}

}  // namespace
}  // namespace lw
