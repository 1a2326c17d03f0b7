#include "config/host_config.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>

#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

using test::OutputCapture;
using test::write_file;

bool parse(const std::string& text, ConfigLine* out) {
  return parse_config_line(text.c_str(), out);
}

TEST(ParseConfigLineTest, SeparatorsQuotesAndTrimming) {
  ConfigLine line;
  ASSERT_TRUE(parse("  port\t :  junk \" 8080 \" trailing words \"x\"\n", &line));
  EXPECT_STREQ(line.key.c_str(), "port");
  EXPECT_STREQ(line.value.c_str(), "8080");

  // "=" serves only in a line without any ":".
  ASSERT_TRUE(parse("host = \"10.0.0.1\"", &line));
  EXPECT_STREQ(line.key.c_str(), "host");
  EXPECT_FALSE(parse("host = \"a:b\"", &line));  // splits inside the value
  ASSERT_TRUE(parse("password: \"x=y\"", &line));
  EXPECT_STREQ(line.key.c_str(), "password");
  EXPECT_STREQ(line.value.c_str(), "x=y");

  // An empty value is a setting; a quote before the separator is no value.
  ASSERT_TRUE(parse("interval:\"\"", &line));
  EXPECT_STREQ(line.value.c_str(), "");
  EXPECT_FALSE(parse("\"a\" host: b", &line));

  EXPECT_FALSE(parse("", &line));
  EXPECT_FALSE(parse(" \t\r\n\v\f", &line));
  EXPECT_FALSE(parse("  * host: \"a\"", &line));
  EXPECT_FALSE(parse("host \"a\"", &line));     // no separator
  EXPECT_FALSE(parse("  : \"a\"", &line));      // empty key
  EXPECT_FALSE(parse("host: a", &line));        // no opening quote
  EXPECT_FALSE(parse("host: \"a\r\n", &line));  // no closing quote
  ASSERT_TRUE(parse("# host: \"a\"", &line));   // "#" is no comment here
  EXPECT_STREQ(line.key.c_str(), "# host");
}

TEST(ParseConfigLineTest, CutsKeyAndValue) {
  ConfigLine line;
  ASSERT_TRUE(parse(std::string(200, 'k') + ": \"v\"", &line));
  EXPECT_EQ(line.key.size(), 127u);
  ASSERT_TRUE(parse("k: \"" + std::string(9000, 'v') + "\"", &line));
  EXPECT_EQ(line.value.size(), 8191u);
  // Bytes above 127 are no white space: a byte order mark stays in the key.
  ASSERT_TRUE(parse("\xEF\xBB\xBFhost: \"a\"", &line));
  EXPECT_STREQ(line.key.c_str(), "\xEF\xBB\xBFhost");
}

class HostConfigTest : public test::WorkDirTest {
 protected:
  bool load(const std::string& text) {
    write_file(kHostFileName, text);
    return load_host_config(table.get(), &settings);
  }
  const HostEntry& host(int i) const { return table->hosts[i]; }

  std::unique_ptr<HostTable> table = std::make_unique<HostTable>();
  MonitorSettings settings;
};

TEST_F(HostConfigTest, MissingFileReportsAndFails) {
  OutputCapture capture;
  EXPECT_FALSE(load_host_config(table.get(), &settings));
  EXPECT_EQ(capture.out(), "linkwatch_host.txt is not existed\n");
}

TEST_F(HostConfigTest, EveryLoadStartsFromDefaults) {
  ASSERT_TRUE(
      load("interval:\"60\"\nworkers:\"7\"\nfast_retry_interval:\"9\"\nhost:\"a\"\n"
           "host:\"b\"\nport:\"1\"\n"));
  ASSERT_EQ(table->host_count, 2);

  ASSERT_TRUE(load(""));
  EXPECT_EQ(table->host_count, 0);
  EXPECT_STREQ(settings.interval.c_str(), "15");
  EXPECT_EQ(settings.fast_retry_interval, 3);
  EXPECT_EQ(settings.workers, 2);
  EXPECT_STREQ(host(1).host.c_str(), "");
  EXPECT_STREQ(host(2).port.c_str(), "");
}

