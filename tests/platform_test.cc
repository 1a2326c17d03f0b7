// Tests of the platform layer besides running commands (runner_test shows
// arguments, exit codes, capture, input and time limits). Child processes
// are lw_testtool.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <climits>
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
const std::string kToolName = std::string("lw_testtool") + kExecutableSuffix;

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

// Waits for a file that a child writes ("<pid>\n") and returns the number.
uint32_t wait_for_pid_file(const std::string& name) {
  for (int i = 0; i < 500; ++i) {
    std::string text = test::read_file(name);
    if (text.find('\n') != std::string::npos) return std::strtoul(text.c_str(), nullptr, 10);
    sleep_ms(20);
  }
  return 0;
}

// Ends `pid` and waits until it is gone; true when it is.
bool end_process(uint32_t pid) {
  EXPECT_EQ(terminate_process(pid), TerminateResult::kTerminated) << pid;
  for (int i = 0; i < 250 && pid_is_alive(pid); ++i) sleep_ms(20);
  return !pid_is_alive(pid);
}

TEST(PlatformSocketTest, ResolvesNames) {
  ASSERT_TRUE(socket_startup());
  char ip[64] = "junk";
  EXPECT_TRUE(resolve_ipv4("localhost", ip, sizeof ip));
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_FALSE(resolve_ipv4("no-such-host.invalid", ip, sizeof ip));
  EXPECT_STREQ(ip, "");
}

TEST(PlatformSocketTest, ConnectsAndIsRefusedAtOnce) {
  ASSERT_TRUE(socket_startup());
  Listener listener;
  ASSERT_TRUE(listen_loopback(0, 1, &listener));
  int error = -7;
  EXPECT_EQ(tcp_connect("127.0.0.1", listener.port, 2, &error), ConnectStatus::kConnected);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(accept_and_close(&listener, 2000));
  // The longest wait must not overflow into "no wait" or an error.
  EXPECT_EQ(tcp_connect("127.0.0.1", listener.port, INT_MAX, nullptr), ConnectStatus::kConnected);
  EXPECT_TRUE(accept_and_close(&listener, 2000));

  const uint16_t port = listener.port;
  close_listener(&listener);
  uint64_t start = monotonic_ms();
  EXPECT_EQ(tcp_connect("127.0.0.1", port, 5, &error), ConnectStatus::kRefused);
  EXPECT_LT(monotonic_ms() - start, 2500u) << "a refusal must not wait for the time-out";
}

TEST(PlatformStopTest, RequestFromAnotherThreadWakesTheWaitAtOnce) {
  clear_stop_request();
  EXPECT_FALSE(wait_for_stop(50));
  uint64_t woken_after = 0;
  std::thread waiter([&woken_after] {
    uint64_t start = monotonic_ms();
    EXPECT_TRUE(wait_for_stop(20000));
    woken_after = monotonic_ms() - start;
  });
  sleep_ms(200);
  std::thread([] { request_stop(); }).join();
  waiter.join();
  EXPECT_LT(woken_after, 2000u);
  EXPECT_TRUE(wait_for_stop(10000)) << "the request stays until cleared";
  clear_stop_request();
  EXPECT_FALSE(wait_for_stop(50));
}

class PlatformProcessTest : public test::WorkDirTest {};

