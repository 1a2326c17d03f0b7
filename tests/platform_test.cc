// Tests of the platform layer, run on every system the same way.
//
// This program is also its own child process: started with a first argument
// "lw-child:<mode>:..." it plays the part named by <mode> (sleep, print,
// read its input, hold a lock, ...) instead of running the tests, so the
// process tests need no other program.

#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace lw::platform {
namespace {

constexpr char kChildPrefix[] = "lw-child:";

bool is_linux() { return std::strcmp(kSystemName, "Linux") == 0; }

std::string self_path() {
  char path[4096];
  EXPECT_TRUE(own_executable_path(path, sizeof path));
  return path;
}

// Runs this program as a child in `mode` ("exit:3", "sleep:500", ...).
struct ChildRun {
  std::string output;
  size_t largest_read = 0;
  int result = 0;
  uint64_t elapsed_ms = 0;
};

void collect(void* context, const char* data, size_t n) {
  ChildRun* run = static_cast<ChildRun*>(context);
  run->output.append(data, n);
  if (n > run->largest_read) run->largest_read = n;
}

ChildRun run_child(const std::string& mode, bool capture, const std::string* input = nullptr,
                   uint32_t limit_ms = 0, bool discard = false) {
  std::string exe = self_path();
  std::string arg = kChildPrefix + mode;
  const char* argv[] = {exe.c_str(), arg.c_str(), nullptr};
  ChildRun run;
  RunSpec spec;
  spec.argv = argv;
  if (input) {
    spec.input = input->data();
    spec.input_len = input->size();
  }
  if (capture) {
    spec.sink = collect;
    spec.sink_context = &run;
  }
  spec.discard_output = discard;
  spec.time_limit_ms = limit_ms;
  uint64_t start = monotonic_ms();
  run.result = run_process(spec);
  run.elapsed_ms = monotonic_ms() - start;
  return run;
}

// Waits for a file that a child writes ("<pid>\n") and returns the number.
uint32_t wait_for_pid_file(const std::string& name) {
  for (int i = 0; i < 500; ++i) {
    std::string text = test::read_file(name);
    if (text.find('\n') != std::string::npos)
      return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    sleep_ms(20);
  }
  return 0;
}

// Waits until `pid` no longer runs; true when it ended within `ms`.
bool wait_until_gone(uint32_t pid, uint32_t ms) {
  uint64_t end = monotonic_ms() + ms;
  while (pid_is_alive(pid)) {
    if (monotonic_ms() > end) return false;
    sleep_ms(20);
  }
  return true;
}

// A port nobody listens on: bound once, then released.
uint16_t closed_port() {
  Listener listener;
  if (!listen_loopback(0, 1, &listener)) return 0;
  uint16_t port = listener.port;
  close_listener(&listener);
  return port;
}

// ---- Sockets ---------------------------------------------------------------

TEST(PlatformSocketTest, ResolvesNamesAndReportsFailures) {
  ASSERT_TRUE(socket_startup());
  ASSERT_TRUE(socket_startup());  // harmless twice
  char ip[64] = "junk";
  EXPECT_TRUE(resolve_ipv4("127.0.0.1", ip, sizeof ip));
  EXPECT_STREQ(ip, "127.0.0.1");
  EXPECT_TRUE(resolve_ipv4("localhost", ip, sizeof ip));
  EXPECT_STREQ(ip, "127.0.0.1");

  std::strcpy(ip, "junk");
  EXPECT_FALSE(resolve_ipv4("no-such-host.invalid", ip, sizeof ip));
  EXPECT_STREQ(ip, "");
  std::strcpy(ip, "junk");
  EXPECT_FALSE(resolve_ipv4("", ip, sizeof ip));
  EXPECT_STREQ(ip, "");

  // A buffer too small for the address gets the cut, terminated text.
  char small[4] = "xxx";
  EXPECT_TRUE(resolve_ipv4("127.0.0.1", small, sizeof small));
  EXPECT_STREQ(small, "127");
}

TEST(PlatformSocketTest, ConnectsToListenerAndIsRefusedOnClosedPort) {
  ASSERT_TRUE(socket_startup());
  Listener listener;
  ASSERT_TRUE(listen_loopback(0, 8, &listener));
  ASSERT_NE(listener.port, 0);
  int error = -7;
  EXPECT_EQ(tcp_connect("127.0.0.1", listener.port, 2, &error), ConnectStatus::kConnected);
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(accept_and_close(&listener, 2000));
  // The longest wait must not overflow into "no wait" or an error.
  EXPECT_EQ(tcp_connect("127.0.0.1", listener.port, INT_MAX, nullptr), ConnectStatus::kConnected);
  EXPECT_TRUE(accept_and_close(&listener, 2000));
  // Nothing pending any more: the accept gives up after its wait.
  uint64_t start = monotonic_ms();
  EXPECT_FALSE(accept_and_close(&listener, 200));
  EXPECT_GE(monotonic_ms() - start, 150u);
  close_listener(&listener);
  EXPECT_EQ(listener.handle, -1);
  close_listener(&listener);  // twice is harmless

  uint16_t port = closed_port();
  ASSERT_NE(port, 0);
  start = monotonic_ms();
  error = -7;
  EXPECT_EQ(tcp_connect("127.0.0.1", port, 5, &error), ConnectStatus::kRefused);
  EXPECT_EQ(error, 0);
  EXPECT_LT(monotonic_ms() - start, 2500u) << "a refusal must not wait for the time-out";
}

TEST(PlatformSocketTest, TimesOutAgainstAFullBacklog) {
  ASSERT_TRUE(socket_startup());
  Listener listener;
  ASSERT_TRUE(listen_loopback(0, 0, &listener));
  // Nobody accepts: once the queue is full, further attempts go unanswered.
  ConnectStatus status = ConnectStatus::kConnected;
  uint64_t took = 0;
  for (int i = 0; i < 16 && status == ConnectStatus::kConnected; ++i) {
    uint64_t start = monotonic_ms();
    status = tcp_connect("127.0.0.1", listener.port, 1, nullptr);
    took = monotonic_ms() - start;
  }
  ASSERT_EQ(status, ConnectStatus::kTimedOut);
  EXPECT_GE(took, 900u);
  EXPECT_LT(took, 3000u);
  // A time-out of 0 seconds looks once and does not wait.
  uint64_t start = monotonic_ms();
  EXPECT_EQ(tcp_connect("127.0.0.1", listener.port, 0, nullptr), ConnectStatus::kTimedOut);
  EXPECT_LT(monotonic_ms() - start, 500u);
  close_listener(&listener);
}

TEST(PlatformSocketTest, UnparsableAddressFailsWithoutConnecting) {
  ASSERT_TRUE(socket_startup());
  // Parsed like inet_addr: the all-ones broadcast address, which no TCP
  // connection can reach.
  for (const char* address : {"not-an-address", "", "300.1.1.1"}) {
    uint64_t start = monotonic_ms();
    int error = 0;
    ConnectStatus status = tcp_connect(address, 9, 1, &error);
    EXPECT_NE(status, ConnectStatus::kConnected) << address;
    EXPECT_LT(monotonic_ms() - start, 3000u) << address;
    if (status == ConnectStatus::kConnectFailed || status == ConnectStatus::kPendingError) {
      EXPECT_NE(error, 0) << address;
    }
  }
}

// ---- Time and stop -----------------------------------------------------------

TEST(PlatformTimeTest, ClockSleepAndLocalTime) {
  uint64_t before = monotonic_ms();
  sleep_ms(120);
  uint64_t after = monotonic_ms();
  EXPECT_GE(after - before, 100u);
  EXPECT_LT(after - before, 2000u);

  std::tm tm{};
  ASSERT_TRUE(local_time(1700000000, &tm));  // mid-November 2023 in every zone
  EXPECT_EQ(tm.tm_year, 123);
  EXPECT_EQ(tm.tm_mon, 10);
  EXPECT_TRUE(tm.tm_mday == 14 || tm.tm_mday == 15);
  EXPECT_FALSE(local_time(0, nullptr));
}

class PlatformStopTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_stop_request(); }
  void TearDown() override { clear_stop_request(); }
};

