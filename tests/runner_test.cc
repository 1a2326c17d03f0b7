#include "support/runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
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
  std::string huge(40000, 'y');  // beyond the longest Windows command line: refused, never cut
  if (platform::kExecutableSuffix[0]) {
    EXPECT_EQ(run({"args", huge.c_str()}).rc, -1);
  }
}

TEST_F(RunnerTest, ExitCodesAndStartFailuresAreReportedApart) {
  for (const char* code : {"0", "3", "255"}) {
    for (bool capture : {true, false}) {
      Result result = run({"exit", code}, nullptr, 60000, capture);
      EXPECT_EQ(result.rc, std::atoi(code));
      EXPECT_EQ(result.status, RunStatus::kExited);
    }
  }
  const std::string missing_path = (test::program_dir() / "lw-no-such-program").string();
  for (const char* missing : {"lw-no-such-program", missing_path.c_str(), ""}) {
    const char* argv[] = {missing, "exit", "0", nullptr};
    RunStatus status = RunStatus::kExited;
    EXPECT_EQ(run_command({argv}, kCommandTimeLimitMs, &status), -1) << missing;
    EXPECT_EQ(status, RunStatus::kStartFailed) << missing;
  }
  // A hook's answer is an exit, unless it is -1.
  const char* hooked[] = {"hooked", nullptr};
  for (int answer : {-1, 0, 7}) {
    set_command_hook_for_testing(
        [](void* rc, const Command&, char*) { return *static_cast<int*>(rc); }, &answer);
    RunStatus status = RunStatus::kTimedOut;
    EXPECT_EQ(run_command({hooked}, 1000, &status), answer);
    EXPECT_EQ(status, answer == -1 ? RunStatus::kStartFailed : RunStatus::kExited);
  }
  set_command_hook_for_testing(nullptr, nullptr);
}

TEST_F(RunnerTest, CaptureStoresWholeReadsWithinTheLimit) {
  EXPECT_EQ(run({"stderr", "E1", "emit", "5", "stderr", "E2", "exit", "4"}).out, "E1abcdeE2");
  EXPECT_EQ(run({"emit", "8190", "511"}).out, pattern(0, 8190));
  // One byte more: the read holding it is dropped whole.
  std::string text = run({"emit", "8191", "511"}).out;
  EXPECT_GE(text.size(), 8191u - kCaptureChunk);
  EXPECT_EQ(text, pattern(0, std::min<size_t>(text.size(), 8190)));
  // 8000 bytes, a pause, then 600 at once: reads of 511 (dropped) and 89 (kept).
  Result late = run({"emit", "8000", "500", "sleep", "300", "emit", "600", "600", "exit", "2"});
  EXPECT_EQ(late.rc, 2);
  EXPECT_EQ(late.out, pattern(0, 8000) + pattern(511, 89));
  // A talkative program is drained to its end and keeps its exit code.
  Result talkative = run({"emit", "3000000", "65536", "exit", "5"});
  EXPECT_EQ(talkative.rc, 5);
}

TEST_F(RunnerTest, InputIsFedAndOutputDiscardedOrInherited) {
  EXPECT_EQ(run({"stdin"}, "line one\nline two\n").out, "line one" + kEnd + "line two" + kEnd);
  // More than a pipe holds, copied back while it is still being fed.
  std::string big = pattern(0, 300000);
  Result copied = run({"stdin", "exit", "9"}, big.c_str());
  EXPECT_EQ(copied.rc, 9);
  EXPECT_EQ(copied.out.substr(0, 4096), pattern(0, 4096));
  EXPECT_EQ(run({"exit", "3"}, big.c_str()).rc, 3) << "input the program never reads";
  // The inner run shares the outer child's output unless told to discard it.
  EXPECT_EQ(run({"run", "inherit", kTool.c_str(), "emit", "4", "stderr", "E"}).out, "abcdE");
  EXPECT_EQ(run({"run", "discard", kTool.c_str(), "emit", "4", "stderr", "E"}).out, "");
}

TEST_F(RunnerTest, TimeLimitEndsTheProgramAndItsChild) {
  Result hung = run({"sleep", "60000"}, nullptr, 1500, false);
  EXPECT_TRUE(hung.rc == -1 && hung.ms >= 1400 && hung.ms < 15000) << hung.rc << " " << hung.ms;
  EXPECT_EQ(hung.status, RunStatus::kTimedOut);
  // The grandchild holds the output pipe too: ended with its parent or the run waits.
  Result tree = run({"spawn-sleeper", "60000", "grandchild.pid"}, nullptr, 1500);
  EXPECT_TRUE(tree.rc == -1 && tree.ms < 15000) << tree.rc << " " << tree.ms;
  EXPECT_EQ(tree.out, "") << "no text on failure";
  uint32_t pid = std::strtoul(test::read_file("grandchild.pid").c_str(), nullptr, 10);
  ASSERT_NE(pid, 0u) << "the grandchild did not start in time";
  for (int i = 0; i < 50 && platform::pid_is_alive(pid); ++i) platform::sleep_ms(100);
  EXPECT_FALSE(platform::pid_is_alive(pid)) << "grandchild " << pid << " outlived the time limit";
}

// Runs get their own output, not held up by slow ones that hold none of their pipes.
TEST_F(RunnerTest, ConcurrentRunsKeepTheirOwnOutput) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&failures, t] {
      if (t < 2) run({"sleep", "5000"}, nullptr, 60000, false);
      for (int r = 0; t >= 2 && r < 4; ++r) {
        const std::string tag = "thread " + std::to_string(t) + " run " + std::to_string(r);
        Result result = run({"stdin", "exit", std::to_string(t).c_str()}, tag.c_str());
        failures += result.rc != t || result.out != tag || result.ms > 3000;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace lw
