#include "app/entry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/about.h"
#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::run_program;

class EntryTest : public test::WorkDirTest {};

TEST_F(EntryTest, FirstCommandWinsUnknownsAreSkippedNearMissesLeadIntoTheRun) {
  std::string usage = std::string("\nLINKWATCH ") + platform::kSystemName + " Version 1.0 from " +
                      kMakerAddress + "\n\nUsage:\n";
  for (const char* command : {"-start", "-stop", "-status", "-check", "-test", "-s", "-h | --help"})
    usage += "  " + test::program_path("linkwatch").string() + " " + command + "\n";
  usage +=
      "\nOptions:\n  -start        Start in background mode\n"
      "  -stop         Stop running instance\n  -status       Show running status\n"
      "  -check        Validate config file format\n"
      "  -test         Send test email / Telegram / Teams alert\n"
      "  -s            Silent mode\n  -h, --help    Show this help\n";
  for (const char* option : {"-h", "--help"})
    EXPECT_EQ(run_program({option}), std::make_pair(0, usage)) << option;
  EXPECT_TRUE(std::filesystem::is_empty(work_dir())) << "usage touches no file";

  // A stale pid file: "-status" deletes it, "-stop" would say "Unable to open pid N".
  ASSERT_EQ(
      run_program({"pidfile", "linkwatch.pid"}, test::program_path("lw_testtool").string()).first,
      0);
  EXPECT_EQ(run_program({"-status", "-stop"}),
            std::make_pair(1, std::string("linkwatch not running\n")));
  const std::string check =
      std::string("linkwatch from ") + kMakerAddress + "\n\n" +
      "Important: use ':' as separator. '=' is not supported.\n\nChecking linkwatch_host.txt ...\n"
      "File not found: linkwatch_host.txt\nFAILED\n\nChecking linkwatch_email.txt ...\n"
      "File not found: linkwatch_email.txt\nFAILED\n\nResult: FAILED\n";
  EXPECT_EQ(run_program({"-x", "status", "-check", "-status"}), std::make_pair(1, check));
  for (const char* arg : {"-test", "-STATUS", "status", "-status ", "-S", "-s", "--h", ""})
    EXPECT_EQ(run_program({arg}),
              std::make_pair(1, std::string("linkwatch_host.txt is not existed\n")))
        << '"' << arg << '"';
  EXPECT_FALSE(test::file_exists("linkwatch.pid"));
}

TEST_F(EntryTest, SilentModeCountsOnlyBeforeTheCommand) {
  test::write_file("linkwatch_host.txt", "host : \"127.0.0.1\"\nport : \"1\"\n");
  test::write_file("linkwatch_email.txt", "token : \"123:abc\"\nchat_id : \"42\"\n");
  test::CommandRecorder commands;
  for (const bool loud : {true, false}) {
    char program[] = "linkwatch", test_arg[] = "-test", silent_arg[] = "-s";
    char* argv[] = {program, loud ? test_arg : silent_arg, loud ? silent_arg : test_arg, nullptr};
    test::OutputCapture capture;
    EXPECT_EQ(run_entry(3, argv), 0);
    set_silent_mode(false);
    EXPECT_EQ(capture.out().find("Sending Telegram alert now") != std::string::npos, loud);
    EXPECT_NE(capture.out().find("\nTest result:\n"), std::string::npos) << "result lines stay";
  }
  EXPECT_EQ(commands.commands().size(), 2u);
}

}  // namespace
}  // namespace lw
