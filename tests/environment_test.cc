#include "support/environment.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "config/host_config.h"
#include "platform/platform.h"
#include "probe/resolve.h"
#include "support/clock.h"
#include "support/runner.h"
#include "support/scoped_environment.h"

namespace lw {
namespace {

int64_t clock_a() { return 1000; }
int64_t clock_b() { return 2000; }

int hook_seven(void* context, const Command&, char* out) {
  ++*static_cast<int*>(context);
  if (out) std::snprintf(out, kCaptureBufferSize, "seven");
  return 7;
}
int hook_unstarted(void*, const Command&, char*) { return -1; }

std::atomic<int> resolutions_a{0}, resolutions_b{0};
template <std::atomic<int>* kCount>
int resolver(const char*, platform::AddressFamily, platform::Address* out, int) {
  ++*kCount;
  copy_bounded(out[0].text, sizeof out[0].text, "127.0.0.1");
  out[0].family = platform::AddressFamily::kIPv4;
  return 1;
}
constexpr ResolverFn resolver_a = resolver<&resolutions_a>, resolver_b = resolver<&resolutions_b>;

// The runner hook's statuses reach the code that runs commands (a hook's -1 is no exit), and
// every part comes back at the end of the scope. The clock and resolver reaching their users:
// the threads' test below; the output: every test's OutputCapture.
TEST(EnvironmentTest, TheRunnerReachesItsUserAndThePartsComeBack) {
  const Environment before = current_environment();
  {
    int calls = 0;
    test::ScopedEnvironment env;
    env.set_clock(clock_a);
    env.set_runner(hook_seven, &calls);
    env.set_resolver(resolver_a);
    const char* argv[] = {"no-such-program", nullptr};
    char out[kCaptureBufferSize];
    EXPECT_EQ(run_command_capture({argv}, out), 7);
    EXPECT_STREQ(out, "seven");
    RunStatus status = RunStatus::kStartFailed;
    EXPECT_EQ(run_command({argv}, kCommandTimeLimitMs, &status), 7);
    EXPECT_EQ(status, RunStatus::kExited);
    EXPECT_EQ(calls, 2);
    env.set_runner(hook_unstarted, nullptr);
    EXPECT_EQ(run_command({argv}, kCommandTimeLimitMs, &status), -1);
    EXPECT_EQ(status, RunStatus::kStartFailed);
  }
  const Environment after = current_environment();
  EXPECT_TRUE(after.clock == before.clock && after.run == before.run &&
              after.run_context == before.run_context && after.resolve == before.resolve &&
              after.out == before.out && after.err == before.err);
  EXPECT_GT(now_seconds(), 1000);  // the system's time again
}

// Threads keep resolving and reading the clock while the parts are replaced: every call goes to
// one whole resolver (the thread sanitizer build checks the replacing against the readers).
TEST(EnvironmentTest, PartsAreReplacedWhileOtherThreadsUseThem) {
  test::ScopedEnvironment env;
  env.set_resolver(resolver_a);
  env.set_clock(clock_a);
  const int a = resolutions_a, b = resolutions_b;
  constexpr int kThreads = 3, kCalls = 300;
  std::atomic<int> wrong_time{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      HostEntry host;
      set_host_text(&host, "service.invalid");
      for (int i = 0; i < kCalls; ++i) {
        if (!resolve_host_entry(host, host)) return;
        const int64_t now = now_seconds();
        if (now != 1000 && now != 2000) ++wrong_time;
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    env.set_resolver(i % 2 ? resolver_a : resolver_b);
    env.set_clock(i % 2 ? clock_a : clock_b);
    std::this_thread::yield();
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(resolutions_a - a + resolutions_b - b, kThreads * kCalls);
  EXPECT_EQ(wrong_time, 0);
}

}  // namespace
}  // namespace lw
