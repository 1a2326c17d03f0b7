#include "config/host_config.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <tuple>
#include <utility>

#include "config/host_form.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

class HostConfigTest : public test::WorkDirTest {
 protected:
  // Loads `text`: "interval|fast_retry|workers|hosts", then per host
  // " host|port|description|timeout|alertcount|as written".
  std::string load(const std::string& text) {
    test::write_file(kHostFileName, text);
    std::string rows = load_host_config(&table, &settings) ? "" : "failed ";
    rows += std::string(settings.interval.c_str()) + "|" +
            std::to_string(settings.fast_retry_interval) + "|" + std::to_string(settings.workers) +
            "|" + std::to_string(table.host_count);
    for (int i = 1; i <= table.host_count && i < 4; ++i) {
      const HostEntry& h = table.hosts[i];
      rows += std::string(" ") + h.host.c_str() + "|" + h.port.c_str() + "|" +
              h.description.c_str() + "|" + std::to_string(h.timeoutsec) + "|" +
              std::to_string(h.alertcount) + "|" + h.alertcount_text.c_str();
    }
    return rows;
  }
  HostTable table;
  MonitorSettings settings;
};

// Settings before the first host are ignored, globals may stand between blocks, an empty host
// starts a block; numbers fall back or are clamped. A UTF-16 file arrives as UTF-8, the rest of an
// over-long line is no line of its own (a byte order mark, UTF-8: CheckTest, on the same reader).
TEST_F(HostConfigTest, HostBlocksAsEditorsWriteThem) {
  const std::pair<std::string, std::string> cases[] = {
      {"port: \"1\"\r\ndescription: \"orphan\"\n"
       "host = \"web\"\r\nport : \"8080\" more\n* host: \"x\"\nHost: \"x\"\n"
       "description: \"  front end  \" \r\nport: \"8081\"\r\nhost: \"db\"\r\n"
       "workers: \"51\"\nfast_retry_interval: \"0\"\ntimeoutsec: \"51\"\n"
       "alertcount: \"0\"\r\nhost: \"\"\ntimeoutsec: \"5x\"\n",
       "15|3|50|3 web|8081|front end|10|30|30 db|||51|30|0 |||5|30|30"},
      {test::utf16le(u"interval: \"20\"\r\n* " + std::u16string(5000, u'\u00E9') +
                     u"host: \"ghost\"\r\nhost: \"a\"\r\nport: \"80\"\r\n"
                     u"description: \"B\u00FCro \U0001F600\"\r\nhost:\"b\"\r\nport:\"81\""),
       "20|3|2|2 a|80|B\u00FCro \U0001F600|10|30|30 b|81||10|30|30"}};
  for (const auto& [text, rows] : cases) EXPECT_EQ(load(text), rows);
}

// netcheck: what a reference list gives, and what makes it unusable.
TEST(NetcheckTest, ReferencesAndRefusedLists) {
  const std::pair<const char*, const char*> usable[] = {
      {"", ""},
      {" 192.168.1.1:53 ,dns.example:853,[::1]:53", "192.168.1.1 53|dns.example 853|::1 53|"},
      {"a:1,b:2,c:3,d:4", "a 1|b 2|c 3|d 4|"}};
  for (const auto& [text, refs] : usable) {
    NetReference parsed[kMaxNetReferences];
    int32_t count = -1;
    EXPECT_TRUE(parse_netcheck(text, parsed, &count)) << text;
    std::string got;
    for (int i = 0; i < count; ++i)
      got += std::string(parsed[i].host.c_str()) + " " + std::to_string(parsed[i].port) + "|";
    EXPECT_EQ(got, refs) << text;
  }
  for (const char* text :
       {"a:1,b:2,c:3,d:4,e:5", "a:1,", "10.0.0.1", ":53", "::1:53", "[]:53", "a:0"}) {
    NetReference parsed[kMaxNetReferences];
    int32_t count = -1;
    EXPECT_FALSE(parse_netcheck(text, parsed, &count)) << text;
    EXPECT_LE(count, 0) << text;
  }
}

// The forms the system resolver reads as an IPv4 address (short, single-number, octal and hex
// parts) are that address; digits and dots that it reads as none are none ("[::1]": below).
TEST(HostFormTest, TextsTheResolverReadsAsIPv4AreThatAddress) {
  const std::pair<const char*, const char*> ipv4[] = {
      {"192.0.2.10", "192.0.2.10"}, {"127.1", "127.0.0.1"},
      {"127.0.1", "127.0.0.1"},     {"2130706433", "127.0.0.1"},
      {"0x7f000001", "127.0.0.1"},  {"0X7F.1", "127.0.0.1"},
      {"0177.0.0.1", "127.0.0.1"},  {"010.0.0.1", "8.0.0.1"},
      {"10.65535", "10.0.255.255"}, {"0", "0.0.0.0"}};
  FixedText<64> literal;
  for (const auto& [text, address] : ipv4) {
    EXPECT_EQ(classify_host(text, &literal), HostForm::kIPv4) << text;
    EXPECT_STREQ(literal.c_str(), address) << text;
  }
  for (const char* text : {"192.168.1.300", "08.0.0.1", "1.2.3.4.5", "4294967296", "1.2.3."}) {
    EXPECT_EQ(classify_host(text, &literal), HostForm::kNotAnAddress) << text;
    EXPECT_STREQ(literal.c_str(), "") << text;
  }
  for (const char* text : {"0x1g", "1e100.net", "deadbeef.cafe", "0xdead.beef"}) {
    EXPECT_EQ(classify_host(text, &literal), HostForm::kName) << text;
    EXPECT_STREQ(literal.c_str(), "") << text;
  }
}