TEST_F(HostConfigTest, HostBlocksAndLineRules) {
  OutputCapture capture;
  ASSERT_TRUE(
      load("\xEF\xBB\xBFinterval: \"99\"\n"  // the mark spoils this key
           "port: \"1\"\n"                   // before the first host: ignored
           "description: \"orphan\"\n"
           "host = \"web.example\"\n"
           "port : \"8080\" further words\n"
           "* host: \"commented\"\n"
           "Host: \"capital\"\n"
           "host = \"with:colon\"\n"
           "description: \"  front end  \"\n"
           "port: \"8081\"\n"
           "host: \"db.example\"\n"
           "workers: \"4\"\n"  // a global key between blocks
           "timeoutsec: \"5\"\n"
           "alertcount: \"3\"\n"
           "host: \"\"\n"));
  EXPECT_EQ(capture.out(), "");
  ASSERT_EQ(table->host_count, 3);
  EXPECT_STREQ(settings.interval.c_str(), "15");
  EXPECT_EQ(settings.workers, 4);

  EXPECT_STREQ(host(1).host.c_str(), "web.example");
  EXPECT_STREQ(host(1).port.c_str(), "8081");  // the later line wins
  EXPECT_STREQ(host(1).description.c_str(), "front end");
  EXPECT_EQ(host(1).timeoutsec, 10);
  EXPECT_EQ(host(1).alertcount, 30);
  EXPECT_STREQ(host(1).alertcount_text.c_str(), "30");

  EXPECT_STREQ(host(2).host.c_str(), "db.example");
  EXPECT_STREQ(host(2).port.c_str(), "");
  EXPECT_STREQ(host(2).description.c_str(), "");
  EXPECT_EQ(host(2).timeoutsec, 5);
  EXPECT_EQ(host(2).alertcount, 3);
  EXPECT_STREQ(host(2).alertcount_text.c_str(), "3");

  EXPECT_STREQ(host(3).host.c_str(), "");  // an empty host still starts a block
  EXPECT_EQ(host(3).alertcount, 30);
  EXPECT_EQ(host(3).resolve_state, kNotResolved);
  EXPECT_EQ(host(3).fail_count, 0);
}

TEST_F(HostConfigTest, NumbersFallBackAndClamp) {
  struct Case {
    const char* value;
    int workers, fast_retry, timeout, alertcount;
  } cases[] = {
      {"0", 2, 3, 10, 30},
      {"-3", 2, 3, 10, 30},
      {"abc", 2, 3, 10, 30},
      {"51", 50, 51, 51, 51},
      {"50", 50, 50, 50, 50},
      {"+5x", 5, 5, 5, 5},
      {"99999999999", 50, INT_MAX, INT_MAX, INT_MAX},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    std::string v = c.value;
    ASSERT_TRUE(load("workers:\"" + v + "\"\nfast_retry_interval:\"" + v + "\"\nhost:\"h\"\n" +
                     "timeoutsec:\"" + v + "\"\nalertcount:\"" + v + "\"\n"));
    EXPECT_EQ(settings.workers, c.workers);
    EXPECT_EQ(settings.fast_retry_interval, c.fast_retry);
    EXPECT_EQ(host(1).timeoutsec, c.timeout);
    EXPECT_EQ(host(1).alertcount, c.alertcount);
    EXPECT_STREQ(host(1).alertcount_text.c_str(), v.substr(0, 15).c_str());
  }
}

