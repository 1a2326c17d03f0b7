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

// Waits for a file that a child writes ("<pid>\n") and returns the number.
uint32_t wait_for_pid_file(const std::string& name) {
  for (int i = 0; i < 500; ++i) {
    std::string text = test::read_file(name);
    if (text.find('\n') != std::string::npos) return std::strtoul(text.c_str(), nullptr, 10);
    sleep_ms(20);
  }
  return 0;
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
  EXPECT_NE(wait_for_pid_file("child.pid"), 0u);
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

}  // namespace
}  // namespace lw::platform
