#include "config/check.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

// Each file checked as its kind: the result and the exact output; no file is changed.
TEST(CheckTest, ReportsEachFaultyLineAndMissingKey) {
  const std::string hosts = "interval: \"15\"\nfast_retry_interval: \"3\"\nworkers: \"2\"\n",
                    mail = "server: \"s\"\nemail: \"e\"\npassword: \"\"\nto: \"t\"\n";
  const std::tuple<int, std::string, int, std::string> cases[] = {
      {kHostFile, hosts + "host: \"a\"\nport: \"80\"\n", 1, ""},
      {kHostFile, hosts + "recovercount: \"100\"\nrecovercount: \"0\"\nhost: \"a\"\nport: \"80\"\n",
       0, "Line 5: invalid recovercount \"0\" (use 1 to 100)\n"},
      {kHostFile,
       hosts + "remind_minutes: \"0\"\nremind_minutes: \"4\"\nhost: \"a\"\nport: \"80\"\n", 0,
       "Line 5: invalid remind_minutes \"4\" (use 0, or 5 to 10080)\n"},
      {kHostFile,
       hosts + "group_alerts: \"0\"\ngroup_alerts: \"1\"\nnetcheck: \"[::1]:53, 10.0.0.1:53\"\n"
               "netcheck: \"10.0.0.1\"\nhost: \"a\"\nport: \"80\"\n",
       0,
       "Line 5: invalid group_alerts \"1\" (use 0, or 2 to 255)\n"
       "Line 7: invalid netcheck \"10.0.0.1\" (use up to 4 host:port references, separated by "
       "commas)\n"},
      {kHostFile,
       "interval = \"15\"\nfast_retry_interval: 3\nworkers: \"0\"\nworkers: \"51\"\n"
       "host: \"a\"\nport:\"18O80\"\nhost:\"b\"\nport:\"70000\"\nhost:\"c\"\n",
       0,
       "Line 1: '=' is not supported, use ':' instead\n"
       "Line 2: invalid format, expected key : \"value\"\n"
       "Line 3: workers must be greater than 0\nLine 4: workers too high, maximum workers:50\n"
       "Line 6: invalid port \"18O80\" (use 1 to 65535)\n"
       "Line 8: invalid port \"70000\" (use 1 to 65535)\n"
       "Missing key: interval\nMissing key: fast_retry_interval\n"
       "Host #3 missing required key: port\n"},
      {kHostFile,
       hosts + "host:\"::1\"\nport:\"80\"\nfamily:\"6\"\nhost:\"[2001:db8::10]\"\nport:\"80\"\n"
               "host:\"10.0.0.1\"\nport:\"80\"\nfamily:\"4\"\nhost:\"web\"\nfamily:\"any\"\n"
               "port:\"80\"\n",
       1, ""},
      {kHostFile,
       hosts + "host:\"192.168.1.300\"\nport:\"80\"\nhost:\"2001:db8::zz\"\nport:\"80\"\n"
               "host:\"::1\"\nport:\"80\"\nfamily:\"4\"\nhost:\"10.0.0.1\"\nport:\"80\"\n"
               "family:\"6\"\nfamily:\"ipv4\"\nhost:\"010.0.0.1\"\nport:\"80\"\n",
       0,
       "Line 4: host \"192.168.1.300\" is neither an IPv4 nor an IPv6 address\n"
       "Line 6: host \"2001:db8::zz\" is neither an IPv4 nor an IPv6 address\n"
       "Line 10: family \"4\" excludes the IPv6 address of host #3\n"
       "Line 13: family \"6\" excludes the IPv4 address of host #4\n"
       "Line 14: invalid family \"ipv4\" (use 4, 6 or any)\n"
       "Line 15: host \"010.0.0.1\" is neither an IPv4 nor an IPv6 address\n"},
      {kNotifyFile, mail + "token:\"t\"\nchat_id:\"c\"\nworkers:\"0\"\n", 1, ""},  // a host key
      {kNotifyFile, mail + "retry_minutes:\"1440\"\nretry_minutes:\"1441\"\nretry_minutes:\"6O\"\n",
       0,
       "Line 6: invalid retry_minutes \"1441\" (use 0 to 1440)\n"
       "Line 7: invalid retry_minutes \"6O\" (use 0 to 1440)\n"},
      {kNotifyFile, "token:\"t\"\n", 0,
       "Missing key: server\nMissing key: email\nMissing key: password\nMissing key: to\n"
       "Telegram config incomplete: chat_id missing\n"}};
  test::ScopedWorkDir dir;
  for (const auto& [kind, text, result, printed] : cases) {
    SCOPED_TRACE(text.substr(0, 60));
    test::write_file("config.txt", text);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file("config.txt", kind), result);
    EXPECT_EQ(capture.out(), printed);
    EXPECT_EQ(test::read_file("config.txt"), text);
  }
}

}  // namespace
}  // namespace lw