// The loader parses each port and classifies each host from the texts as stored: a port cut
// to its field names no port, no port line is port 0, a short IPv4 form keeps its address.
TEST_F(HostConfigTest, PortAndFormFollowTheStoredTexts) {
  // host, port line (null: none), then port_number, form and literal.
  const std::tuple<const char*, const char*, int, HostForm, const char*> cases[] = {
      {"web.example", "8080", 8080, HostForm::kName, ""},
      {"127.1", "0080", 80, HostForm::kIPv4, "127.0.0.1"},
      {"[::1]", "65535", 65535, HostForm::kIPv6, "::1"},
      {"2130706433", "65536", 0, HostForm::kIPv4, "127.0.0.1"},
      {"1.2.3.", "18O80", 0, HostForm::kNotAnAddress, ""},
      {"db", "0000000000080", 80, HostForm::kName, ""},
      {"db", "000000000000000080", 0, HostForm::kName, ""},  // stored as 15 zeros
      {"10.0.0.1", nullptr, 0, HostForm::kIPv4, "10.0.0.1"},
  };
  std::string text;
  for (const auto& [host, port, number, form, literal] : cases) {
    text += std::string("host: \"") + host + "\"\n";
    if (port) text += std::string("port: \"") + port + "\"\n";
  }
  test::OutputCapture capture;  // the refused ports' notes
  load(text);
  ASSERT_EQ(table.host_count, static_cast<int>(std::size(cases)));
  int i = 0;
  for (const auto& [host, port, number, form, literal] : cases) {
    const HostEntry& h = table.hosts[++i];
    SCOPED_TRACE(std::string(host) + ":" + (port ? port : "(none)"));
    EXPECT_EQ(h.port_number, number);
    EXPECT_EQ(h.form, form);
    EXPECT_STREQ(h.literal.c_str(), literal);
  }
}

// The resolver's and the alert state's fields of a slot, as one text.
std::string run_fields(const HostEntry& h) {
  std::string text = std::string(h.resolved_ip.c_str()) + "|" + std::to_string(h.resolve_state) +
                     "|" + std::to_string(h.address_count) + "|" + std::to_string(h.resolved_at);
  for (const auto& address : h.addresses) text += std::string("|") + address.c_str();
  for (const int64_t n :
       {int64_t{h.fail_count}, int64_t{h.alert_sent}, h.first_fail_time, h.last_fail_time,
        int64_t{h.recover_streak}, h.down_since, h.last_reminder}) {
    text += "|" + std::to_string(n);
  }
  return text;
}

// Reading the file again starts every slot afresh: no address or alert state stays, in a slot
// used again or not, and a slot no longer used has no host, port or form left.
TEST_F(HostConfigTest, ReadingAgainClearsAddressesAndState) {
  load("host: \"127.1\"\nport: \"80\"\nhost: \"::1\"\nport: \"81\"\n");
  for (int i = 1; i <= 3; ++i) {
    HostEntry& h = table.hosts[i];
    h.resolved_ip.assign("10.9.9.9");
    h.resolve_state = kResolved;
    h.address_count = 1;
    h.addresses[kMaxHostAddresses - 1].assign("10.9.9.9");
    h.resolved_at = h.first_fail_time = h.last_fail_time = h.down_since = h.last_reminder = 7;
    h.fail_count = h.alert_sent = h.recover_streak = 1;
  }
  const std::string cleared = run_fields(HostEntry{});
  load("host: \"web\"\nport: \"8080\"\n");
  ASSERT_EQ(table.host_count, 1);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(run_fields(table.hosts[i]), cleared) << i;
  const HostEntry& gone = table.hosts[2];
  EXPECT_TRUE(gone.host.empty() && gone.port.empty() && gone.literal.empty());
  EXPECT_EQ(gone.port_number, 0);
  EXPECT_EQ(gone.form, HostForm::kName);
}

TEST_F(HostConfigTest, The256thHostStopsReading) {
  std::string text = "interval:\"20\"\n";
  for (int i = 1; i <= 256; ++i) text += "host:\"h" + std::to_string(i) + "\"\nport:\"80\"\n";
  test::OutputCapture capture;
  EXPECT_EQ(load(text + "interval:\"99\"\n").substr(0, 12), "20|3|2|255 h");
  EXPECT_EQ(capture.out(), "Too many hosts in linkwatch_host.txt\n");
}

}  // namespace
}  // namespace lw
