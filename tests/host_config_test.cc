#include "config/host_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>

#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

class HostConfigTest : public test::WorkDirTest {
 protected:
  bool load(const std::string& text) {
    test::write_file(kHostFileName, text);
    return load_host_config(&table, &settings);
  }
  // "interval|fast_retry|workers|hosts host|port|description|timeout|alertcount|as written"
  std::string row(int i) const {
    const HostEntry& h = table.hosts[i];
    char buf[1024];
    std::snprintf(buf, sizeof buf, "%s|%d|%d|%d %s|%s|%s|%d|%d|%s", settings.interval.c_str(),
                  settings.fast_retry_interval, settings.workers, table.host_count, h.host.c_str(),
                  h.port.c_str(), h.description.c_str(), h.timeoutsec, h.alertcount,
                  h.alertcount_text.c_str());
    return buf;
  }
  HostTable table;
  MonitorSettings settings;
};

TEST_F(HostConfigTest, HostBlocksTakeTheLinesAfterThem) {
  ASSERT_TRUE(
      load("port: \"1\"\r\ndescription: \"orphan\"\n"  // before the first host: ignored
           "host = \"web.example\"\r\nport : \"8080\" further words\n* host: \"commented\"\n"
           "Host: \"capital\"\ndescription: \"  front end  \" \r\nport: \"8081\"\r\n"
           "host: \"db\"\r\nworkers: \"4\"\ntimeoutsec: \"5\"\nalertcount: \"3\"\r\nhost: \"\"\n"));
  EXPECT_EQ(row(1), "15|3|4|3 web.example|8081|front end|10|30|30");  // the later port wins
  EXPECT_EQ(row(2), "15|3|4|3 db|||5|3|3");   // globals may stand between blocks
  EXPECT_EQ(row(3), "15|3|4|3 |||10|30|30");  // an empty host starts a block
  EXPECT_EQ(row(0), "15|3|4|3 |||0|0|");      // slot 0 takes nothing
}

TEST_F(HostConfigTest, NumbersFallBackClampAndKeepTheirText) {
  const std::pair<std::string, std::string> cases[] = {{"0", "0|3|2|1 h|||10|30|0"},
                                                       {"-3", "-3|3|2|1 h|||10|30|-3"},
                                                       {"51", "51|51|50|1 h|||51|51|51"},
                                                       {"5x", "5x|5|5|1 h|||5|5|5x"}};
  for (const auto& [value, want] : cases) {
    std::string v = "\"" + value + "\"\n";
    ASSERT_TRUE(load("interval:" + v + "workers:" + v + "fast_retry_interval:" + v +
                     "host:\"h\"\ntimeoutsec:" + v + "alertcount:" + v));
    EXPECT_EQ(row(1), want);
  }
}

TEST_F(HostConfigTest, The256thHostStopsReading) {
  std::string text = "interval:\"20\"\n";
  for (int i = 1; i <= 256; ++i) text += "host:\"h" + std::to_string(i) + "\"\nport:\"80\"\n";
  test::OutputCapture capture;
  ASSERT_TRUE(load(text + "interval:\"99\"\n"));
  EXPECT_EQ(capture.out(), "Too many hosts in linkwatch_host.txt\n");
  EXPECT_EQ(row(255), "20|3|2|255 h255|80||10|30|30");
}

}  // namespace
}  // namespace lw
