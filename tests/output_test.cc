#include "support/output.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

class OutputTest : public test::WorkDirTest {};

// Under a full disk (or any failed append: PlatformFileTest.AppendsAreWholeOrNotAtAll) a log
// line is dropped whole and reported once per outage; the next line that fits stands whole.
TEST_F(OutputTest, AFullDiskDropsWholeLinesOnly) {
  test::ScopedEnvironment env;
  env.set_clock([] { return int64_t{1772359200}; });  // one stamp for all
  test::OutputCapture capture;
  log_event("first");
  const std::string end = platform::kTextLineEnd;
  const std::string stamp = test::read_file(kLogFileName).substr(0, 22);  // "... HH:MM:SS - "
  const std::string warning = "Cannot write log file linkwatch_log.txt: events are not recorded\n";
  enum Room { kNoLimit, kOneShort, kFull, kExact, kFewBytes };  // against the step's line
  const struct {
    const char* text;
    Room room;
    bool stored;
    bool warned;  // a new outage
  } steps[] = {{"too long by one", kOneShort, false, true},
               {"nothing fits", kFull, false, false},
               {"fits\nexactly", kExact, true, false},
               {"lost again", kFewBytes, false, true},
               {"last", kNoLimit, true, false}};
  std::string expected = stamp + "first" + end;
  std::string warnings;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.text);
    std::string line = stamp + step.text + end;
    const size_t inner = line.find('\n');
    if (inner < line.size() - end.size()) line.replace(inner, 1, end);
    const int64_t size = static_cast<int64_t>(line.size());
    const int64_t rooms[] = {-1, size - 1, 0, size, 2};
    platform::set_disk_space_for_testing(rooms[step.room]);
    log_event("%s", step.text);
    if (step.stored) expected += line;
    if (step.warned) warnings += warning;
    EXPECT_EQ(test::read_file(kLogFileName), expected);
    EXPECT_EQ(capture.err(), warnings);
  }
  platform::set_disk_space_for_testing(-1);
  EXPECT_EQ(capture.out(), "");
}

}  // namespace
}  // namespace lw
