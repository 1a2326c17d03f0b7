#include "config/notify_config.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

// cacert, ssl_revoke and proxy as curl gets them: absent or empty means curl's own defaults; a
// proxy's login is never shown. (The refusals and their notes: the key-table parity test.)
TEST(NotifyConfigTest, CurlSettingsAbsentValidOrRefused) {
  const struct {
    const char* lines;
    const char *revoke_option, *proxy, *note;
  } cases[] = {
      {"", "", "", nullptr},
      {"ssl_revoke : \"off\"\nproxy : \"http://u:pw@p:3128\"\n", "--ssl-no-revoke",
       "http://u:pw@p:3128", nullptr},
      {"ssl_revoke : \"best-effort\"\n", "--ssl-revoke-best-effort", "", nullptr},
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