TEST_F(PlatformProcessTest, IdsBeyondTheRangeNameNoProcess) {
  EXPECT_TRUE(pid_is_alive(current_pid()));
  // On POSIX these would address process groups or every process.
  for (uint32_t pid : {0u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_FALSE(pid_is_alive(pid)) << pid;
  EXPECT_FALSE(start_detached((work_dir() / "missing").string().c_str(), "x"));
}

// The starter runs under run_process, which ends what its child leaves
// running and drains its output to the end: the background process must
// leave that tree (on Windows: break away from the job) and hold none of the
// starter's pipes.
TEST_F(PlatformProcessTest, DetachedStartOutlivesTheRunThatMadeIt) {
  uint64_t start = monotonic_ms();
  ASSERT_EQ(run({kTool.c_str(), "detach", "pidfile bg.pid sleep 30000"}), 0);
  EXPECT_LT(monotonic_ms() - start, 10000u);
  uint32_t pid = wait_for_pid_file("bg.pid");
  ASSERT_NE(pid, 0u);
  sleep_ms(300);
  EXPECT_TRUE(pid_is_alive(pid));
  EXPECT_TRUE(end_process(pid));
  EXPECT_EQ(terminate_process(pid), TerminateResult::kCannotOpen);
}

TEST_F(PlatformProcessTest, LockIsExclusiveBetweenProcesses) {
  test::write_file("owner.lock", "content\n");
  FileLock lock;
  ASSERT_EQ(lock_file("owner.lock", &lock), LockResult::kAcquired);
  EXPECT_EQ(run({kTool.c_str(), "lock", "owner.lock"}), 1) << "held elsewhere";
  // A child started now gets no share of the lock.
  ASSERT_TRUE(start_detached(kTool.c_str(), "pidfile sleeper.pid sleep 30000"));
  uint32_t sleeper = wait_for_pid_file("sleeper.pid");
  ASSERT_NE(sleeper, 0u);
  unlock_file(&lock);

  ASSERT_TRUE(start_detached(kTool.c_str(), "lock owner.lock pidfile holder.pid sleep 30000"));
  uint32_t holder = wait_for_pid_file("holder.pid");
  ASSERT_NE(holder, 0u) << "the lock was not free";
  EXPECT_EQ(lock_file("owner.lock", &lock), LockResult::kHeldElsewhere);
  EXPECT_EQ(test::read_file("owner.lock"), "content\n") << "opened without truncation, readable";
  // The lock ends with the process that held it.
  EXPECT_TRUE(end_process(holder));
  EXPECT_TRUE(end_process(sleeper));
  LockResult result = lock_file("owner.lock", &lock);
  for (int i = 1; i < 100 && result != LockResult::kAcquired; ++i) {
    sleep_ms(20);
    result = lock_file("owner.lock", &lock);
  }
  EXPECT_EQ(result, LockResult::kAcquired);
  unlock_file(&lock);
  EXPECT_EQ(lock_file("no-such-dir/x.txt", &lock), LockResult::kError);
}

// Sets PATH for the life of the object and restores it afterwards.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value)
      : saved_(std::getenv("PATH") ? std::getenv("PATH") : "") {
    EXPECT_TRUE(set_env("PATH", value.c_str()));
  }
  ~ScopedPath() { set_env("PATH", saved_.c_str()); }
  const std::string saved_;
};

TEST_F(PlatformProcessTest, ProgramsAreFoundOnPathOnly) {
  const std::string end = test::text_line_end();
  const std::string dir = test::program_dir().string();
  const std::string rest = std::string(kPathListSeparator) + std::getenv("PATH");
  {
    ScopedPath path(dir + rest);
    for (std::string name : {std::string("lw_testtool"), kToolName}) {
      std::string out;
      EXPECT_EQ(run({name.c_str(), "args", "found"}, &out), 0) << name;
      EXPECT_EQ(out, "[found]" + end) << name;
    }
  }
  if (std::strcmp(kSystemName, "Windows") == 0) {
    // Windows PATH entries may be quoted and end with a backslash.
    ScopedPath path("\"" + dir + "\\\"" + rest);
    std::string out;
    EXPECT_EQ(run({"lw_testtool", "args", "quoted"}, &out), 0);
    EXPECT_EQ(out, "[quoted]" + end);
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

TEST_F(PlatformProcessTest, OutputOfAProgramThatEndedInTimeOutlivesTheLimit) {
  // The program writes 2000 bytes and ends at once; the reader is slow, so
  // the limit passes while its output is still waiting in the pipe.
  const char* argv[] = {kTool.c_str(), "emit", "2000", nullptr};
  std::string out;
  RunRequest request;
  request.argv = argv;
  request.read_chunk = 1;
  request.time_limit_ms = 1000;
  request.sink = [](void* context, const char* data, size_t n) {
    std::string* text = static_cast<std::string*>(context);
    if (text->empty()) sleep_ms(1500);
    text->append(data, n);
  };
  request.sink_context = &out;
  RunEnd end = RunEnd::kTimedOut;
  EXPECT_EQ(run_process(request, &end), 0);
  EXPECT_EQ(end, RunEnd::kExited);
  EXPECT_EQ(out.size(), 2000u);
}

}  // namespace
}  // namespace lw::platform