TEST_F(PlatformStopTest, WaitTimesOutWithoutRequest) {
  EXPECT_FALSE(stop_requested());
  uint64_t start = monotonic_ms();
  EXPECT_FALSE(wait_for_stop(150));
  uint64_t took = monotonic_ms() - start;
  EXPECT_GE(took, 130u);
  EXPECT_LT(took, 2000u);
  EXPECT_FALSE(wait_for_stop(0));
}

TEST_F(PlatformStopTest, RequestFromAnotherThreadWakesEveryWaiterAndStays) {
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.emplace_back([&woken] {
      if (wait_for_stop(20000)) ++woken;
    });
  }
  sleep_ms(100);
  uint64_t start = monotonic_ms();
  std::thread([] { request_stop(); }).join();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken.load(), 3);
  EXPECT_LT(monotonic_ms() - start, 2000u);
  // The request stays until it is cleared.
  EXPECT_TRUE(stop_requested());
  EXPECT_TRUE(wait_for_stop(10000));
  request_stop();  // a second request changes nothing
  clear_stop_request();
  EXPECT_FALSE(stop_requested());
  EXPECT_FALSE(wait_for_stop(50)) << "a cleared request must not wake the next wait";
}

TEST_F(PlatformStopTest, SignalsBecomeStopRequests) {
  if (!is_linux()) GTEST_SKIP() << "console control events cannot be raised here";
  install_stop_handler();
  std::raise(SIGINT);
  EXPECT_TRUE(stop_requested());
  EXPECT_TRUE(wait_for_stop(0));
  clear_stop_request();
  std::raise(SIGTERM);
  EXPECT_TRUE(wait_for_stop(1000));
}

