#include "config/check.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "platform/platform.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

// Each file checked as its kind: the result and the exact output; no file is changed. Warnings
// leave the result OK, errors make it FAILED (a number taken as another: ConfigKeysTest).
TEST(CheckTest, ReportsEachFaultyLineAndMissingKey) {
  const std::string hosts = "interval: \"15\"\nfast_retry_interval: \"3\"\nworkers: \"2\"\n",
                    mail = "server: \"s\"\nemail: \"e\"\npassword: \"\"\nto: \"t\"\n",
                    long_comment = "* " + std::string(70000, 'c') + "host: \"ghost\"\n";
  const std::string bad_token =
      ": invalid token (use the bot token from @BotFather: digits, a colon, then letters, "
      "digits, _ and -)\n";
  const std::tuple<int, std::string, int, std::string> cases[] = {
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
       "Host block at line 9: missing key port\n"},
      {kHostFile,
       hosts + "host:\"::1\"\nport:\"80\"\nfamily:\"6\"\nhost:\"[2001:db8::10]\"\nport:\"80\"\n"
               "host:\"10.0.0.1\"\nport:\"80\"\nfamily:\"4\"\nhost:\"web\"\nfamily:\"any\"\n"
               "port:\"80\"\n",
       1, ""},
      {kHostFile,
       hosts + "host:\"192.168.1.300\"\nport:\"80\"\nhost:\"2001:db8::zz\"\nport:\"80\"\n"
               "host:\"::1\"\nport:\"80\"\nfamily:\"4\"\nhost:\"10.0.0.1\"\nport:\"80\"\n"
               "family:\"6\"\nfamily:\"ipv4\"\nhost:\"010.0.0.1.0\"\nport:\"80\"\n"
               "host:\"127.1\"\nport:\"80\"\nfamily:\"6\"\n",
       0,
       "Line 4: host \"192.168.1.300\" is neither an IPv4 nor an IPv6 address\n"
       "Line 6: host \"2001:db8::zz\" is neither an IPv4 nor an IPv6 address\n"
       "Line 10: family \"4\" excludes the IPv6 address of the host at line 8\n"
       "Line 13: family \"6\" excludes the IPv4 address of the host at line 11\n"
       "Line 14: invalid family \"ipv4\" (use 4, 6 or any)\n"
       "Line 15: host \"010.0.0.1.0\" is neither an IPv4 nor an IPv6 address\n"
       "Line 19: family \"6\" excludes the IPv4 address of the host at line 17\n"},
      {kHostFile, hosts + "host: \"a\"\nhost: \"b\"\nport: \"80\"\n", 0,
       "Host block at line 4: missing key port\n"},
      {kHostFile,
       "interval: \"15\"\nfast_retry_interval: \"3\"\nworkers: \"5\"\nhost: \"a.example\"\n"
       "port: \"80\"\nalertcount: \"5\"\ndescription: \"say \"hi\"\"\nportt: \"81\"\n"
       "Host: \"b\"\ncolour: \"red\"\nhost: \"A.Example\"\nport: \"80\"\n" +
           long_comment + "timeoutsec: \"0\"\n",
       1,
       "Warning: config.txt line 7: the value of description holds a '\"'; it ends at the "
       "first one\n"
       "Warning: config.txt line 8: unknown key \"portt\", did you mean \"port\"?\n"
       "Warning: config.txt line 9: key \"Host\" must be written \"host\"; keys are lower case, "
       "this line is ignored\n"
       "Warning: config.txt line 10: unknown key \"colour\", this line is ignored\n"
       "Warning: config.txt line 13: line longer than 8191 characters, cut after them\n"
       "Warning: config.txt line 14: timeoutsec \"0\" will be taken as 10\n"
       "Warning: config.txt: Host block at line 11 has the host and port of the block at line "
       "4; each of its alerts would come twice\n"},
      {kNotifyFile,
       "\xEF\xBB\xBF" + mail + "token:\"1:t\"\nchat_id:\"c\"\nteams_webhok:\"u\"\nworkers:\"0\"\n",
       1,
       "Warning: config.txt line 7: unknown key \"teams_webhok\", did you mean "
       "\"teams_webhook\"?\n"
       "Warning: config.txt line 8: unknown key \"workers\", this line is ignored\n"},
      {kNotifyFile,
       mail + "cacert:\"missing.pem\"\ncacert:\"\"\nssl_revoke:\"best-effort\"\nssl_revoke:\"no\"\n"
              "proxy:\"http://u:pw@p:3128\"\nproxy:\"ftp://u:pw@p\"\nproxy:\"\"\n",
       0,
       "Line 5: cacert file \"missing.pem\" cannot be read\n" +
           std::string(platform::kTlsChecksRevocation
                           ? ""
                           : "Warning: config.txt line 7: ssl_revoke applies to Windows' TLS "
                             "only; it is ignored here\n") +
           "Line 8: invalid ssl_revoke \"no\" (use best-effort or off)\n"
           "Line 10: invalid proxy (use an address like http://host:port)\n"},
      // Recipients: white space around an address is trimmed; a control byte inside one is
      // refused. Tokens: digits, a colon, then letters, digits, _ and -, also protected.
      {kNotifyFile,
       "server: \"s\"\nemail: \"e\"\npassword: \"\"\nto: \"a@x\t, \vb@y\f,\"\n"
       "iamalive: \" a@x , b@y\"\ntoken: \"123456789:AAH-x_y\"\nchat_id: \"42\"\n"
       "token: \"encry(40475A58595B564A4A521E2D2143132818)\"\ntoken: \"\"\n",
       1, ""},
      {kNotifyFile,
       mail + "to: \"a@x, b\r@y\"\niamalive: \"a@x\x7f\"\niamalive: \"a@x,\x1b[2Jb@y\"\n"
              "chat_id: \"42\"\ntoken: \"1:a/b?c#d\"\ntoken: \"123456789\"\ntoken: \":abc\"\n"
              "token: \"1:a b\"\ntoken: \"encry(404F08430E)\"\n",
       0,
       "Line 5: invalid to (an address holds a control character)\n"
       "Line 6: invalid iamalive (an address holds a control character)\n"
       "Line 7: invalid iamalive (an address holds a control character)\n"
       "Line 9" +
           bad_token + "Line 10" + bad_token + "Line 11" + bad_token + "Line 12" + bad_token +
           "Line 13" + bad_token},
      // UTF-16: units that are no character, each on its line (the last one a lone
      // byte after a lone high surrogate), and a line that is too long once converted.
      {kHostFile,
       test::utf16le(
           u"interval: \"15\"\r\nfast_retry_interval: \"3\"\r\nworkers: \"2\"\r\nhost: \"a\"\r\n"
           u"port: \"80\"\r\ndescription: \"\xD800x\xDC00\"\r\n* " +
           std::u16string(4096, u'\u20AC') + u"\r\n* \xD83D") +
           "x",
       1,
       "Warning: config.txt line 6: a unit that is no UTF-16 character (an unpaired surrogate) "
       "is read as U+FFFD\n"
       "Warning: config.txt line 7: line longer than 8191 characters, cut after them\n"
       "Warning: config.txt line 8: a unit that is no UTF-16 character (an unpaired surrogate) "
       "is read as U+FFFD\n"},
      {kHostFile, test::utf16le(u"\x6800\x6f00\x7300\x7400", "\xFE\xFF"), 0,
       "Line 1: the file is saved as UTF-16 big-endian, which is not read; save it as UTF-8 or "
       "as UTF-16 little-endian (Notepad's \"Unicode\")\n"},
      {kNotifyFile, "token:\"1:t\"\n", 0,
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
