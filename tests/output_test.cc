#include "support/output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

const std::string kEnd = test::text_line_end();

std::string stamp() {  // the test clock's time as each log line starts with it
  char text[64];
  format_local_time(1700000000, "%Y-%m-%d %H:%M:%S - ", text, sizeof text);
  return text;
}

struct OutputTest : test::WorkDirTest {  // every test of this program uses the test clock
  void SetUp() override {
    set_clock_for_testing([]() -> int64_t { return 1700000000; });
  }
};

TEST_F(OutputTest, LogLinesSilentModeAndARecreatedLog) {
  test::OutputCapture capture;
  set_silent_mode(true);
  console_print("hidden %d\n", 1);
  plain_print("plain %d\n", 2);
  log_event("host %s port %d is %s, %s", "db1", 5432, "DOWN", "100% literal %d");
  set_silent_mode(false);
  console_print("shown %zu|%lld\n", static_cast<size_t>(8190), -1099511627776LL);
  EXPECT_EQ(capture.out(), "plain 2\nshown 8190|-1099511627776\n");
  const std::string logged = stamp() + "host db1 port 5432 is DOWN, 100% literal %d" + kEnd;
  EXPECT_EQ(test::read_file(kLogFileName), logged);
  ASSERT_TRUE(platform::delete_file(kLogFileName));
  log_event("two");
  EXPECT_EQ(test::read_file(kLogFileName), stamp() + "two" + kEnd) << "created again";
}

// A log that cannot be written warns once per outage, not once per event.
TEST_F(OutputTest, AnUnwritableLogWarnsOncePerOutage) {
  test::OutputCapture capture;
  std::string warnings;
  for (int outage = 0; outage < 2; ++outage) {
    log_event("written");  // a good append ends any earlier outage
    ASSERT_TRUE(platform::delete_file(kLogFileName));
    ASSERT_TRUE(std::filesystem::create_directory(kLogFileName));  // a folder in its place
    for (int i = 0; i < 5; ++i) log_event("lost %d", i);
    warnings += "Cannot write log file linkwatch_log.txt: events are not recorded\n";
    EXPECT_EQ(capture.err(), warnings);
    std::filesystem::remove(kLogFileName);
  }
  EXPECT_EQ(capture.out(), "");
}

std::string line(int t, int i) {
  return std::to_string(t) + " " + std::to_string(i) + " " + std::string(40 + t * 13, 'a' + t);
}

TEST_F(OutputTest, ManyThreadsWriteWholeLines) {
  test::OutputCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 150; ++i) console_print("%s\n", line(t, i).c_str());
      for (int i = 0; i < 150; ++i) log_event("%s", line(t, i).c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  auto check = [](const std::string& text, const std::string& prefix, const std::string& end) {
    std::vector<std::string> expected(8), got(8);
    for (int t = 0; t < 8; ++t)
      for (int i = 0; i < 150; ++i) expected[t] += prefix + line(t, i) + end;
    for (size_t pos = 0, stop; (stop = text.find(end, pos)) != text.npos; pos = stop + end.size())
      got.at(text[pos + prefix.size()] - '0') += text.substr(pos, stop + end.size() - pos);
    EXPECT_EQ(got, expected) << "whole lines, in order, none lost";
  };
  check(capture.out(), "", "\n");
  check(test::read_file(kLogFileName), stamp(), kEnd);
}

TEST_F(OutputTest, PrintedLinesSurviveAKilledProcess) {
  const std::string tool = test::program_path("lw_testtool").string();  // killed after printing
  const char* argv[] = {tool.c_str(), "print-then-hang", "console.txt", "2", nullptr};
  EXPECT_EQ(run_command({argv}, 1500), -1) << "the time limit ends it";
  EXPECT_EQ(test::read_file("console.txt"), "line 1 of 2" + kEnd + "line 2 of 2" + kEnd);
}

}  // namespace
}  // namespace lw
