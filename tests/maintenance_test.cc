#include "config/maintenance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "config/check.h"
#include "config/host_config.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

// What is read back of each list of windows; "-": refused as a whole.
TEST(MaintenanceWindowTest, TextsReadAndRefused) {
  const std::pair<std::string, const char*> read[] = {
      {"Sun 02:00-04:00", "Sun 02:00-04:00"},
      {"  mon,WED\t22:00-02:00 ", "Mon,Wed 22:00-02:00"},
      {"Sat,Sun 00:00-24:00", "Sun,Sat 00:00-24:00"},
      {"daily 03:00-03:30;first Tue 20:00-23:00", "daily 03:00-03:30; first Tue 20:00-23:00"},
      {"last  Sun 23:30-00:30", "last Sun 23:30-00:30"},
      {"  ", ""}};
  const std::string refused =
      "Sun|Sunday 02:00-04:00|Sun 2:00-04:00|Sun 02:00-02:00|Sun 24:00-01:00|Sun 02:00-24:01|"
      "Sun 02:60-03:00|Sun,Sun 01:00-02:00|Sun, Mon 01:00-02:00|first Tue,Wed 01:00-02:00|"
      "second Tue 01:00-02:00|first daily 01:00-02:00|daily03:00-04:00|Sun 02:00-04:00 x|"
      "Sun 02:00 - 04:00|Sun 02:00-04:00;|; Sun 02:00-04:00|Sun 02:00-04:00;; daily 03:00-03:30|"
      "Sun 02:00-04:00; Mon";
  std::vector<std::pair<std::string, const char*>> cases(std::begin(read), std::end(read));
  for (size_t at = 0, end = 0; at < refused.size(); at = end + 1) {
    end = std::min(refused.find('|', at), refused.size());
    cases.emplace_back(refused.substr(at, end - at), "-");
  }
  for (const auto& [text, expected] : cases) {
    MaintenanceWindow w[kMaxGlobalWindows];
    int32_t count = 99;
    std::string back = parse_maintenance_list(text.c_str(), w, &count) ? "" : "-";
    for (int i = 0; i < count; ++i) {
      FixedText<64> one;
      format_maintenance_window(w[i], &one);
      back += (i ? "; " : "") + std::string(one.c_str());
    }
    EXPECT_EQ(back, expected) << text;
  }
  std::string most;
  for (int i = 0; i < kMaxGlobalWindows; ++i) most += "daily 01:00-02:00;";
  MaintenanceWindow w[kMaxGlobalWindows];
  int32_t count = 0;
  EXPECT_TRUE(parse_maintenance_list(most.substr(0, most.size() - 1).c_str(), w, &count));
  EXPECT_EQ(count, kMaxGlobalWindows);
  EXPECT_FALSE(parse_maintenance_list((most + "daily 01:00-02:00").c_str(), w, &count));
}

constexpr int kSun = 0, kMon = 1, kTue = 2, kWed = 3, kThu = 4;

int at(int h, int m) { return h * 60 + m; }

// A window past midnight belongs to the day it starts on, across a month's end too.
TEST(MaintenanceWindowTest, WhenAWindowHolds) {
  // Window; weekday, day, days in the month and in the month before, minute; holds.
  const std::tuple<const char*, LocalMoment, bool> cases[] = {
      {"Sun 02:00-04:00", {kSun, 10, 31, 30, at(2, 0)}, true},
      {"Sun 02:00-04:00", {kSun, 10, 31, 30, at(1, 59)}, false},
      {"Sun 02:00-04:00", {kSun, 10, 31, 30, at(4, 0)}, false},
      {"Mon,Wed 22:00-02:00", {kMon, 11, 31, 30, at(23, 0)}, true},
      {"Mon,Wed 22:00-02:00", {kTue, 12, 31, 30, at(0, 0)}, true},
      {"Mon,Wed 22:00-02:00", {kTue, 12, 31, 30, at(2, 0)}, false},
      {"Mon,Wed 22:00-02:00", {kTue, 12, 31, 30, at(22, 30)}, false},
      {"Mon,Wed 22:00-02:00", {kThu, 14, 31, 30, at(0, 30)}, true},
      {"Mon,Wed 22:00-02:00", {kMon, 11, 31, 30, at(1, 0)}, false},
      {"daily 03:00-03:30", {kSun, 1, 28, 31, at(3, 29)}, true},
      {"daily 23:00-01:00", {kSun, 1, 28, 31, at(0, 30)}, true},
      {"Sun 00:00-24:00", {kSun, 5, 30, 31, at(23, 59)}, true},
      {"Sun 00:00-24:00", {kMon, 6, 30, 31, at(0, 0)}, false},
      {"first Tue 20:00-23:00", {kTue, 7, 30, 31, at(21, 0)}, true},
      {"first Tue 20:00-23:00", {kTue, 8, 30, 31, at(21, 0)}, false},
      {"first Tue 22:00-02:00", {kWed, 8, 30, 31, at(1, 0)}, true},
      {"first Tue 22:00-02:00", {kWed, 1, 30, 31, at(1, 0)}, false},
      {"last Sun 20:00-23:00", {kSun, 24, 31, 30, at(21, 0)}, false},
      {"last Sun 20:00-23:00", {kSun, 25, 31, 30, at(21, 0)}, true},
      {"last Sun 20:00-23:00", {kSun, 22, 28, 31, at(21, 0)}, true},
      {"last Sun 23:00-01:00", {kMon, 1, 30, 31, at(0, 30)}, true},
      {"last Sun 23:00-01:00", {kMon, 25, 30, 31, at(0, 30)}, true},
      {"last Sun 23:00-01:00", {kMon, 23, 30, 31, at(0, 30)}, false},
  };
  for (const auto& [window, moment, holds] : cases) {
    MaintenanceWindow w;
    ASSERT_TRUE(parse_maintenance_window(window, &w)) << window;
    EXPECT_EQ(window_holds(w, moment), holds)
        << window << " on day " << moment.day << " at minute " << moment.minute;
  }
}

// Lines before the first block hold for every host, block lines for their host; the loader
// drops windows beyond a host's room with a note, -check fails them.
class MaintenanceKeyTest : public test::WorkDirTest {};
TEST_F(MaintenanceKeyTest, GlobalAndHostWindowsAndTheirRoom) {
  const std::string four = "maintenance:\"daily 01:00-02:00; Sun 01:00-02:00; Mon 01:00-02:00\"\n";
  const std::string text =
      "maintenance:\"Sun 02:00-04:00\"\nmaintenance:\"daily 03:00-03:30; first Tue 20:00-23:00\"\n"
      "host:\"a.example\"\nport:\"80\"\nmaintenance:\"Mon,Wed 22:00-02:00\"\n"
      "host:\"b.example\"\nport:\"81\"\n" +
      four + four;
  test::write_file(kHostFileName, text);
  auto table = std::make_unique<HostTable>();
  MonitorSettings settings;
  test::OutputCapture capture;
  ASSERT_TRUE(load_host_config(table.get(), &settings));
  EXPECT_EQ(settings.maintenance.count, 3);
  EXPECT_EQ(table->hosts[1].maintenance.count, 1);
  EXPECT_EQ(table->hosts[2].maintenance.count, kMaxHostWindows);
  EXPECT_EQ(check_config_file(kHostFileName, kHostFile), 0);
  const std::string out = capture.out();
  EXPECT_NE(out.find("more than 4 maintenance windows for host b.example"), std::string::npos);
  EXPECT_NE(out.find("Line 9: more than 4 maintenance windows in one host block"),
            std::string::npos)
      << out;
}

}  // namespace
}  // namespace lw
