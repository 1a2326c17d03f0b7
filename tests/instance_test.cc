#include "app/instance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::OutputCapture;
using test::read_file;
using test::WorkDirTest;
using test::write_file;

struct ProgramResult {
  int rc = -1;
  std::string out;  // standard output and standard error, line ends as "\n"
};

ProgramResult run_program(const std::string& program, const std::vector<std::string>& args) {
  std::vector<const char*> argv{program.c_str()};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  Command command;
  command.argv = argv.data();
  std::vector<char> buffer(kCaptureBufferSize);
  ProgramResult result;
  result.rc = run_command_capture(command, buffer.data(), 30000);
  for (const char* p = buffer.data(); *p; ++p) {
    if (!(p[0] == '\r' && p[1] == '\n')) result.out += *p;
  }
  return result;
}

ProgramResult linkwatch(const std::string& arg) {
  return run_program(test::program_path("linkwatch").string(), {arg});
}

std::string tool_path() { return test::program_path("lw_testtool").string(); }

bool eventually(const std::function<bool()>& condition, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (condition()) return true;
    platform::sleep_ms(20);
  }
  return condition();
}

std::string pid_text(uint32_t pid) { return std::to_string(pid) + test::text_line_end(); }

class InstanceTest : public WorkDirTest {};

TEST_F(InstanceTest, ReadsTheFirstNumberOfThePidFile) {
  EXPECT_EQ(read_pid_file(), 0u) << "no file";
  struct Case {
    const char* text;
    uint32_t pid;
  } cases[] = {{"1234\n", 1234},
               {" \t\r\n 77\r\n", 77},
               {"42abc", 42},
               {"", 0},
               {"abc 12\n", 0},
               {"-12\n", 0},
               {"4294967295", 4294967295u},
               {"4294967296", 0},
               {"99999999999999999999999", 0}};
  for (const Case& c : cases) {
    write_file(kPidFileName, c.text);
    EXPECT_EQ(read_pid_file(), c.pid) << '"' << c.text << '"';
  }
}

TEST_F(InstanceTest, OwnInstanceMeansRunningTheSameProgram) {
  EXPECT_TRUE(is_own_instance(platform::current_pid()));
  EXPECT_FALSE(is_own_instance(0));
  // An ended process.
  ASSERT_EQ(run_program(tool_path(), {"pidfile", "ended.pid"}).rc, 0);
  const uint32_t ended = static_cast<uint32_t>(std::stoul(read_file("ended.pid")));
  EXPECT_FALSE(is_own_instance(ended));
}

TEST_F(InstanceTest, ClaimIsExclusiveAndRefusalsGoToStandardError) {
  write_file(kPidFileName, "left over by someone, longer than a pid\n");
  InstanceClaim first;
  {
    OutputCapture capture;
    ASSERT_TRUE(claim_instance(&first));
    EXPECT_EQ(capture.out() + capture.err(), "");
  }
  const std::string recorded = pid_text(platform::current_pid());
  EXPECT_EQ(read_file(kPidFileName), recorded) << "the old text is replaced whole";

  InstanceClaim second;
  {
    OutputCapture capture;
    EXPECT_FALSE(claim_instance(&second));
    EXPECT_EQ(capture.err(),
              "linkwatch already running pid " + std::to_string(platform::current_pid()) + "\n");
    EXPECT_EQ(capture.out(), "");
  }
  EXPECT_EQ(read_file(kPidFileName), recorded) << "the refused claim leaves the file alone";
  release_instance(&second, true);  // not held: does nothing
  EXPECT_TRUE(test::file_exists(kPidFileName));

  release_instance(&first, true);
  EXPECT_FALSE(test::file_exists(kPidFileName));
  InstanceClaim third;
  EXPECT_TRUE(claim_instance(&third));
  release_instance(&third, false);
  EXPECT_TRUE(test::file_exists(kPidFileName));
}

TEST_F(InstanceTest, UnwritablePidFileIsRefused) {
  std::filesystem::create_directory(kPidFileName);
  OutputCapture capture;
  InstanceClaim claim;
  EXPECT_FALSE(claim_instance(&claim));
  EXPECT_EQ(capture.err(), "Cannot write pid file linkwatch.pid\n");
}