TEST_F(HostConfigTest, IntervalIsTextAndIgnoresEmptyValues) {
  ASSERT_TRUE(load("interval:\"40\"\ninterval:\"\"\n"));
  EXPECT_STREQ(settings.interval.c_str(), "40");
  ASSERT_TRUE(load("interval:\"\"\n"));
  EXPECT_STREQ(settings.interval.c_str(), "15");
  ASSERT_TRUE(load("interval:\"0\"\n"));
  EXPECT_STREQ(settings.interval.c_str(), "0");
  ASSERT_TRUE(load("interval:\"12345678901234567890\"\n"));
  EXPECT_STREQ(settings.interval.c_str(), "123456789012345");
}

TEST_F(HostConfigTest, LongValuesAreCut) {
  std::string name(200, 'n');
  ASSERT_TRUE(load("host:\"" + name + "\"\nport:\"1234567890123456789\"\ndescription:\"" +
                   std::string(300, 'd') + "\"\nalertcount:\"7" + std::string(20, '0') + "\"\n"));
  EXPECT_EQ(std::string(host(1).host.c_str()), name.substr(0, 127));
  EXPECT_STREQ(host(1).port.c_str(), "123456789012345");
  EXPECT_EQ(host(1).description.size(), 127u);
  EXPECT_EQ(host(1).alertcount, INT_MAX);
  EXPECT_EQ(host(1).alertcount_text.size(), 15u);
}

TEST_F(HostConfigTest, LongLinesAreReadInPiecesOf8191) {
  // A commented line of exactly 8191 characters: its line end is a blank
  // piece of its own, and the next line is read normally.
  std::string text = std::string(8191, '*') + "\nhost:\"first\"\n";
  // 8191 characters of comment, then a setting on the same physical line:
  // the second piece is a line of its own and starts a host.
  text += "*" + std::string(8190, ' ') + "host:\"pieced\"\n";
  // A value whose closing quote falls into the next piece is lost.
  text += "description:\"" + std::string(8200, 'd') + "\"\n";
  // A setting padded to exactly 8191 characters is read whole.
  std::string port_line = "port:\"9\"";
  text += port_line + std::string(8191 - port_line.size(), ' ') + "\n";
  ASSERT_TRUE(load(text));
  ASSERT_EQ(table->host_count, 2);
  EXPECT_STREQ(host(1).host.c_str(), "first");
  EXPECT_STREQ(host(2).host.c_str(), "pieced");
  EXPECT_STREQ(host(2).description.c_str(), "");
  EXPECT_STREQ(host(2).port.c_str(), "9");
}

TEST_F(HostConfigTest, The256thHostStopsReading) {
  std::string text = "interval:\"20\"\n";
  for (int i = 1; i <= 256; ++i) text += "host:\"h" + std::to_string(i) + "\"\nport:\"80\"\n";
  text += "interval:\"99\"\n";
  OutputCapture capture;
  ASSERT_TRUE(load(text));
  EXPECT_EQ(capture.out(), "Too many hosts in linkwatch_host.txt\n");
  EXPECT_EQ(table->host_count, 255);
  EXPECT_STREQ(host(255).host.c_str(), "h255");
  EXPECT_STREQ(host(255).port.c_str(), "80");
  EXPECT_STREQ(host(0).host.c_str(), "");  // slot 0 stays unused
  EXPECT_STREQ(settings.interval.c_str(), "20");
}

TEST_F(HostConfigTest, CarriageReturnLineEndsLeaveNoTrace) {
  ASSERT_TRUE(
      load("interval : \"30\"\r\nhost:\"a\"\r\nport: \"22\"\r\ndescription:\"x\" \r\n"
           "alertcount:\"4\"\r\n"));
  EXPECT_STREQ(settings.interval.c_str(), "30");
  ASSERT_EQ(table->host_count, 1);
  EXPECT_STREQ(host(1).host.c_str(), "a");
  EXPECT_STREQ(host(1).port.c_str(), "22");
  EXPECT_STREQ(host(1).description.c_str(), "x");
  EXPECT_STREQ(host(1).alertcount_text.c_str(), "4");
}

}  // namespace
}  // namespace lw
