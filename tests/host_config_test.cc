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
  // Loads `text`; "interval|fast_retry|workers|hosts" and per host
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

TEST_F(HostConfigTest, HostBlocksTakeTheLinesAfterThemAndNumbersFallBackOrClamp) {
  const std::pair<std::string, std::string> cases[] = {
      {"port: \"1\"\r\ndescription: \"orphan\"\n"  // before the first host: ignored
       "host = \"web\"\r\nport : \"8080\" more\n* host: \"x\"\nHost: \"x\"\n"
       "description: \"  front end  \" \r\nport: \"8081\"\r\nhost: \"db\"\r\n"
       "workers: \"4\"\ntimeoutsec: \"5\"\nalertcount: \"3\"\r\nhost: \"\"\n",
       "15|3|4|3 web|8081|front end|10|30|30 db|||5|3|3 |||10|30|30"},
      {"interval:\"0\"\nworkers:\"0\"\nfast_retry_interval:\"0\"\nhost:\"h\"\ntimeoutsec:\"0\"\n"
       "alertcount:\"0\"\n",
       "0|3|2|1 h|||10|30|0"},
      {"interval:\"5x\"\nworkers:\"51\"\nfast_retry_interval:\"51\"\nhost:\"h\"\n"
       "timeoutsec:\"51\"\nalertcount:\"51\"\n",
       "5x|51|50|1 h|||51|51|51"}};
  for (const auto& [text, want] : cases) EXPECT_EQ(load(text), want) << text;
}

TEST_F(HostConfigTest, The256thHostStopsReading) {
  std::string text = "interval:\"20\"\n";
  for (int i = 1; i <= 256; ++i) text += "host:\"h" + std::to_string(i) + "\"\nport:\"80\"\n";
  test::OutputCapture capture;
  EXPECT_EQ(load(text + "interval:\"99\"\n").substr(0, 12), "20|3|2|255 h");
  EXPECT_EQ(capture.out(), "Too many hosts in linkwatch_host.txt\n");
  EXPECT_STREQ(table.hosts[255].host.c_str(), "h255");
}

}  // namespace
}  // namespace lw
