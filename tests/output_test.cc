#include "support/output.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

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

}  // namespace
}  // namespace lw
