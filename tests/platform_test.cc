// The platform and the runner on it; child processes are lw_testtool.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/runner.h"
#include "support/test_env.h"

namespace lw::platform {
namespace {

const std::string kTool = test::program_path("lw_testtool").string();

// Runs `args` (program first): its result; what it prints goes to `*output`.
int run(std::vector<const char*> args, std::string* output = nullptr) {
  args.push_back(nullptr);
  RunRequest request;
  request.argv = args.data();
  request.sink = [](void* out, const char* data, size_t n) {
    static_cast<std::string*>(out)->append(data, n);
  };
  std::string ignored;
  request.sink_context = output ? output : &ignored;
  request.time_limit_ms = 30000;
  return run_process(request);
}

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

// Runs lw_testtool with `args` through the runner, its output captured or else discarded.
Result run_tool(std::vector<const char*> args, const char* input = nullptr,
                uint32_t limit_ms = 60000, bool capture = true) {
  args.insert(args.begin(), kTool.c_str());
  args.push_back(nullptr);
  Command command{args.data(), input, true};
  char out[kCaptureBufferSize];
  RunStatus status = RunStatus::kTimedOut;
  uint64_t start = monotonic_ms();
  int rc = capture ? run_command_capture(command, out, limit_ms, &status)
                   : run_command(command, limit_ms, &status);
  return {rc, capture ? std::string(out) : "", monotonic_ms() - start, status};
}

class RunnerTest : public test::WorkDirTest {};

TEST_F(RunnerTest, ArgumentsReachTheProgramExactly) {
  std::vector<const char*> argv = {"args",     "$ \" % & \\ '", "trailing\\", "",       "\\\"",
                                   "a\\\\\"b", "%PATH%",        "a|b>c<d^e",  "\t tab", "x\\\\"};
  std::string expected;
  for (size_t i = 1; i < argv.size(); ++i)
    expected += std::string("[") + argv[i] + "]" + kTextLineEnd;
  EXPECT_EQ(run_tool(argv).out, expected);
  const std::string huge(40000, 'y');  // beyond the longest Windows command line
  if (kExecutableSuffix[0]) {
    EXPECT_EQ(run_tool({"args", huge.c_str()}).rc, -1) << "not cut";
  }
}

TEST_F(RunnerTest, ExitCodesAndStartFailuresAreReportedApart) {
  const Result exited = run_tool({"exit", "255"}, nullptr, 60000, false);
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
  EXPECT_EQ(run_tool({"stderr", "E1", "emit", "5", "stderr", "E2", "exit", "4"}).out, "E1abcdeE2");
  EXPECT_EQ(run_tool({"emit", "8190", "511"}).out, pattern(0, 8190));
  // 8000 bytes, a pause, then 600 at once: reads of 511 (dropped) and 89 (kept).
  Result late =
      run_tool({"emit", "8000", "500", "sleep", "300", "emit", "600", "600", "exit", "2"});
  EXPECT_EQ(late.rc, 2);
  EXPECT_EQ(late.out, pattern(0, 8000) + pattern(511, 89));
  // Input of more than a pipe holds, copied back while it is still being fed.
  std::string big = pattern(0, 300000);
  Result copied = run_tool({"stdin", "exit", "9"}, big.c_str());
  EXPECT_EQ(copied.rc, 9);
  EXPECT_EQ(copied.out.substr(0, 4096), pattern(0, 4096));
  EXPECT_EQ(run_tool({"exit", "3"}, big.c_str()).rc, 3) << "input the program never reads";
}

// A program outlasting its time limit or a stop's grace (the stop asked while
// it runs or before) is ended with its child; one ending within the grace exits.
TEST_F(RunnerTest, TimeLimitAndStopRequestEndTheTree) {
  Result timed_out = run_tool({"sleep", "60000"}, nullptr, 1500);
  std::thread stopper([] {
    sleep_ms(500);
    request_stop();
  });
  Result stopped = run_tool({"spawn-sleeper", "60000", "grandchild.pid"});
  stopper.join();
  Result later = run_tool({"sleep", "60000"});
  Result quick = run_tool({"sleep", "300", "exit", "4"});
  clear_stop_request();
  const uint64_t grace = kStopGraceMs;
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
  for (int i = 0; i < 50 && pid_is_alive(pid); ++i) sleep_ms(100);
  EXPECT_FALSE(pid_is_alive(pid)) << "grandchild " << pid << " outlived the stop";
}

class PlatformProcessTest : public test::WorkDirTest {};

TEST_F(PlatformProcessTest, IdsBeyondTheRangeNameNoProcess) {
  EXPECT_TRUE(pid_is_alive(current_pid()));
  // On POSIX these would address process groups or every process.
  for (uint32_t pid : {0u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_FALSE(pid_is_alive(pid)) << pid;
  EXPECT_FALSE(start_detached((work_dir() / "missing").string().c_str(), "x"));
}

// Handover, and a held file read and kept whole: the instance tests.
TEST_F(PlatformProcessTest, LockIsExclusiveAndNotInherited) {
  FileLock lock;
  ASSERT_EQ(lock_file("owner.lock", &lock), LockResult::kAcquired);
  EXPECT_EQ(run({kTool.c_str(), "lock", "owner.lock"}), 1) << "held elsewhere";
  // A child (a curl) started while the lock is held gets no share of it.
  std::thread child([] { run({kTool.c_str(), "pidfile", "child.pid", "sleep", "3000"}); });
  EXPECT_NE(test::wait_for_pid_file("child.pid"), 0u);
  unlock_file(&lock);
  EXPECT_EQ(run({kTool.c_str(), "lock", "owner.lock"}), 0) << "the child holds no share";
  child.join();
}

// A child of run_process ends with its parent killed (SIGKILL, TerminateProcess).
TEST_F(PlatformProcessTest, AChildEndsWithItsKilledParent) {
  if (!kChildEndsWithParent) GTEST_SKIP() << "not on " << kSystemName;
  std::jthread parent([] {
    run({kTool.c_str(), "pidfile", "parent.pid", "run-child", "60000", "child.pid"});
  });
  const uint32_t parent_pid = test::wait_for_pid_file("parent.pid");
  const uint32_t child_pid = test::wait_for_pid_file("child.pid");
  ASSERT_TRUE(parent_pid != 0 && child_pid != 0);
  EXPECT_EQ(terminate_process(parent_pid), TerminateResult::kTerminated);
  EXPECT_TRUE(test::eventually([child_pid] { return !pid_is_alive(child_pid); }, 5000))
      << "child " << child_pid << " outlived its parent";
  if (pid_is_alive(child_pid)) terminate_process(child_pid);
}

// Sets PATH for the life of the object and restores it afterwards.
struct ScopedPath {
  explicit ScopedPath(const std::string& value) { EXPECT_TRUE(set_env("PATH", value.c_str())); }
  ~ScopedPath() { set_env("PATH", saved.c_str()); }
  const std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
};

// Plain look-ups on PATH are shown by the ping probe's tests.
TEST_F(PlatformProcessTest, ProgramsAreFoundOnPathOnly) {
  if (std::strcmp(kSystemName, "Windows") == 0) {
    // Windows PATH entries may be quoted and end with a backslash.
    ScopedPath path("\"" + test::program_dir().string() + "\\\"" + kPathListSeparator +
                    std::getenv("PATH"));
    std::string out;
    EXPECT_EQ(run({"lw_testtool", "args", "quoted"}, &out), 0);
    EXPECT_EQ(out, std::string("[quoted]") + kTextLineEnd);
  }
  // A program in the working directory or beside the running program, but
  // not on PATH, is not run.
  std::filesystem::copy_file(kTool, "lw_planted" + std::string(kExecutableSuffix));
  std::filesystem::create_directory("empty");
  ScopedPath path((work_dir() / "empty").string());
  std::string out;
  EXPECT_EQ(run({"lw_planted", "args", "planted"}, &out), kRunFailed);
  EXPECT_EQ(run({"lw_testtool", "args", "beside"}, &out), kRunFailed);
  EXPECT_EQ(out, "");
}

// A stop requested before a connect ends it at once (one during the wait:
// the worker's ACheckCutByAStopCountsNothing; time-outs: its other tests);
// text that is no address fails at once with an error number; a closed IPv6
// port refuses (an open one: the worker's DualStack test).
TEST(PlatformSocketTest, ConnectOutcomes) {
  ASSERT_TRUE(socket_startup());
  Listener silent, v6;  // silent: never accepts, its backlog filled
  ASSERT_TRUE(listen_loopback(0, 1, &silent));
  for (int i = 0; i < 3; ++i) tcp_connect("127.0.0.1", silent.port, 1, nullptr);
  request_stop();
  const uint64_t start = monotonic_ms();
  EXPECT_EQ(tcp_connect_ms("127.0.0.1", silent.port, 60000, nullptr), ConnectStatus::kStopped);
  EXPECT_LT(monotonic_ms() - start, 5000u);
  clear_stop_request();
  int error = 0;
  EXPECT_EQ(tcp_connect("::1::", silent.port, 2, &error), ConnectStatus::kConnectFailed);
  EXPECT_NE(error, 0);
  close_listener(&silent);
  if (!listen_loopback(0, 4, &v6, AddressFamily::kIPv6)) GTEST_SKIP() << "no IPv6 loopback";
  const uint16_t port = v6.port;
  close_listener(&v6);
  EXPECT_EQ(tcp_connect("::1", port, 2, nullptr), ConnectStatus::kRefused);
}

class PlatformFileTest : public test::WorkDirTest {
 protected:
  void TearDown() override { set_disk_space_for_testing(-1); }
};

// An append is stored whole or not at all (at each boundary: OutputTest's full
// disk); every file write shares the room.
TEST_F(PlatformFileTest, AppendsAreWholeOrNotAtAll) {
  const std::string line = "2026-03-01 10:00:00 - a line\n";
  test::write_file("append.txt", "before\n");
  set_disk_space_for_testing(static_cast<int64_t>(line.size()) + 5);
  EXPECT_TRUE(append_whole("append.txt", line.data(), line.size()));
  EXPECT_FALSE(append_whole("append.txt", line.data(), line.size()));
  EXPECT_EQ(test::read_file("append.txt"), "before\n" + line);
  // The 5 bytes left are all the next writes get.
  FileLock lock;
  ASSERT_EQ(lock_file("locked.txt", &lock), LockResult::kAcquired);
  EXPECT_FALSE(rewrite_locked_file(&lock, "0123456789", 10));
  set_disk_space_for_testing(-1);
  EXPECT_TRUE(rewrite_locked_file(&lock, "0123456789", 10));
  unlock_file(&lock);
  EXPECT_EQ(test::read_file("locked.txt"), "0123456789");
  EXPECT_TRUE(append_whole("new.txt", "x", 1)) << "a missing file is created";
  EXPECT_EQ(test::read_file("new.txt"), "x");
  EXPECT_FALSE(append_whole((work_dir() / "no" / "such.txt").string().c_str(), "x", 1));
}

}  // namespace
}  // namespace lw::platform