// ---- Processes ---------------------------------------------------------------

TEST(PlatformProcessTest, KnowsItself) {
  uint32_t me = current_pid();
  EXPECT_NE(me, 0u);
  EXPECT_TRUE(pid_is_alive(me));
  EXPECT_FALSE(pid_is_alive(0));
  // Ids beyond the system's range name no process (and never a group).
  EXPECT_FALSE(pid_is_alive(0xFFFFFFFFu));
  EXPECT_FALSE(pid_is_alive(0x80000000u));

  std::string own = self_path();
  std::string expected = std::string("platform_test") + kExecutableSuffix;
  ASSERT_GE(own.size(), expected.size());
  EXPECT_EQ(own.substr(own.size() - expected.size()), expected);
  EXPECT_TRUE(test::file_exists(own));

  char name[256] = "junk";
  ASSERT_TRUE(process_executable_name(me, name, sizeof name));
  EXPECT_EQ(std::string(name), expected);
  EXPECT_FALSE(process_executable_name(0, name, sizeof name));

  char cut[5];
  EXPECT_FALSE(own_executable_path(cut, 0));
  ASSERT_TRUE(own_executable_path(cut, sizeof cut));
  EXPECT_EQ(std::string(cut), own.substr(0, 4));

  char host[256] = "";
  ASSERT_TRUE(computer_name(host, sizeof host));
  EXPECT_GT(std::strlen(host), 0u);
  char short_host[3];
  if (computer_name(short_host, sizeof short_host)) {
    EXPECT_LE(std::strlen(short_host), 2u);
  }
}

class PlatformChildTest : public test::WorkDirTest {};

