#include "support/runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/test_env.h"

namespace lw {
namespace {

const std::string kTool = test::program_path("lw_testtool").string();
const std::string kEnd = test::text_line_end();

// `n` bytes of lw_testtool's emit pattern, starting at offset `from`.
std::string pattern(size_t from, size_t n) {
  std::string text;
  for (size_t i = from; i < from + n; ++i) text += "abcdefghijklmnopqrstuvwxyz0123456789"[i % 36];
  return text;
}

struct Result {
  int rc;
  std::string out;  // "" when not captured
  uint64_t ms;
  RunStatus status;
};

// Runs lw_testtool with `args`, its output captured or else discarded.
Result run(std::vector<const char*> args, const char* input = nullptr, uint32_t limit_ms = 60000,
           bool capture = true) {
  args.insert(args.begin(), kTool.c_str());
  args.push_back(nullptr);
  Command command{args.data(), input, true};
  char out[kCaptureBufferSize];
  RunStatus status = RunStatus::kTimedOut;
  uint64_t start = platform::monotonic_ms();
  int rc = capture ? run_command_capture(command, out, limit_ms, &status)
                   : run_command(command, limit_ms, &status);
  return {rc, capture ? std::string(out) : "", platform::monotonic_ms() - start, status};
}

class RunnerTest : public test::WorkDirTest {};

TEST_F(RunnerTest, ArgumentsReachTheProgramExactly) {
  std::vector<const char*> argv = {"args",     "$ \" % & \\ '", "trailing\\", "",       "\\\"",
                                   "a\\\\\"b", "%PATH%",        "a|b>c<d^e",  "\t tab", "x\\\\"};
  std::string expected;
  for (size_t i = 1; i < argv.size(); ++i) expected += std::string("[") + argv[i] + "]" + kEnd;
  EXPECT_EQ(run(argv).out, expected);
  const std::string huge(40000, 'y');  // beyond the longest Windows command line
  if (platform::kExecutableSuffix[0]) {
    EXPECT_EQ(run({"args", huge.c_str()}).rc, -1) << "not cut";
  }
}

TEST_F(RunnerTest, ExitCodesAndStartFailuresAreReportedApart) {
  const Result exited = run({"exit", "255"}, nullptr, 60000, false);
  EXPECT_TRUE(exited.rc == 255 && exited.status == RunStatus::kExited);
  const std::string missing_path = (test::program_dir() / "lw-no-such-program").string();
  for (const char* missing : {"lw-no-such-program", missing_path.c_str(), ""}) {
    const char* argv[] = {missing, "exit", "0", nullptr};
    RunStatus status = RunStatus::kExited;
    EXPECT_EQ(run_command({argv}, kCommandTimeLimitMs, &status), -1) << missing;
    EXPECT_EQ(status, RunStatus::kStartFailed) << missing;
  }
}

TEST_F(RunnerTest, CaptureStoresWholeReadsWithinTheLimitWhileInputIsFed) {
  EXPECT_EQ(run({"stderr", "E1", "emit", "5", "stderr", "E2", "exit", "4"}).out, "E1abcdeE2");
  EXPECT_EQ(run({"emit", "8190", "511"}).out, pattern(0, 8190));
  // 8000 bytes, a pause, then 600 at once: reads of 511 (dropped) and 89 (kept).
  Result late = run({"emit", "8000", "500", "sleep", "300", "emit", "600", "600", "exit", "2"});
  EXPECT_EQ(late.rc, 2);
  EXPECT_EQ(late.out, pattern(0, 8000) + pattern(511, 89));
  // Input of more than a pipe holds, copied back while it is still being fed.
  std::string big = pattern(0, 300000);
  Result copied = run({"stdin", "exit", "9"}, big.c_str());
  EXPECT_EQ(copied.rc, 9);
  EXPECT_EQ(copied.out.substr(0, 4096), pattern(0, 4096));
  EXPECT_EQ(run({"exit", "3"}, big.c_str()).rc, 3) << "input the program never reads";
}

// A program outlasting its time limit or a stop's grace (the stop asked while
// it runs or before) is ended with its child; one ending within the grace exits.
TEST_F(RunnerTest, TimeLimitAndStopRequestEndTheTree) {
  Result timed_out = run({"sleep", "60000"}, nullptr, 1500);
  std::thread stopper([] {
    platform::sleep_ms(500);
    platform::request_stop();
  });
  Result stopped = run({"spawn-sleeper", "60000", "grandchild.pid"});
  stopper.join();
  Result later = run({"sleep", "60000"});
  Result quick = run({"sleep", "300", "exit", "4"});
  platform::clear_stop_request();
  const uint64_t grace = platform::kStopGraceMs;
  // The result, then its code, status, and the least and most ms it may take.
  const std::tuple<const Result&, int, RunStatus, uint64_t, uint64_t> cases[] = {
      {timed_out, -1, RunStatus::kTimedOut, 1400, 15000},
      {stopped, -1, RunStatus::kStopped, 400 + grace, 1500 + grace},
      {later, -1, RunStatus::kStopped, grace - 100, 1000 + grace},
      {quick, 4, RunStatus::kExited, 250, grace}};
  for (const auto& [result, rc, status, min_ms, max_ms] : cases) {
    SCOPED_TRACE(min_ms);
    EXPECT_EQ(std::tuple(result.rc, result.status), std::tuple(rc, status));
    EXPECT_TRUE(result.ms >= min_ms && result.ms < max_ms) << result.ms;
  }
  EXPECT_EQ(stopped.out, "") << "no text on failure";
  uint32_t pid = std::strtoul(test::read_file("grandchild.pid").c_str(), nullptr, 10);
  ASSERT_NE(pid, 0u) << "the grandchild did not start in time";
  for (int i = 0; i < 50 && platform::pid_is_alive(pid); ++i) platform::sleep_ms(100);
  EXPECT_FALSE(platform::pid_is_alive(pid)) << "grandchild " << pid << " outlived the stop";
}

}  // namespace
}  // namespace lw