TEST_F(InstanceTest, StalePidFile) {
  ASSERT_EQ(run_program(tool_path(), {"pidfile", kPidFileName}).rc, 0);
  const uint32_t ended = read_pid_file();
  ASSERT_NE(ended, 0u);

  ProgramResult stop = linkwatch("-stop");
  EXPECT_EQ(stop.rc, 1);
  EXPECT_EQ(stop.out, "Unable to open pid " + std::to_string(ended) + "\n");
  EXPECT_EQ(read_pid_file(), ended) << "-stop leaves the record";

  for (int round = 0; round < 2; ++round) {
    ProgramResult status = linkwatch("-status");
    EXPECT_EQ(status.rc, 1);
    EXPECT_EQ(status.out, "linkwatch not running\n");
    EXPECT_FALSE(test::file_exists(kPidFileName));
  }
}

TEST_F(InstanceTest, PidFileWithoutANumber) {
  write_file(kPidFileName, "garbage\n");
  for (const char* command : {"-status", "-stop"}) {
    ProgramResult result = linkwatch(command);
    EXPECT_EQ(result.rc, 1) << command;
    EXPECT_EQ(result.out, "linkwatch not running\n") << command;
    EXPECT_EQ(read_file(kPidFileName), "garbage\n") << command;
  }
}

TEST_F(InstanceTest, ForeignProcessIsNeitherReportedNorStopped) {
  // A live process of another program holds the recorded id.
  std::thread sleeper([] {
    run_program(tool_path(), {"pidfile", kPidFileName, "sleep", "60000"});
  });
  uint32_t foreign = 0;
  ASSERT_TRUE(eventually([&] { return (foreign = read_pid_file()) != 0; }, 10000));

  ProgramResult stop = linkwatch("-stop");
  EXPECT_EQ(stop.rc, 1);
  EXPECT_EQ(stop.out, "Unable to open pid " + std::to_string(foreign) + "\n");
  EXPECT_TRUE(platform::pid_is_alive(foreign)) << "-stop must not end another program";
  EXPECT_TRUE(test::file_exists(kPidFileName));

  ProgramResult status = linkwatch("-status");
  EXPECT_EQ(status.rc, 1);
  EXPECT_EQ(status.out, "linkwatch not running\n");
  EXPECT_FALSE(test::file_exists(kPidFileName));
  EXPECT_TRUE(platform::pid_is_alive(foreign));

  platform::terminate_process(foreign);
  sleeper.join();
}

TEST_F(InstanceTest, BackgroundInstanceLifeCycle) {
  platform::Listener listener;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &listener));
  write_file("linkwatch_host.txt", "interval : \"60\"\nhost : \"127.0.0.1\"\nport : \"" +
                                       std::to_string(listener.port) + "\"\n");

  ProgramResult start = linkwatch("-start");
  EXPECT_EQ(start.rc, 0);
  EXPECT_EQ(start.out, "linkwatch start requested\n");
  uint32_t pid = 0;
  ASSERT_TRUE(eventually(
      [&] { return (pid = read_pid_file()) != 0 && platform::pid_is_alive(pid); }, 15000));
  // Ends the instance should a check below fail half-way.
  struct Guard {
    uint32_t pid;
    ~Guard() {
      if (platform::pid_is_alive(pid)) platform::terminate_process(pid);
    }
  } guard{pid};
  const std::string recorded = read_file(kPidFileName);
  EXPECT_EQ(recorded, pid_text(pid));

  ProgramResult status = linkwatch("-status");
  EXPECT_EQ(status.rc, 0);
  EXPECT_EQ(status.out, "linkwatch running pid " + std::to_string(pid) + "\n");

  // A second instance in the foreground is refused at once.
  ProgramResult second = linkwatch("-s");
  EXPECT_EQ(second.rc, 1);
  EXPECT_EQ(second.out, "linkwatch already running pid " + std::to_string(pid) + "\n");

  // So is a second background one; the first goes on undisturbed.
  EXPECT_EQ(linkwatch("-start").rc, 0);
  platform::sleep_ms(1500);
  EXPECT_EQ(read_file(kPidFileName), recorded);
  EXPECT_TRUE(platform::pid_is_alive(pid));

  ProgramResult stop = linkwatch("-stop");
  EXPECT_EQ(stop.rc, 0);
  EXPECT_EQ(stop.out, "linkwatch stopped\n");
  EXPECT_FALSE(test::file_exists(kPidFileName));
  EXPECT_TRUE(eventually([&] { return !platform::pid_is_alive(pid); }, 5000));

  status = linkwatch("-status");
  EXPECT_EQ(status.rc, 1);
  EXPECT_EQ(status.out, "linkwatch not running\n");
  platform::close_listener(&listener);
}

}  // namespace
}  // namespace lw