TEST_F(PlatformChildTest, DetachedProcessRunsUntilTerminated) {
  std::string exe = self_path();
  ASSERT_TRUE(start_detached(exe.c_str(), "lw-child:pidsleep:child.pid:30000"));
  // It writes its id into our working directory: it shares it.
  uint32_t pid = wait_for_pid_file("child.pid");
  ASSERT_NE(pid, 0u);
  EXPECT_NE(pid, current_pid());
  EXPECT_TRUE(pid_is_alive(pid));
  char name[256] = "";
  EXPECT_TRUE(process_executable_name(pid, name, sizeof name));
  EXPECT_EQ(std::string(name), std::string("platform_test") + kExecutableSuffix);
  if (is_linux()) {
    // Not our child (nothing for us to reap) and in a session of its own.
    auto stat_fields = [](const std::string& path) {
      std::string text = test::read_file(path);
      std::vector<long> fields;  // ppid, pgrp, session after "pid (name) S"
      size_t at = text.rfind(')');
      if (at != std::string::npos) {
        const char* p = text.c_str() + at + 3;
        char* next = nullptr;
        for (int i = 0; i < 3; ++i, p = next) fields.push_back(std::strtol(p, &next, 10));
      }
      return fields;
    };
    std::vector<long> child = stat_fields("/proc/" + std::to_string(pid) + "/stat");
    std::vector<long> self = stat_fields("/proc/self/stat");
    ASSERT_EQ(child.size(), 3u);
    ASSERT_EQ(self.size(), 3u);
    EXPECT_NE(child[0], static_cast<long>(current_pid()));
    EXPECT_NE(child[2], self[2]);
  }

  EXPECT_EQ(terminate_process(pid), TerminateResult::kTerminated);
  EXPECT_TRUE(wait_until_gone(pid, 5000));
  EXPECT_FALSE(pid_is_alive(pid));
  EXPECT_EQ(terminate_process(pid), TerminateResult::kCannotOpen);
}

TEST_F(PlatformChildTest, DetachedStartOfMissingProgramFails) {
  std::string missing = (work_dir() / "no-such-program").string() + kExecutableSuffix;
  EXPECT_FALSE(start_detached(missing.c_str(), "x"));
  EXPECT_FALSE(start_detached("lw-no-such-program-anywhere", "x"));
  EXPECT_FALSE(start_detached("", "x"));
  EXPECT_FALSE(start_detached(nullptr, "x"));
}

TEST_F(PlatformChildTest, TerminateRefusesIdZero) {
  // In a child of its own: were id 0 taken as "my own group", only the child
  // would die (result 1) instead of reporting 0.
  EXPECT_EQ(run_child("guard0", false).result, 0);
}

TEST_F(PlatformChildTest, RunReportsExitCodesAndStartFailures) {
  EXPECT_EQ(run_child("exit:0", false).result, 0);
  EXPECT_EQ(run_child("exit:3", false).result, 3);
  EXPECT_EQ(run_child("exit:255", false).result, 255);
  if (is_linux()) {
    // Ended by a signal: there is no exit code, and it is not a success.
    EXPECT_EQ(run_child("abort", false).result, 1);
  }

  const char* missing[] = {"lw-no-such-program-anywhere", "arg", nullptr};
  RunSpec spec;
  spec.argv = missing;
  EXPECT_EQ(run_process(spec), kRunStartFailed);
  std::string path = (work_dir() / "no-such-program").string() + kExecutableSuffix;
  const char* missing_path[] = {path.c_str(), nullptr};
  spec.argv = missing_path;
  EXPECT_EQ(run_process(spec), kRunStartFailed);
  const char* empty[] = {"", nullptr};
  spec.argv = empty;
  EXPECT_EQ(run_process(spec), kRunStartFailed);
  const char* none[] = {nullptr};
  spec.argv = none;
  EXPECT_EQ(run_process(spec), kRunStartFailed);
  spec.argv = nullptr;
  EXPECT_EQ(run_process(spec), kRunStartFailed);
}

TEST_F(PlatformChildTest, SinkReceivesBothStreamsInBoundedReads) {
  ChildRun run = run_child("print:200000", true);
  EXPECT_EQ(run.result, 7);
  // stderr's "E" may come anywhere; everything else is stdout's bytes.
  ASSERT_EQ(run.output.size(), 200001u);
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), 'o'), 200000);
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), 'E'), 1);
  EXPECT_GT(run.largest_read, 0u);
  EXPECT_LE(run.largest_read, 511u);

  ChildRun quiet = run_child("exit:0", true);
  EXPECT_EQ(quiet.result, 0);
  EXPECT_EQ(quiet.output, "");

  // Discarded output goes nowhere and does not hold the child up.
  EXPECT_EQ(run_child("print:200000", false, nullptr, 0, true).result, 7);
}

