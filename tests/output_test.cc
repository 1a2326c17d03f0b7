#include "support/output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

class OutputTest : public test::WorkDirTest {};

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

// Lines printed and logged from many threads at once stay whole and in order.
TEST_F(OutputTest, ManyThreadsWriteWholeLines) {
  test::OutputCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t] {
      const std::string text(40 + t * 13, static_cast<char>('a' + t));
      for (int i = 0; i < 150; ++i) console_print("%d %s\n", t, text.c_str());
      for (int i = 0; i < 150; ++i) log_event("%d %s", t, text.c_str());
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const auto& [text, stamp] :
       {std::pair(capture.out(), 0), {test::read_file(kLogFileName), 22}}) {
    int lines[8] = {};
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (line.ends_with('\r')) line.pop_back();
      line.erase(0, stamp);  // "YYYY-mm-dd HH:MM:SS - "
      const int t = line[0] - '0';
      ASSERT_TRUE(t >= 0 && t < 8) << line;
      EXPECT_EQ(line,
                std::to_string(t) + " " + std::string(40 + t * 13, static_cast<char>('a' + t)));
      ++lines[t];
    }
    for (int count : lines) EXPECT_EQ(count, 150);
  }
}

}  // namespace
}  // namespace lw
