#include "support/output.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::read_file;
using test::text_line_end;

constexpr int64_t kFixedTime = 1700000000;  // a moment in November 2023
int64_t fixed_clock() { return kFixedTime; }

// The log's time text of kFixedTime, built without strftime.
std::string fixed_stamp() {
  std::tm tm{};
  EXPECT_TRUE(platform::local_time(kFixedTime, &tm));
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::vector<std::string> split(const std::string& text, const std::string& end) {
  std::vector<std::string> parts;
  size_t pos = 0;
  for (size_t next; (next = text.find(end, pos)) != std::string::npos; pos = next + end.size()) {
    parts.push_back(text.substr(pos, next - pos));
  }
  EXPECT_EQ(pos, text.size()) << "text does not end with a line end";
  return parts;
}

class OutputTest : public test::WorkDirTest {
 protected:
  void SetUp() override { set_clock_for_testing(fixed_clock); }
  void TearDown() override {
    set_clock_for_testing(nullptr);
    set_silent_mode(false);
  }
};

TEST_F(OutputTest, LogLineFormat) {
  log_event("host %s port %d is %s", "db1", 5432, "DOWN");
  log_event("%s", "100% literal %d");
  log_event("%zu|%lld|%llu", static_cast<size_t>(8190), -1099511627776LL, 18446744073709551615ULL);
  const std::string le = text_line_end();
  EXPECT_EQ(read_file(kLogFileName), fixed_stamp() + " - host db1 port 5432 is DOWN" + le +
                                         fixed_stamp() + " - 100% literal %d" + le + fixed_stamp() +
                                         " - 8190|-1099511627776|18446744073709551615" + le);
}

TEST_F(OutputTest, MultiLineMessageIsWrittenWithOneLineEnd) {
  log_event("first\nsecond\n\tthird");
  const std::string le = text_line_end();
  EXPECT_EQ(read_file(kLogFileName),
            fixed_stamp() + " - first" + le + "second" + le + "\tthird" + le);
}

TEST_F(OutputTest, LogFileIsCreatedAgainAfterDeletion) {
  log_event("one");
  ASSERT_TRUE(platform::delete_file(kLogFileName));
  log_event("two");
  EXPECT_EQ(read_file(kLogFileName), fixed_stamp() + " - two" + text_line_end());
}

TEST_F(OutputTest, UnwritableLogDropsTheEventQuietly) {
  std::filesystem::create_directory(kLogFileName);  // a folder where the file belongs
  test::OutputCapture capture;
  log_event("lost");
  EXPECT_EQ(capture.out(), "");
  EXPECT_EQ(capture.err(), "");
  std::filesystem::remove(kLogFileName);
  log_event("kept");
  EXPECT_EQ(read_file(kLogFileName), fixed_stamp() + " - kept" + text_line_end());
}

TEST_F(OutputTest, SilentModeSuppressesOnlyConsolePrint) {
  test::OutputCapture capture;
  set_silent_mode(true);
  console_print("hidden %d\n", 1);
  plain_print("plain %d\n", 2);
  error_print("error %d\n", 3);
  log_event("logged %d", 4);
  set_silent_mode(false);
  console_print("shown %d\n", 5);
  EXPECT_EQ(capture.out(), "plain 2\nshown 5\n");
  EXPECT_EQ(capture.err(), "error 3\n");
  EXPECT_EQ(read_file(kLogFileName), fixed_stamp() + " - logged 4" + text_line_end());
}

// Lines from many threads stay whole, none is lost, and each thread's lines
// keep their order, on the console and in the log.
TEST_F(OutputTest, ManyThreadsWriteWholeLines) {
  constexpr int kThreads = 8;
  constexpr int kLines = 150;
  test::OutputCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string filler(40 + t * 13, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        console_print("thread %d line %d %s\n", t, i, filler.c_str());
        log_event("thread %d event %d %s", t, i, filler.c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  auto check = [&](const std::vector<std::string>& got, const std::string& prefix,
                   const char* word) {
    ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const std::string& line : got) {
      int t = -1, i = -1;
      char rest[512] = "";
      ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
      std::string format = std::string("thread %d ") + word + " %d %511s";
      ASSERT_EQ(std::sscanf(line.c_str() + prefix.size(), format.c_str(), &t, &i, rest), 3) << line;
      ASSERT_TRUE(t >= 0 && t < kThreads) << line;
      EXPECT_EQ(i, next[t]++) << line;
      EXPECT_EQ(std::string(rest), std::string(40 + t * 13, static_cast<char>('a' + t))) << line;
    }
  };
  check(split(capture.out(), "\n"), "", "line");
  check(split(read_file(kLogFileName), text_line_end()), fixed_stamp() + " - ", "event");
}

// A process that prints and is then ended from outside leaves every line it
// printed in a file that its output was redirected to.
TEST_F(OutputTest, PrintedLinesSurviveAKilledProcess) {
  const std::string tool = test::program_path("lw_testtool").string();
  const char* argv[] = {tool.c_str(), "print-then-hang", "console.txt", "3", nullptr};
  Command command;
  command.argv = argv;
  EXPECT_EQ(run_command(command, 1500), -1) << "the time limit ends it";
  const std::string le = text_line_end();
  EXPECT_EQ(read_file("console.txt"), "line 1 of 3" + le + "line 2 of 3" + le + "line 3 of 3" + le);
}

TEST(TrimTest, RemovesOuterWhiteSpaceOnly) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"  abc \t\r\n", "abc"},
      {" \t\n\v\f\r ", ""},
      {"", ""},
      {"a b\tc", "a b\tc"},
      {"\v x  y \f", "x  y"},
      {"\xA0value\xA0", "\xA0value\xA0"},  // bytes from 0x80 up are text
      {"\x85 x", "\x85 x"},
      {"  \xFF", "\xFF"},
      {"plain", "plain"},
  };
  for (const Case& c : cases) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s", c.in);
    trim_in_place(buffer);
    EXPECT_STREQ(buffer, c.out) << "input [" << c.in << "]";
  }
  trim_in_place(nullptr);  // nothing happens
}

}  // namespace
}  // namespace lw
