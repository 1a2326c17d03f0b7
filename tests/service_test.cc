#include "app/service.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "app/instance.h"
#include "platform/platform.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

namespace fs = std::filesystem;
using Result = test::ProgramResult;  // exit code, joined output
using test::run_program;

bool on_windows() { return std::strcmp(platform::kSystemName, "Windows") == 0; }

bool log_has(const char* text) {
  return test::file_exists(kLogFileName) &&
         test::read_file(kLogFileName).find(text) != std::string::npos;
}

class ServiceTest : public test::WorkDirTest {};

// Removes the service at the end of a test, also of one that failed half-way.
struct ServiceRemoval {
  ~ServiceRemoval() { run_program({"-uninstall"}); }
};

// Also "-reload" through the service manager's parameter-change control
// (-status, -s and the pid file beside an instance: InstanceTest).
TEST_F(ServiceTest, RunsInTheInstallFolderAndStopsInOrderThroughTheServiceManager) {
  if (!on_windows()) GTEST_SKIP() << "POSIX has no service manager to talk to (see UnitText)";
  platform::Listener listener;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &listener));
  const auto host_file = [&listener](const char* interval) {
    return std::string("interval : \"") + interval +
           "\"\nfast_retry_interval : \"3\"\nstatus_file : \"1\"\nhost : \"127.0.0.1\"\nport : \"" +
           std::to_string(listener.port) + "\"\n";
  };
  test::write_file("linkwatch_host.txt", host_file("60"));
  test::write_file("linkwatch_email.txt",
                   "server : \"\"\nemail : \"\"\npassword : \"\"\nto : \"\"\n");
  run_program({"-uninstall"});  // left over by an earlier run
  ServiceRemoval removal;
  const Result installed = run_program({"-install"});
  if (installed.second.find("administrator") != std::string::npos) {
    GTEST_SKIP() << "no administrator rights here: " << installed.second;
  }
  ASSERT_EQ(installed.first, 0) << installed.second;
  EXPECT_NE(installed.second.find(fs::current_path().string()), std::string::npos);

  ASSERT_EQ(run_program({"start", "linkwatch"}, "sc").first, 0);
  // The status file comes after the first cycle, so after the run read the
  // host file that the reload below is compared with.
  ASSERT_TRUE(test::eventually([] { return test::file_exists("linkwatch_status.txt"); }))
      << "no run in the install folder";
  test::write_file("linkwatch_host.txt", host_file("30"));
  EXPECT_EQ(run_program({"-reload"}),
            Result(0, "reload: settings changed: interval\nreload applied\n"));

  EXPECT_EQ(run_program({"-stop"}), Result(0, "linkwatch stopped\n"));
  EXPECT_TRUE(log_has("------ linkwatch is stopped: stop requested ------"))
      << "the stop was not orderly";
  EXPECT_NE(run_program({"query", "linkwatch"}, "sc").second.find("STOPPED"), std::string::npos);

  EXPECT_EQ(run_program({"-uninstall"}), Result(0, "linkwatch service removed\n"));
  EXPECT_NE(run_program({"query", "linkwatch"}, "sc").first, 0) << "still registered";
  EXPECT_EQ(run_program({"-uninstall"}), Result(1, "linkwatch service is not installed\n"));
  platform::close_listener(&listener);
}

// The unit runs the program in the folder of "-install", folder and account
// written as systemd reads them back; what would end a setting is refused.
TEST_F(ServiceTest, UnitText) {
  if (on_windows()) GTEST_SKIP() << "Windows registers the service itself (see the test above)";
  const std::string exe = test::program_path("linkwatch").string();
  const std::string here = fs::current_path().string();
  // Folder, arguments, exit code, and lines that must each appear whole.
  using Lines = std::vector<std::string>;
  const std::tuple<const char*, Lines, int, Lines> rows[] = {
      {"",
       {"-install"},
       0,
       {"WorkingDirectory=" + here, "ExecStart=\"" + exe + "\" -s", "[Install]",
        "#   sudo useradd --system --no-create-home --shell /usr/sbin/nologin linkwatch",
        "#   sudo chown -R linkwatch: " + here}},
      {"",
       {"-install", "svc-user"},
       0,
       {"User=svc-user",
        "#   sudo useradd --system --no-create-home --shell /usr/sbin/nologin svc-user",
        "#   sudo chown -R svc-user: " + here}},
      {"",
       {"-install", "bad\nUser=root"},
       1,
       {"Cannot write a systemd unit for this program, folder or account"}},
      {"", {"-uninstall"}, 0, {"sudo systemctl disable --now linkwatch"}},
      {"a%h",
       {"-install"},
       0,
       {"WorkingDirectory=" + here + "/a%%h",
        "#   sudo chown -R linkwatch: '" + here + "/a%h'"}},  // last: a folder stays
  };
  for (const auto& [folder, args, rc, lines] : rows) {
    fs::create_directories(fs::path(here) / folder);
    fs::current_path(fs::path(here) / folder);
    const Result result = run_program(args);
    EXPECT_EQ(result.first, rc) << result.second;
    for (const std::string& line : lines) {
      EXPECT_NE(("\n" + result.second).find("\n" + line + "\n"), std::string::npos)
          << line << " missing in " << result.second;
    }
    EXPECT_EQ(fs::directory_iterator(fs::current_path()), fs::directory_iterator())
        << "-install wrote a file";
    fs::current_path(here);
  }
}

}  // namespace
}  // namespace lw
