#include "config/notify_config.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

// retry_minutes: absent means one try; a value -check refuses counts as 0
// and says so, so a typing error never turns retrying into something else.
TEST(NotifyConfigTest, RetryMinutesAbsentValidOrRefused) {
  const std::tuple<const char*, int, bool> cases[] = {{"", 0, false},
                                                      {"retry_minutes : \"60\"\n", 60, false},
                                                      {"retry_minutes : \"1440\"\n", 1440, false},
                                                      {"retry_minutes : \"1441\"\n", 0, true},
                                                      {"retry_minutes : \"-5\"\n", 0, true},
                                                      {"retry_minutes : \"\"\n", 0, false}};
  for (const auto& [line, minutes, noted] : cases) {
    SCOPED_TRACE(line);
    test::ScopedWorkDir dir;
    test::write_file(kNotifyFileName, std::string("server : \"s\"\n") + line);
    test::OutputCapture capture;
    NotifySettings settings;
    load_notify_config(&settings);
    EXPECT_EQ(settings.retry_minutes, minutes);
    EXPECT_EQ(
        capture.out().find("retry_minutes in linkwatch_email.txt must be") != std::string::npos,
        noted);
  }
}

}  // namespace
}  // namespace lw
