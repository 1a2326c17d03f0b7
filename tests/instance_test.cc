#include "app/instance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

using Result = test::ProgramResult;  // exit code, joined output

using test::run_program;

template <typename Condition>
bool eventually(Condition condition, int ms) {
  for (int waited = 0; waited < ms && !condition(); waited += 20) platform::sleep_ms(20);
  return condition();
}

class InstanceTest : public test::WorkDirTest {};

TEST_F(InstanceTest, ReadsTheFirstNumberOfThePidFile) {
  EXPECT_EQ(read_pid_file(), 0u) << "no file";
  const std::pair<const char*, uint32_t> cases[] = {
      {" \t\r\n 77\r\n", 77},      {"42abc", 42},     {"abc 12\n", 0}, {"-12\n", 0},
      {"4294967295", 4294967295u}, {"4294967296", 0},
  };
  for (const auto& [text, pid] : cases) {
    test::write_file(kPidFileName, text);
    EXPECT_EQ(read_pid_file(), pid) << '"' << text << '"';
  }
}

TEST_F(InstanceTest, ClaimIsExclusiveAndRefusalsGoToStandardError) {
  test::write_file(kPidFileName, "left over by someone, longer than a pid\n");
  const std::string me = std::to_string(platform::current_pid());
  test::OutputCapture capture;
  InstanceClaim first, second;
  {
    // A check that holds the lock for a moment does not turn a start away.
    platform::FileLock check;
    ASSERT_EQ(platform::lock_file(kPidFileName, &check), platform::LockResult::kAcquired);
    std::jthread release([&check] {
      platform::sleep_ms(300);
      platform::unlock_file(&check);
    });
    ASSERT_TRUE(claim_instance(&first));
  }
  EXPECT_EQ(test::read_file(kPidFileName), me + test::text_line_end()) << "old text replaced whole";
  EXPECT_FALSE(claim_instance(&second));
  EXPECT_EQ(test::read_file(kPidFileName), me + test::text_line_end()) << "refusal leaves the file";
  release_instance(&second, true);  // not held: does nothing
  EXPECT_TRUE(test::file_exists(kPidFileName));
  release_instance(&first, true);
  EXPECT_FALSE(test::file_exists(kPidFileName));
  std::filesystem::create_directory(kPidFileName);
  EXPECT_FALSE(claim_instance(&second)) << "unwritable";
  EXPECT_EQ(capture.out(), "");
  EXPECT_EQ(capture.err(),
            "linkwatch already running pid " + me + "\nCannot write pid file linkwatch.pid\n");
}

TEST_F(InstanceTest, PidFilesOfNoInstanceAndForeignProcessesAreLeftAlone) {
  const std::string tool = test::program_path("lw_testtool").string();
  ASSERT_EQ(run_program({"pidfile", "ended.pid"}, tool).first, 0);
  std::jthread sleeper([&] { run_program({"pidfile", "foreign.pid", "sleep", "60000"}, tool); });
  ASSERT_TRUE(eventually([] { return test::read_file("foreign.pid").ends_with('\n'); }, 10000));
  const std::string ended = test::read_file("ended.pid"), foreign = test::read_file("foreign.pid");
  const auto foreign_pid = static_cast<uint32_t>(std::stoul(foreign));
  const struct {
    std::string text, stop_out;
    bool status_deletes;
  } cases[] = {{ended, "Unable to open pid " + std::to_string(std::stoul(ended)) + "\n", true},
               {foreign, "Unable to open pid " + std::to_string(foreign_pid) + "\n", true},
               {"garbage\n", "linkwatch not running\n", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    test::write_file(kPidFileName, c.text);
    EXPECT_EQ(run_program({"-stop"}), Result(1, c.stop_out));
    EXPECT_EQ(test::read_file(kPidFileName), c.text) << "-stop leaves the record";
    EXPECT_EQ(run_program({"-status"}), Result(1, "linkwatch not running\n"));
    EXPECT_EQ(test::file_exists(kPidFileName), !c.status_deletes);
  }
  EXPECT_TRUE(platform::pid_is_alive(foreign_pid)) << "-stop must not end another program";
  platform::terminate_process(foreign_pid);
}

// The instance is told by the lock on its pid file, not by the program's
// name: a copy under another name sees it, leaves its file and stops it.
TEST_F(InstanceTest, BackgroundInstanceIsSeenAndStoppedByARenamedCopy) {
  platform::Listener listener;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &listener));
  test::write_file("linkwatch_host.txt", "interval : \"60\"\nhost : \"127.0.0.1\"\nport : \"" +
                                             std::to_string(listener.port) + "\"\n");
  const std::string copy = (work_dir() / "lw_renamed").string() + platform::kExecutableSuffix;
  std::filesystem::copy_file(test::program_path("linkwatch"), copy);
  EXPECT_EQ(run_program({"-start"}), Result(0, "linkwatch start requested\n"));
  uint32_t pid = 0;
  ASSERT_TRUE(eventually(
      [&] { return (pid = read_pid_file()) != 0 && platform::pid_is_alive(pid); }, 15000));
  const std::string running = "linkwatch running pid " + std::to_string(pid) + "\n";
  EXPECT_EQ(run_program({"-status"}, copy), Result(0, running));
  EXPECT_EQ(read_pid_file(), pid) << "the live instance's file stays";

  EXPECT_EQ(run_program({"-s"}),
            Result(1, "linkwatch already running pid " + std::to_string(pid) + "\n"));
  EXPECT_TRUE(platform::pid_is_alive(pid)) << "a refused second leaves the first running";

  EXPECT_EQ(run_program({"-stop"}, copy), Result(0, "linkwatch stopped\n"));
  EXPECT_FALSE(test::file_exists(kPidFileName));
  EXPECT_TRUE(eventually([&] { return !platform::pid_is_alive(pid); }, 5000));
  EXPECT_EQ(run_program({"-status"}, copy), Result(1, "linkwatch not running\n"));
  if (platform::pid_is_alive(pid)) platform::terminate_process(pid);  // after a failed -stop
  platform::close_listener(&listener);
}

}  // namespace
}  // namespace lw