TEST_F(PlatformChildTest, InputReachesChildWithoutDeadlock) {
  std::string input;
  for (int i = 0; i < 5; ++i) input += static_cast<char>('a' + i % 26);
  EXPECT_EQ(run_child("stdin:0:5", false, &input).result, 0);
  // Megabytes each way: the child writes its output before it reads, so
  // feeding and draining must go on together.
  std::string big;
  for (size_t i = 0; i < 3u * 1024 * 1024; ++i) big += static_cast<char>('a' + i % 26);
  ChildRun run = run_child("stdin:300000:" + std::to_string(big.size()), true, &big, 60000);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.output.size(), 300000u);
  // Empty input: the child sees the end at once.
  std::string nothing;
  EXPECT_EQ(run_child("stdin:0:0", false, &nothing, 20000).result, 0);
  // Without input the child reads the null device: an immediate end.
  EXPECT_EQ(run_child("stdin:0:0", false, nullptr, 20000).result, 0);
  // A child that never reads its input and ends: no hang, and no end of us.
  EXPECT_EQ(run_child("exit:4", false, &big, 20000).result, 4);
}

TEST_F(PlatformChildTest, TimeLimitEndsTheChild) {
  for (bool capture : {false, true}) {
    ChildRun run = run_child("sleep:30000", capture, nullptr, 400);
    EXPECT_EQ(run.result, kRunTimedOut) << capture;
    EXPECT_GE(run.elapsed_ms, 350u) << capture;
    EXPECT_LT(run.elapsed_ms, 5000u) << capture;
  }
  ChildRun in_time = run_child("sleep:50", true, nullptr, 20000);
  EXPECT_EQ(in_time.result, 0);
  EXPECT_LT(in_time.elapsed_ms, 10000u);
}

TEST_F(PlatformChildTest, TimeLimitEndsProgramsTheChildStarted) {
  if (!is_linux()) GTEST_SKIP() << "uses the POSIX shell";
  // The shell ends at once; its background child keeps the output pipe.
  const char* argv[] = {"sh", "-c", "sleep 30 & echo started", nullptr};
  ChildRun run;
  RunSpec spec;
  spec.argv = argv;
  spec.sink = collect;
  spec.sink_context = &run;
  spec.time_limit_ms = 500;
  uint64_t start = monotonic_ms();
  EXPECT_EQ(run_process(spec), kRunTimedOut);
  EXPECT_LT(monotonic_ms() - start, 5000u);
  EXPECT_EQ(run.output, "started\n");
}

TEST_F(PlatformChildTest, ConcurrentRunsDoNotHoldEachOthersPipes) {
  // Slow children started while quick ones run on this thread must not get
  // copies of the quick ones' pipes, or each quick run would wait for them.
  std::vector<std::thread> slow;
  for (int i = 0; i < 4; ++i) {
    slow.emplace_back([i] {
      sleep_ms(static_cast<uint32_t>(20 * i));
      run_child("sleep:2500", false, nullptr, 20000, true);
    });
  }
  uint64_t longest = 0;
  uint64_t end = monotonic_ms() + 600;
  while (monotonic_ms() < end) {
    std::string input = "abcde";
    ChildRun run = run_child("stdin:10:5", true, &input, 20000);
    EXPECT_EQ(run.result, 0);
    if (run.elapsed_ms > longest) longest = run.elapsed_ms;
  }
  for (auto& t : slow) t.join();
  EXPECT_LT(longest, 1500u);
}

TEST_F(PlatformChildTest, EnvironmentReachesChildren) {
  ASSERT_TRUE(set_env("LW_PLATFORM_PROBE", "hello"));
  EXPECT_EQ(run_child("env:LW_PLATFORM_PROBE", false).result, 5);
  ASSERT_TRUE(set_env("LW_PLATFORM_PROBE", nullptr));
  EXPECT_EQ(run_child("env:LW_PLATFORM_PROBE", false).result, 99);
  EXPECT_FALSE(set_env("", "x"));
  EXPECT_FALSE(set_env(nullptr, "x"));
}

// ---- Files -------------------------------------------------------------------

TEST_F(PlatformChildTest, DeleteFile) {
  test::write_file("gone.txt", "x");
  EXPECT_TRUE(delete_file("gone.txt"));
  EXPECT_FALSE(test::file_exists("gone.txt"));
  EXPECT_FALSE(delete_file("gone.txt"));
  EXPECT_FALSE(delete_file(""));
}

