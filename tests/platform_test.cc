// Platform tests besides running commands (runner_test); children are lw_testtool.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

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

// An IPv6 listener refuses once closed (connected: the worker's DualStack
// test); text that is no address fails at once with an error number.
TEST(PlatformSocketTest, ConnectsToAnIpv6Loopback) {
  ASSERT_TRUE(socket_startup());
  Listener listener;
  if (!listen_loopback(0, 4, &listener, AddressFamily::kIPv6)) {
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  const uint16_t port = listener.port;
  close_listener(&listener);
  EXPECT_EQ(tcp_connect("::1", port, 2, nullptr), ConnectStatus::kRefused);
  int error = 0;
  EXPECT_EQ(tcp_connect("::1::", port, 2, &error), ConnectStatus::kConnectFailed);
  EXPECT_NE(error, 0);
}

// A stop request before or during a connect's wait ends it; cleared, the
// connect waits its time-out again.
TEST(PlatformSocketTest, AStopRequestEndsAConnectWait) {
  ASSERT_TRUE(socket_startup());
  Listener silent;  // never accepts, its backlog filled: connects wait
  ASSERT_TRUE(listen_loopback(0, 1, &silent));
  for (int i = 0; i < 3; ++i) tcp_connect("127.0.0.1", silent.port, 1, nullptr);
  // Stop after ms (-1: none, 0: before the call), time-out, status, least ms taken.
  const std::tuple<int, uint32_t, ConnectStatus, uint64_t> cases[] = {
      {0, 60000, ConnectStatus::kStopped, 0},
      {300, 60000, ConnectStatus::kStopped, 250},
      {-1, 700, ConnectStatus::kTimedOut, 650}};
  for (const auto& [stop_after_ms, timeout_ms, status, min_ms] : cases) {
    SCOPED_TRACE(stop_after_ms);
    if (stop_after_ms == 0) request_stop();
    std::thread stopper([ms = stop_after_ms] {
      if (ms <= 0) return;
      sleep_ms(static_cast<uint32_t>(ms));
      request_stop();
    });
    const uint64_t start = monotonic_ms();
    EXPECT_EQ(tcp_connect_ms("127.0.0.1", silent.port, timeout_ms, nullptr), status);
    const uint64_t took = monotonic_ms() - start;
    EXPECT_TRUE(took >= min_ms && took < 5000) << took;
    stopper.join();
    clear_stop_request();
  }
  close_listener(&silent);
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
