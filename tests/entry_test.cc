#include "app/entry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/about.h"
#include "support/fake_tools.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::WorkDirTest;

struct ProgramResult {
  int rc = -1;
  std::string out;  // standard output and standard error, line ends as "\n"
};

std::string without_carriage_returns(const char* text) {
  std::string out;
  for (const char* p = text; *p; ++p) {
    if (!(p[0] == '\r' && p[1] == '\n')) out += *p;
  }
  return out;
}

// Runs the built program in the current working directory with `program`
// as its first argument-vector element.
ProgramResult run_program(const std::string& program, const std::vector<std::string>& args) {
  std::vector<const char*> argv{program.c_str()};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  Command command;
  command.argv = argv.data();
  std::vector<char> buffer(kCaptureBufferSize);
  ProgramResult result;
  result.rc = run_command_capture(command, buffer.data(), 30000);
  result.out = without_carriage_returns(buffer.data());
  return result;
}

ProgramResult run_linkwatch(const std::vector<std::string>& args) {
  return run_program(test::program_path("linkwatch").string(), args);
}

std::string banner() {
  return std::string("\nLINKWATCH ") + platform::kSystemName + " Version 1.0 from " +
         kMakerAddress + "\n\n";
}

std::string usage(const std::string& program) {
  std::string text = banner() + "Usage:\n";
  for (const char* command :
       {"-start", "-stop", "-status", "-check", "-test", "-s", "-h | --help"}) {
    text += "  " + program + " " + command + "\n";
  }
  return text +
         "\nOptions:\n"
         "  -start        Start in background mode\n"
         "  -stop         Stop running instance\n"
         "  -status       Show running status\n"
         "  -check        Validate config file format\n"
         "  -test         Send test email / Telegram / Teams alert\n"
         "  -s            Silent mode\n"
         "  -h, --help    Show this help\n";
}

const char kNoHostFile[] = "linkwatch_host.txt is not existed\n";

class EntryTest : public WorkDirTest {};

TEST_F(EntryTest, UsageNamesTheProgramAsGivenAndTouchesNoFile) {
  const std::string program = test::program_path("linkwatch").string();
  for (const char* option : {"-h", "--help"}) {
    ProgramResult result = run_program(program, {option});
    EXPECT_EQ(result.rc, 0) << option;
    EXPECT_EQ(result.out, usage(program)) << option;
  }
  EXPECT_TRUE(std::filesystem::is_empty(work_dir()));
}

TEST_F(EntryTest, FirstCommandWinsAndLaterArgumentsAreNotLookedAt) {
  // A pid file naming an ended process: "-status" deletes it and says
  // "not running", "-stop" would say "Unable to open pid".
  const std::string tool = test::program_path("lw_testtool").string();
  ASSERT_EQ(run_program(tool, {"pidfile", "linkwatch.pid"}).rc, 0);
  ProgramResult result = run_linkwatch({"-status", "-stop"});
  EXPECT_EQ(result.rc, 1);
  EXPECT_EQ(result.out, "linkwatch not running\n");
  EXPECT_FALSE(test::file_exists("linkwatch.pid"));

  result = run_linkwatch({"-h", "-status"});
  EXPECT_EQ(result.rc, 0);
  EXPECT_EQ(result.out.substr(0, banner().size() + 7), banner() + "Usage:\n");
}

TEST_F(EntryTest, UnknownArgumentsAreSkippedOnTheWayToACommand) {
  ProgramResult result = run_linkwatch({"-x", "status", "-check", "-status"});
  EXPECT_EQ(result.rc, 1);
  EXPECT_EQ(result.out, std::string("linkwatch from ") + kMakerAddress +
                            "\n\n"
                            "Important: use ':' as separator. '=' is not supported.\n\n"
                            "Checking linkwatch_host.txt ...\n"
                            "File not found: linkwatch_host.txt\n"
                            "FAILED\n\n"
                            "Checking linkwatch_email.txt ...\n"
                            "File not found: linkwatch_email.txt\n"
                            "FAILED\n\n"
                            "Result: FAILED\n");
}

TEST_F(EntryTest, NearMissesAreNoCommandsAndLeadIntoTheRun) {
  // With no host file the run ends at once with the loader's message.
  const std::vector<std::vector<std::string>> cases = {
      {}, {"-STATUS"}, {"/status"}, {"status"}, {"-status "}, {"-S"}, {"-s"}, {"--h"}, {""}};
  for (const auto& args : cases) {
    ProgramResult result = run_linkwatch(args);
    EXPECT_EQ(result.rc, 1) << (args.empty() ? "(none)" : args[0]);
    EXPECT_EQ(result.out, kNoHostFile) << (args.empty() ? "(none)" : args[0]);
  }
  EXPECT_FALSE(test::file_exists("linkwatch.pid"));
}

TEST_F(EntryTest, SilentModeCountsOnlyBeforeTheCommand) {
  test::FakeTools tools;
  ASSERT_TRUE(tools.ok());
  test::write_file("linkwatch_host.txt", "host : \"127.0.0.1\"\nport : \"1\"\n");
  test::write_file("linkwatch_email.txt", "token : \"123:abc\"\nchat_id : \"42\"\n");
  const std::string channel_line = "Sending Telegram alert now .....\n";

  ProgramResult loud = run_linkwatch({"-test", "-s"});
  EXPECT_EQ(loud.rc, 0) << loud.out;
  EXPECT_NE(loud.out.find(channel_line), std::string::npos) << loud.out;

  ProgramResult quiet = run_linkwatch({"-s", "-test"});
  EXPECT_EQ(quiet.rc, 0) << quiet.out;
  EXPECT_EQ(quiet.out.find(channel_line), std::string::npos) << quiet.out;
  // The command's own result lines are not silenced.
  EXPECT_NE(quiet.out.find("\nTest result:\n"), std::string::npos) << quiet.out;
  EXPECT_EQ(tools.calls("curl").size(), 2u);
}

TEST_F(EntryTest, TestCommandNeedsTheHostFile) {
  ProgramResult result = run_linkwatch({"-test"});
  EXPECT_EQ(result.rc, 1);
  EXPECT_EQ(result.out, kNoHostFile);
}

}  // namespace
}  // namespace lw
