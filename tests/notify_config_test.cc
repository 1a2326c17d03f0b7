#include "config/notify_config.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/platform.h"
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

// cacert, ssl_revoke and proxy: absent or empty means curl's own defaults; a value that would
// only break every send is not used, and says so without showing the proxy (it may hold a login).
TEST(NotifyConfigTest, CurlSettingsAbsentValidOrRefused) {
  const struct {
    const char* lines;
    const char *revoke_option, *proxy, *note;
  } cases[] = {
      {"", "", "", nullptr},
      {"ssl_revoke : \"off\"\nproxy : \"http://u:pw@p:3128\"\n", "--ssl-no-revoke",
       "http://u:pw@p:3128", nullptr},
      {"ssl_revoke : \"best-effort\"\n", "--ssl-revoke-best-effort", "", nullptr},
      {"ssl_revoke : \"Off\"\n", "", "", "ssl_revoke in linkwatch_email.txt must be best-effort"},
      {"proxy : \"p:3128\"\n", "", "", "proxy in linkwatch_email.txt must be an address"},
      {"cacert : \"none.pem\"\n", "", "",
       "cacert \"none.pem\" in linkwatch_email.txt cannot be read"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    test::ScopedWorkDir dir;
    test::write_file(kNotifyFileName, std::string("server : \"s\"\n") + c.lines);
    test::OutputCapture capture;
    NotifySettings settings;
    load_notify_config(&settings);
    const CurlSettings curl = curl_settings(settings);
    EXPECT_STREQ(curl.revoke_option, platform::kTlsChecksRevocation ? c.revoke_option : "");
    EXPECT_STREQ(curl.proxy, c.proxy);
    EXPECT_EQ(capture.out().find(c.note ? c.note : " in linkwatch_email.txt") != std::string::npos,
              c.note != nullptr)
        << capture.out();
    EXPECT_EQ(capture.out().find("u:pw"), std::string::npos);
  }
}

}  // namespace
}  // namespace lw
