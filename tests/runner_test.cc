#include "support/runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/fake_tools.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::program_path;
using test::read_file;
using test::text_line_end;

constexpr char kPattern[] = "abcdefghijklmnopqrstuvwxyz0123456789";

// `n` bytes of lw_testtool's emit pattern, starting at pattern offset `from`.
std::string pattern(size_t from, size_t n) {
  std::string text;
  for (size_t i = from; i < from + n; ++i) text += kPattern[i % (sizeof kPattern - 1)];
  return text;
}

// "\n" replaced by the line end a text-mode child writes.
std::string lines(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out += text_line_end();
    } else {
      out += c;
    }
  }
  return out;
}

class RunnerTest : public test::WorkDirTest {
 protected:
  // Runs lw_testtool with `args`; the output lands in `out_`.
  int capture(std::vector<std::string> args, const char* input = nullptr,
              uint32_t limit_ms = kCommandTimeLimitMs) {
    Command command = make(args);
    command.input = input;
    std::memset(out_, 'x', sizeof out_);  // "" afterwards must be the runner's doing
    out_[sizeof out_ - 1] = '\0';
    return run_command_capture(command, out_, limit_ms);
  }

  int run(std::vector<std::string> args, bool discard = false,
          uint32_t limit_ms = kCommandTimeLimitMs) {
    Command command = make(args);
    command.discard_output = discard;
    return run_command(command, limit_ms);
  }

  Command make(const std::vector<std::string>& args) {
    storage_ = args;
    storage_.insert(storage_.begin(), tool_);
    argv_.clear();
    for (const std::string& a : storage_) argv_.push_back(a.c_str());
    argv_.push_back(nullptr);
    Command command;
    command.argv = argv_.data();
    return command;
  }

  std::string out() const { return out_; }

  const std::string tool_ = program_path("lw_testtool").string();
  char out_[kCaptureBufferSize + 64];

 private:
  std::vector<std::string> storage_;
  std::vector<const char*> argv_;
};

TEST_F(RunnerTest, ArgumentsReachTheProgramUnchanged) {
  const std::vector<std::string> args = {
      "$ \" % & \\ '", "two words", "trailing\\", "",       "\\\"half quoted", "a\\\\\"b",
      "%PATH%",        "$HOME",     "a|b>c<d",    "\t tab", "x\\\\",
  };
  std::vector<std::string> call = {"args"};
  call.insert(call.end(), args.begin(), args.end());
  ASSERT_EQ(capture(call), 0);
  std::string expected;
  for (const std::string& a : args) expected += "[" + a + "]\n";
  EXPECT_EQ(out(), lines(expected));
}

TEST_F(RunnerTest, ReturnsTheExitCode) {
  for (int code : {0, 3, 255}) {
    EXPECT_EQ(run({"exit", std::to_string(code)}), code);
    EXPECT_EQ(capture({"exit", std::to_string(code)}), code);
    EXPECT_EQ(out(), "") << "a silent program leaves an empty text";
  }
}

TEST_F(RunnerTest, FailsWithoutStartingAnything) {
  Command none;
  EXPECT_EQ(run_command(none), -1);
  std::memset(out_, 'x', 16);
  EXPECT_EQ(run_command_capture(none, out_), -1);
  EXPECT_STREQ(out_, "");

  const char* empty_argv[] = {nullptr};
  const char* empty_name[] = {"", "exit", "0", nullptr};
  for (const char* const* argv : {empty_argv, empty_name}) {
    Command command;
    command.argv = argv;
    EXPECT_EQ(run_command(command), -1);
    std::memset(out_, 'x', 16);
    EXPECT_EQ(run_command_capture(command, out_), -1);
    EXPECT_STREQ(out_, "");
  }

  const char* args_argv[] = {tool_.c_str(), "exit", "0", nullptr};
  Command fine;
  fine.argv = args_argv;
  EXPECT_EQ(run_command_capture(fine, nullptr), -1) << "no buffer to capture into";
}

TEST_F(RunnerTest, MissingProgramGivesMinusOneAndEmptyText) {
  const std::string missing = "lw-no-such-program-7c1f";
  const char* argv[] = {missing.c_str(), "x", nullptr};
  Command command;
  command.argv = argv;
  EXPECT_EQ(run_command(command), -1);
  std::memset(out_, 'x', 16);
  EXPECT_EQ(run_command_capture(command, out_), -1);
  EXPECT_STREQ(out_, "");
  const std::string missing_path = (work_dir() / "nothing-here").string();
  argv[0] = missing_path.c_str();
  EXPECT_EQ(run_command(command), -1);
}