TEST_F(PlatformChildTest, LockedFileKeepsContentAndIsRewritten) {
  test::write_file("state.txt", "old content\n");
  FileLock lock;
  ASSERT_EQ(lock_file("state.txt", &lock), LockResult::kAcquired);
  // Opened without truncation; others may still read it.
  EXPECT_EQ(test::read_file("state.txt"), "old content\n");
  ASSERT_TRUE(rewrite_locked_file(&lock, "a\nb\n", 4));
  std::string end = test::text_line_end();
  EXPECT_EQ(test::read_file("state.txt"), "a" + end + "b" + end);
  ASSERT_TRUE(rewrite_locked_file(&lock, "c", 1));  // shorter: the rest is gone
  EXPECT_EQ(test::read_file("state.txt"), "c");
  ASSERT_TRUE(rewrite_locked_file(&lock, "", 0));
  EXPECT_EQ(test::read_file("state.txt"), "");
  unlock_file(&lock);
  EXPECT_EQ(lock.handle, -1);
  EXPECT_FALSE(rewrite_locked_file(&lock, "x", 1));
  unlock_file(&lock);  // twice is harmless
  EXPECT_TRUE(test::file_exists("state.txt"));

  // A missing file is created; a file in a missing folder cannot be.
  ASSERT_EQ(lock_file("new.txt", &lock), LockResult::kAcquired);
  EXPECT_TRUE(test::file_exists("new.txt"));
  EXPECT_TRUE(delete_file("new.txt")) << "a locked file may still be deleted";
  unlock_file(&lock);
  EXPECT_EQ(lock_file("no-such-dir/x.txt", &lock), LockResult::kError);
}

TEST_F(PlatformChildTest, LockIsExclusiveBetweenProcesses) {
  FileLock lock;
  ASSERT_EQ(lock_file("owner.lock", &lock), LockResult::kAcquired);
  EXPECT_EQ(run_child("lock:owner.lock", false).result, 1);  // held elsewhere
  FileLock again;
  EXPECT_EQ(lock_file("owner.lock", &again), LockResult::kHeldElsewhere);

  // A child started while we hold the lock gets no share of it: once we
  // release it, it is free although the child still runs.
  std::string exe = self_path();
  ASSERT_TRUE(start_detached(exe.c_str(), "lw-child:pidsleep:sleeper.pid:30000"));
  uint32_t sleeper = wait_for_pid_file("sleeper.pid");
  ASSERT_NE(sleeper, 0u);
  unlock_file(&lock);
  EXPECT_EQ(run_child("lock:owner.lock", false).result, 0);
  terminate_process(sleeper);
  EXPECT_TRUE(wait_until_gone(sleeper, 5000));

  // A lock held by another process ends with it.
  ASSERT_TRUE(start_detached(exe.c_str(), "lw-child:lockhold:owner.lock:holder.pid:30000"));
  uint32_t holder = wait_for_pid_file("holder.pid");
  ASSERT_NE(holder, 0u);
  EXPECT_EQ(lock_file("owner.lock", &lock), LockResult::kHeldElsewhere);
  EXPECT_EQ(terminate_process(holder), TerminateResult::kTerminated);
  EXPECT_TRUE(wait_until_gone(holder, 5000));
  LockResult result = LockResult::kHeldElsewhere;
  for (int i = 0; i < 100 && result != LockResult::kAcquired; ++i) {
    result = lock_file("owner.lock", &lock);
    if (result != LockResult::kAcquired) sleep_ms(20);
  }
  EXPECT_EQ(result, LockResult::kAcquired);
  unlock_file(&lock);
}

// ---- Programs by name, arguments and process trees ---------------------------

// Runs `args` (program first) and collects what it prints.
ChildRun run_program(std::vector<const char*> args, uint32_t limit_ms = 20000) {
  args.push_back(nullptr);
  ChildRun run;
  RunSpec spec;
  spec.argv = args.data();
  spec.sink = collect;
  spec.sink_context = &run;
  spec.time_limit_ms = limit_ms;
  uint64_t start = monotonic_ms();
  run.result = run_process(spec);
  run.elapsed_ms = monotonic_ms() - start;
  return run;
}

