// Platform tests besides running commands (see runner_test); child
// processes are lw_testtool.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace lw::platform {
namespace {

const std::string kTool = test::program_path("lw_testtool").string();

// Runs `args` (program first) and returns its result; what it prints lands
// in `*output` when given.
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

// Lock handover between instances is shown by the instance tests.
TEST_F(PlatformProcessTest, LockIsExclusiveAndNotInherited) {
  test::write_file("owner.lock", "content\n");
  FileLock lock;
  ASSERT_EQ(lock_file("owner.lock", &lock), LockResult::kAcquired);
  EXPECT_EQ(test::read_file("owner.lock"), "content\n") << "opened without truncation, readable";
  EXPECT_EQ(run({kTool.c_str(), "lock", "owner.lock"}), 1) << "held elsewhere";
  // A child (a curl) started while the lock is held gets no share of it.
  std::thread child([] { run({kTool.c_str(), "pidfile", "child.pid", "sleep", "3000"}); });
  EXPECT_NE(test::wait_for_pid_file("child.pid"), 0u);
  unlock_file(&lock);
  EXPECT_EQ(run({kTool.c_str(), "lock", "owner.lock"}), 0) << "the child holds no share";
  child.join();
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

// An IPv6-only listener on ::1 is reached over IPv6 and refuses once
// closed; the same port on 127.0.0.1 is not it.
TEST(PlatformSocketTest, ConnectsToAnIpv6Loopback) {
  ASSERT_TRUE(socket_startup());
  Listener listener;
  if (!listen_loopback(0, 4, &listener, AddressFamily::kIPv6)) {
    GTEST_SKIP() << "no IPv6 loopback on this machine";
  }
  const uint16_t port = listener.port;
  EXPECT_EQ(tcp_connect("::1", port, 2, nullptr), ConnectStatus::kConnected);
  EXPECT_EQ(tcp_connect("127.0.0.1", port, 2, nullptr), ConnectStatus::kRefused);
  close_listener(&listener);
  EXPECT_EQ(tcp_connect("::1", port, 2, nullptr), ConnectStatus::kRefused);
  int error = 0;
  EXPECT_EQ(tcp_connect("::1::", port, 2, &error), ConnectStatus::kConnectFailed);
  EXPECT_NE(error, 0);
}

// A connect that waits is ended by a stop request made before or during the
// wait; after the request is cleared it waits its time out again.
TEST(PlatformSocketTest, AStopRequestEndsAConnectWait) {
  ASSERT_TRUE(socket_startup());
  Listener silent;  // never accepts, its backlog filled: connects wait
  ASSERT_TRUE(listen_loopback(0, 1, &silent));
  for (int i = 0; i < 3; ++i) tcp_connect("127.0.0.1", silent.port, 1, nullptr);
  const struct {
    int stop_after_ms;  // -1: no stop; 0: before the call
    uint32_t timeout_ms;
    ConnectStatus status;
    uint64_t min_ms, max_ms;
  } cases[] = {{0, 60000, ConnectStatus::kStopped, 0, 5000},
               {300, 60000, ConnectStatus::kStopped, 250, 5000},
               {-1, 700, ConnectStatus::kTimedOut, 650, 5000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    if (c.stop_after_ms == 0) request_stop();
    std::thread stopper([&c] {
      if (c.stop_after_ms <= 0) return;
      sleep_ms(static_cast<uint32_t>(c.stop_after_ms));
      request_stop();
    });
    const uint64_t start = monotonic_ms();
    EXPECT_EQ(tcp_connect_ms("127.0.0.1", silent.port, c.timeout_ms, nullptr), c.status);
    const uint64_t took = monotonic_ms() - start;
    EXPECT_TRUE(took >= c.min_ms && took < c.max_ms) << took;
    stopper.join();
    clear_stop_request();
  }
  close_listener(&silent);
}

class PlatformFileTest : public test::WorkDirTest {
 protected:
  void TearDown() override { set_disk_space_for_testing(-1); }
};

// An append is stored whole or not at all, whatever room the disk has; the
// room is shared by every file write.
TEST_F(PlatformFileTest, AppendsAreWholeOrNotAtAll) {
  const std::string line = "2026-03-01 10:00:00 - a line\n";
  const int64_t size = static_cast<int64_t>(line.size());
  const struct {
    int64_t room;  // -1: no limit
    bool stored;
  } cases[] = {{-1, true},        {0, false},   {1, false},
               {size - 1, false}, {size, true}, {size + 5, true}};
  std::string expected = "before\n";
  test::write_file("append.txt", expected);
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    set_disk_space_for_testing(c.room);
    EXPECT_EQ(append_whole("append.txt", line.data(), line.size()), c.stored);
    if (c.stored) expected += line;
    EXPECT_EQ(test::read_file("append.txt"), expected);
  }
  // The room left by the last case (5 bytes) is all the next writes get.
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