TEST_F(RunnerTest, CapturesStandardOutputAndStandardErrorInOrder) {
  EXPECT_EQ(capture({"stderr", "E1", "emit", "5", "stderr", "E2", "exit", "4"}), 4);
  EXPECT_EQ(out(), "E1abcdeE2");
}

TEST_F(RunnerTest, CaptureStoresWholeReadsUpToTheLimit) {
  // Exactly the most that may be stored.
  EXPECT_EQ(capture({"emit", "8190", "511"}), 0);
  EXPECT_EQ(out(), pattern(0, 8190));

  // One byte more: the read holding the last byte is dropped whole, so the
  // text is a shorter beginning of the output.
  EXPECT_EQ(capture({"emit", "8191", "511"}), 0);
  std::string text = out();
  EXPECT_LT(text.size(), 8191u);
  EXPECT_GE(text.size(), 8191u - kCaptureChunk);
  EXPECT_EQ(text, pattern(0, text.size()));

  // A read that no longer fits is dropped, and a later smaller one that
  // still fits is kept after it: 8000 bytes, a pause, then 600 bytes at once
  // arrive as reads of 511 (dropped) and 89 (kept).
  EXPECT_EQ(capture({"emit", "8000", "500", "sleep", "300", "emit", "600", "600", "exit", "2"}), 2);
  EXPECT_EQ(out(), pattern(0, 8000) + pattern(511, 89));
}

TEST_F(RunnerTest, TalkativeProgramIsDrainedAndItsCodeKept) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(capture({"emit", "3000000", "65536", "exit", "5"}, nullptr, 60000), 5);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  std::string text = out();
  EXPECT_LE(text.size(), kCaptureMaxText);
  EXPECT_GE(text.size(), kCaptureMaxText + 1 - kCaptureChunk);

  // Output the caller does not capture is not lost in a full pipe either.
  EXPECT_EQ(run({"emit", "300000", "exit", "6"}, /*discard=*/true, 60000), 6);
}

TEST_F(RunnerTest, InputReachesStandardInput) {
  EXPECT_EQ(capture({"stdin"}, "line one\nline two\n"), 0);
  EXPECT_EQ(out(), lines("line one\nline two\n"));

  // More input than a pipe holds, copied back while it is still being fed.
  std::string big = pattern(0, 300000);
  EXPECT_EQ(capture({"stdin", "exit", "9"}, big.c_str(), 30000), 9);
  EXPECT_EQ(out().substr(0, 4096), pattern(0, 4096));
  EXPECT_GE(out().size(), kCaptureMaxText + 1 - kCaptureChunk);
  EXPECT_LE(out().size(), kCaptureMaxText);

  // A program that ends without reading its input: the rest is discarded
  // and this process is not harmed by the closed pipe.
  EXPECT_EQ(capture({"exit", "3"}, big.c_str(), 30000), 3);
  Command command = make({"exit", "4"});
  command.input = big.c_str();
  EXPECT_EQ(run_command(command, 30000), 4);
}

TEST_F(RunnerTest, DiscardOrInheritOutput) {
  // The inner run shares the outer child's output unless told to discard it.
  EXPECT_EQ(capture({"run", "inherit", tool_, "emit", "4", "stderr", "E", "exit", "7"}), 7);
  EXPECT_EQ(out(), "abcdE");
  EXPECT_EQ(capture({"run", "discard", tool_, "emit", "4", "stderr", "E", "exit", "7"}), 7);
  EXPECT_EQ(out(), "");
}

TEST_F(RunnerTest, TimeLimitEndsTheProgramAndEverythingItStarted) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run({"sleep", "60000"}, false, 1500), -1);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1400));
  EXPECT_LT(took, std::chrono::seconds(15));

  // The grandchild holds the output pipe too: the capture only ends this
  // soon if the grandchild is ended with its parent.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(capture({"spawn-sleeper", "60000", "grandchild.pid"}, nullptr, 1500), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  EXPECT_STREQ(out_, "");

  std::string pid_text = read_file("grandchild.pid");
  ASSERT_FALSE(pid_text.empty()) << "the grandchild did not start in time";
  uint32_t pid = static_cast<uint32_t>(std::strtoul(pid_text.c_str(), nullptr, 10));
  ASSERT_NE(pid, 0u);
  bool gone = false;
  for (int i = 0; i < 50 && !gone; ++i) {
    gone = !platform::pid_is_alive(pid);
    if (!gone) platform::sleep_ms(100);
  }
  EXPECT_TRUE(gone) << "grandchild " << pid << " outlived the time limit";
  if (!gone) platform::terminate_process(pid);
}