// Sets PATH for the life of the object and restores it afterwards.
class ScopedPath {
 public:
  explicit ScopedPath(const std::string& value) {
    const char* old = std::getenv("PATH");
    had_ = old != nullptr;
    if (old) saved_ = old;
    ok_ = set_env("PATH", value.c_str());
  }
  ~ScopedPath() { set_env("PATH", had_ ? saved_.c_str() : nullptr); }
  bool ok() const { return ok_; }
  const std::string& saved() const { return saved_; }

 private:
  bool had_ = false;
  bool ok_ = false;
  std::string saved_;
};

TEST_F(PlatformChildTest, ArgumentsReachTheProgramExactly) {
  std::string tool = test::program_path("lw_testtool").string();
  const std::string end = test::text_line_end();
  // Texts that a command line must quote or escape, and characters that a
  // command interpreter would act on.
  const std::vector<std::string> args = {"",
                                         "two words",
                                         "tab\there",
                                         "quote\"inside",
                                         "\"",
                                         "\\\"",
                                         "trailing\\",
                                         "back\\\\\"slash",
                                         "C:\\dir with space\\",
                                         "\\\\server\\share",
                                         "%PATH%",
                                         "a&b|c>d^e<f",
                                         "'single'",
                                         "-opt=\"x y\"",
                                         "$HOME `id`",
                                         std::string(20000, 'x')};
  std::vector<const char*> argv = {tool.c_str(), "args"};
  std::string expected;
  for (const std::string& arg : args) {
    argv.push_back(arg.c_str());
    expected += "[" + arg + "]" + end;
  }
  ChildRun run = run_program(argv);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.output, expected);

  if (!is_linux()) {
    // Beyond the longest command line Windows takes: refused whole, never
    // passed on cut.
    std::string huge(40000, 'y');
    ChildRun refused = run_program({tool.c_str(), "args", huge.c_str()});
    EXPECT_EQ(refused.result, kRunStartFailed);
    EXPECT_EQ(refused.output, "");
  }
}

TEST_F(PlatformChildTest, ProgramsAreFoundOnPath) {
  const std::string end = test::text_line_end();
  const std::string dir = test::program_dir().string();
  const char* old = std::getenv("PATH");
  std::string rest = std::string(kPathListSeparator) + (old ? old : "");
  const std::string suffixed = std::string("lw_testtool") + kExecutableSuffix;
  {
    ScopedPath path(dir + rest);
    ASSERT_TRUE(path.ok());
    ChildRun bare = run_program({"lw_testtool", "args", "bare"});
    EXPECT_EQ(bare.result, 0);
    EXPECT_EQ(bare.output, "[bare]" + end);
    ChildRun named = run_program({suffixed.c_str(), "args", "named"});
    EXPECT_EQ(named.result, 0);
    EXPECT_EQ(named.output, "[named]" + end);
  }
  if (!is_linux()) {
    // Windows PATH entries may be quoted and end with a backslash.
    ScopedPath path("\"" + dir + "\\\"" + rest);
    ASSERT_TRUE(path.ok());
    ChildRun quoted = run_program({"lw_testtool", "args", "quoted"});
    EXPECT_EQ(quoted.result, 0);
    EXPECT_EQ(quoted.output, "[quoted]" + end);
  }
}

TEST_F(PlatformChildTest, DetachedStartOutlivesTheRunThatMadeIt) {
  // The starter runs under run_process, which ends what its child leaves
  // running and drains its output to the end: the background process must
  // leave that tree and hold none of the starter's pipes.
  ChildRun run = run_child("detach:bg.pid", true, nullptr, 20000);
  EXPECT_EQ(run.result, 0);
  EXPECT_LT(run.elapsed_ms, 10000u);
  uint32_t pid = wait_for_pid_file("bg.pid");
  ASSERT_NE(pid, 0u);
  sleep_ms(300);
  EXPECT_TRUE(pid_is_alive(pid));
  EXPECT_EQ(terminate_process(pid), TerminateResult::kTerminated);
  EXPECT_TRUE(wait_until_gone(pid, 5000));
}