TEST_F(RunnerTest, ManyThreadsEachGetTheirOwnOutput) {
  constexpr int kThreads = 6;
  constexpr int kRuns = 4;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRuns; ++r) {
        std::string tag = "thread " + std::to_string(t) + " run " + std::to_string(r);
        std::string code = std::to_string(10 + t);
        const char* argv[] = {tool_.c_str(), "args", tag.c_str(), "exit", code.c_str(), nullptr};
        // "exit" after "args" is printed, not run: "args" takes the rest.
        Command command;
        command.argv = argv;
        char out[kCaptureBufferSize];
        int rc = run_command_capture(command, out);
        std::string expected = lines("[" + tag + "]\n[exit]\n[" + code + "]\n");
        if (rc != 0 || expected != out) ++failures;
        const char* exit_argv[] = {tool_.c_str(), "exit", code.c_str(), nullptr};
        command.argv = exit_argv;
        if (run_command(command) != 10 + t) ++failures;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

// The fake curl and ping are found on PATH by their bare names and record
// what they were given.
TEST_F(RunnerTest, FakeToolsRecordTheirCalls) {
  const char* path_before = std::getenv("PATH");
  const std::string old_path = path_before ? path_before : "";
  {
    test::FakeTools tools;
    ASSERT_TRUE(tools.ok());
    tools.set_exit("curl", 6);
    tools.set_output("ping", "Reply from 127.0.0.1: bytes=32 time<1ms TTL=64\n");
    test::write_file("mailtext.txt", std::string("Subject: x\r\n\r\nbody\0end", 23));
    test::write_file("teamsmsg.json", "{\n}\n");

    const char* curl_argv[] = {"curl", "-s",           "--config",      "-",
                               "-T",   "mailtext.txt", "--data-binary", "@teamsmsg.json",
                               nullptr};
    Command curl;
    curl.argv = curl_argv;
    curl.input = "user = \"me:p\\\"w\"\n";
    EXPECT_EQ(run_command(curl), 6);

    const char* ping_argv[] = {"ping", platform::kPingOptions[0], platform::kPingOptions[1],
                               "127.0.0.1", nullptr};
    Command ping;
    ping.argv = ping_argv;
    ping.input = "never read";
    char out[kCaptureBufferSize];
    EXPECT_EQ(run_command_capture(ping, out), 0);
    EXPECT_EQ(std::string(out), lines("Reply from 127.0.0.1: bytes=32 time<1ms TTL=64\n"));

    tools.set_sleep_ms("curl", 60000);
    EXPECT_EQ(run_command(curl, 1500), -1);

    std::vector<test::Invocation> curls = tools.calls("curl");
    ASSERT_EQ(curls.size(), 2u);
    EXPECT_EQ(curls[0].tool, "curl");
    EXPECT_EQ(curls[0].args, std::vector<std::string>(curl_argv + 1, curl_argv + 8));
    EXPECT_EQ(curls[0].stdin_bytes, "user = \"me:p\\\"w\"\n");
    ASSERT_EQ(curls[0].files.size(), 2u);
    EXPECT_EQ(curls[0].files["mailtext.txt"], std::string("Subject: x\r\n\r\nbody\0end", 23));
    EXPECT_EQ(curls[0].files["teamsmsg.json"], "{\n}\n");

    std::vector<test::Invocation> pings = tools.calls("ping");
    ASSERT_EQ(pings.size(), 1u);
    EXPECT_EQ(pings[0].args.back(), "127.0.0.1");
    EXPECT_EQ(pings[0].stdin_bytes, "");

    std::vector<test::Invocation> all = tools.calls("");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].tool, "curl");
    EXPECT_EQ(all[1].tool, "ping");
    EXPECT_EQ(all[2].tool, "curl");
    EXPECT_LE(all[0].started_ms, all[1].started_ms);

    tools.clear_calls();
    EXPECT_TRUE(tools.calls("").empty());
  }
  const char* path_after = std::getenv("PATH");
  EXPECT_EQ(path_after ? path_after : "", old_path);
}

}  // namespace
}  // namespace lw