TEST_F(PlatformChildTest, TimeLimitEndsTheWholeTree) {
  // The child starts a grandchild that shares its output and sleeps; both
  // outlast the limit.
  std::string tool = test::program_path("lw_testtool").string();
  ChildRun run = run_program({tool.c_str(), "spawn-sleeper", "30000", "grandchild.pid"}, 1500);
  EXPECT_EQ(run.result, kRunTimedOut);
  EXPECT_LT(run.elapsed_ms, 8000u);
  uint32_t grandchild = wait_for_pid_file("grandchild.pid");
  ASSERT_NE(grandchild, 0u);
  EXPECT_TRUE(wait_until_gone(grandchild, 5000));
  terminate_process(grandchild);  // in case it survived
}

// ---- The child side ----------------------------------------------------------

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

void write_pid_file(const std::string& name) {
  std::string temp = name + ".tmp";
  if (std::FILE* f = std::fopen(temp.c_str(), "w")) {
    std::fprintf(f, "%lu\n", static_cast<unsigned long>(current_pid()));
    std::fclose(f);
    std::rename(temp.c_str(), name.c_str());
  }
}

int child_main(const std::string& spec) {
  std::vector<std::string> a = split(spec);
  const std::string& mode = a[0];
  auto number = [&a](size_t i) {
    return i < a.size() ? std::strtoul(a[i].c_str(), nullptr, 10) : 0ul;
  };
  if (mode == "exit") return static_cast<int>(number(1));
  if (mode == "abort") std::abort();
  if (mode == "sleep") {
    sleep_ms(static_cast<uint32_t>(number(1)));
    return 0;
  }
  if (mode == "print") {  // "print:<n>": n bytes 'o' on stdout, "E" on stderr
    std::string text(number(1), 'o');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputs("E", stderr);
    return 7;
  }
  if (mode == "stdin") {  // "stdin:<out>:<len>": write <out> bytes, then read the pattern
    std::string text(number(1), 'o');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    unsigned long count = 0;
    bool pattern = true;
    int c;
    while ((c = std::getchar()) != EOF) {
      if (c != 'a' + static_cast<int>(count % 26)) pattern = false;
      ++count;
    }
    return pattern && count == number(2) ? 0 : 1;
  }
  if (mode == "env") {
    const char* value = std::getenv(a.size() > 1 ? a[1].c_str() : "");
    return value ? static_cast<int>(std::strlen(value)) : 99;
  }
  if (mode == "guard0") return terminate_process(0) == TerminateResult::kCannotOpen ? 0 : 3;
  if (mode == "lock") {  // 0 acquired, 1 held elsewhere, 2 error
    FileLock lock;
    switch (lock_file(a.size() > 1 ? a[1].c_str() : "", &lock)) {
      case LockResult::kAcquired:
        return 0;
      case LockResult::kHeldElsewhere:
        return 1;
      default:
        return 2;
    }
  }
  if (mode == "lockhold") {  // "lockhold:<file>:<pidfile>:<ms>"
    FileLock lock;
    if (a.size() < 4 || lock_file(a[1].c_str(), &lock) != LockResult::kAcquired) return 2;
    write_pid_file(a[2]);
    sleep_ms(static_cast<uint32_t>(number(3)));
    return 0;
  }
  if (mode == "pidsleep") {  // "pidsleep:<pidfile>:<ms>"
    if (a.size() < 3) return 2;
    write_pid_file(a[1]);
    sleep_ms(static_cast<uint32_t>(number(2)));
    return 0;
  }
  if (mode == "detach") {  // "detach:<pidfile>": start a background "pidsleep" and end
    char exe[4096];
    if (a.size() < 2 || !own_executable_path(exe, sizeof exe)) return 2;
    std::string arg = std::string(kChildPrefix) + "pidsleep:" + a[1] + ":30000";
    return start_detached(exe, arg.c_str()) ? 0 : 1;
  }
  return 100;
}

}  // namespace
}  // namespace lw::platform

int main(int argc, char** argv) {
  if (argc > 1 && std::strncmp(argv[1], lw::platform::kChildPrefix,
                               sizeof lw::platform::kChildPrefix - 1) == 0) {
    int code = lw::platform::child_main(argv[1] + sizeof lw::platform::kChildPrefix - 1);
    std::fflush(nullptr);
    return code;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
