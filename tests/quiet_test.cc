#include "app/quiet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "app/monitor.h"
#include "config/mute_file.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr int64_t kNow = 1765000000;
int64_t g_now = kNow;

// Mute lines read (1), skipped (0) or refused (-1) and written back; the hosts a target covers
// (target, host, port); -mute's durations (-1: refused).
TEST(MuteFileTest, LinesTargetsAndDurations) {
  std::vector<std::tuple<std::string, int, const char*>> lines = {
      {"web01:443 1765003600 deploy of the shop\n", 1, "web01:443 1765003600 deploy of the shop"},
      {"  all\t1765003600\r\n", 1, "all 1765003600"},
      {"[2001:db8::1]:53 1 x", 1, "[2001:db8::1]:53 1 x"},
      {"2001:db8::1 5", 1, "2001:db8::1 5"},
      {"# comment", 0, ""},
      {"   \n", 0, ""}};
  const std::string refused = "web01:0 1|web01:https 1|:443 1|[::1] 1|web01|web01 soon|web01 17x";
  for (size_t at = 0, end = 0; at < refused.size(); at = end + 1) {
    end = std::min(refused.find('|', at), refused.size());
    lines.emplace_back(refused.substr(at, end - at), -1, "");
  }
  for (const auto& [line, expected, written] : lines) {
    Mute mute;
    FixedText<96> why;
    FixedText<kMuteLineSize> back;
    const int read = parse_mute_line(line.c_str(), &mute, &why);
    EXPECT_EQ(read, expected) << line;
    if (read == 1) format_mute_line(mute, &back);
    EXPECT_STREQ(back.c_str(), written) << line;
    EXPECT_EQ(why.empty(), read >= 0) << line;
  }
  const std::tuple<const char*, const char*, const char*, bool> covers[] = {
      {"all", "x", "1", true},
      {"web01", "WEB01", "443", true},
      {"web01", "web01.example", "443", false},
      {"web01:443", "web01", "443", true},
      {"web01:443", "web01", "80", false},
      {"web01:0443", "web01", "443", true},
      {"[::1]:53", "[::1]", "53", true},
      {"::1", "::1", "53", true},
      {"::1", "[::1]", "53", true}};
  for (const auto& [target, name, port, covered] : covers) {
    Mute mute;
    mute.target.assign(target);
    HostConfig host;
    set_host_text(&host, name);
    set_port_text(&host, port);
    EXPECT_EQ(mute_covers(mute, host), covered) << target << " " << name << ":" << port;
  }
  const std::pair<const char*, int64_t> durations[] = {
      {"90m", 5400}, {"2h", 7200}, {"1d", 86400}, {"366d", 366 * 86400}, {"367d", -1}, {"0m", -1},
      {"1", -1},     {"h", -1},    {"2hh", -1},   {"-2h", -1},           {"1w", -1},   {"", -1}};
  for (const auto& [text, seconds] : durations)
    EXPECT_EQ(parse_mute_duration(text), seconds) << text;
}

class QuietTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    env_.set_clock([] { return g_now; });
  }
  std::string log() { return test::read_file(kLogFileName); }
  // Three hosts: web01:443, web01:80, db:5432 (or `count` refused ones).
  void add_hosts(HostTable* table, int count = 0, const char* port = "") {
    const char* hosts[][2] = {{"web01", "443"}, {"web01", "80"}, {"db", "5432"}};
    table->host_count = 3;
    for (int i = 1; i <= 3; ++i) {
      set_host_text(&table->hosts[i], count ? "127.0.0.1" : hosts[i - 1][0]);
      set_port_text(&table->hosts[i], count ? port : hosts[i - 1][1]);
      table->hosts[i].alertcount = 1;
      table->hosts[i].timeoutsec = 2;
    }
  }

 private:
  test::ScopedEnvironment env_;
};

// A mute silences its hosts until its end (logged once); a window that holds silences alike;
// -check names the lines that are no mute. (-unmute: the next test.)
TEST_F(QuietTest, MuteUnmuteAndExpiry) {
  g_now = kNow;
  auto table = std::make_unique<HostTable>();
  add_hosts(table.get());
  MonitorSettings settings;
  QuietState quiet;
  auto silenced = [&] {
    refresh_mutes(&quiet, g_now);
    mark_silenced_hosts(table.get(), settings, quiet, g_now);
    return std::to_string(table->hosts[1].silenced) + std::to_string(table->hosts[2].silenced) +
           std::to_string(table->hosts[3].silenced);
  };
  test::OutputCapture capture;
  EXPECT_EQ(mute_command("web01:443", "90m", "deploy\nof the shop"), 0);
  EXPECT_EQ(mute_command("db", "2h", nullptr), 0);
  EXPECT_NE(capture.out().find("linkwatch not running"), std::string::npos);
  EXPECT_EQ(mute_command("web01:443", "90", "x") + mute_command("web01:x", "90m", "x") +
                unmute_command("nothing"),
            3);
  EXPECT_NE(
      test::read_file(kMuteFileName)
          .find(std::string("web01:443 1765005400 deploy of the shop") + test::text_line_end()),
      std::string::npos);
  EXPECT_NE(log().find("muted web01:443 until"), std::string::npos);
  EXPECT_EQ(silenced(), "101");
  g_now = kNow + 5400;  // web01:443's end
  EXPECT_EQ(silenced(), "001");
  g_now += 60;
  EXPECT_EQ(silenced(), "001");
  EXPECT_EQ(test::count_of(log(), "mute of web01:443 ended"), 1u) << log();
  EXPECT_NE(log().find("maintenance of web01:443 ends"), std::string::npos);

  LocalMoment moment;
  ASSERT_TRUE(local_moment(g_now, &moment));
  int32_t count = 0;
  const std::string window = moment.minute < 720 ? "daily 00:00-12:00" : "daily 12:00-24:00";
  ASSERT_TRUE(parse_maintenance_list(window.c_str(), table->hosts[2].maintenance.window, &count));
  table->hosts[2].maintenance.count = count;
  EXPECT_EQ(silenced(), "011");

  test::write_file(kMuteFileName,
                   "# mutes\nweb01:443 1765005400 fine\nweb01:99999 1\n\nall soon\n");
  test::OutputCapture check;
  EXPECT_EQ(check_mute_file(), 0);
  EXPECT_EQ(check.out(),
            "Line 3: invalid target \"web01:99999\" (use all, a host, or host:port)\n"
            "Line 5: the end must be seconds since the epoch\n");
}

// DOWNs kept back while muted are told once, in one digest, after -unmute.
TEST_F(QuietTest, KeptBackDownsAfterAMuteMakeOneDigest) {
  platform::Listener gone;
  ASSERT_TRUE(platform::socket_startup() && platform::listen_loopback(0, 1, &gone));
  const std::string refused = std::to_string(gone.port);
  platform::close_listener(&gone);
  set_silent_mode(true);
  auto run = std::make_unique<MonitorRun>();
  auto table = std::make_unique<HostTable>();
  add_hosts(table.get(), 3, refused.c_str());
  MonitorSettings settings;
  settings.group_alerts = 2;
  NotifySettings notify = test::all_channels();
  notify.telegram_enabled = notify.teams_enabled = 0;
  run->table = table.get(), run->settings = &settings, run->notify = &notify;
  run->report = [](HostTable*, const MonitorSettings&, const NotifySettings&) {};
  resolve_all_hosts(table.get());
  g_now = kNow;
  test::OutputCapture capture;
  ASSERT_EQ(mute_command("all", "1h", "network work"), 0);
  test::CommandRecorder recorder;
  const auto mails = [&recorder] {
    std::string all;
    for (const test::RecordedCommand& c : recorder.commands()) all += c.mail_file.value_or("");
    return all;
  };
  run_cycle(*run);
  run_cycle(*run);
  EXPECT_EQ(mails(), "");
  ASSERT_EQ(unmute_command("all"), 0);
  EXPECT_NE(log().find("unmuted all"), std::string::npos);
  EXPECT_EQ(test::read_file(kMuteFileName).find("all "), std::string::npos);
  run_cycle(*run);
  run_cycle(*run);
  EXPECT_EQ(test::count_of(mails(), "\nSubject: "), 1u) << "told once";
  EXPECT_NE(mails().find("\nSubject: DOWN: 3 hosts"), std::string::npos) << mails();
  set_silent_mode(false);
}

}  // namespace
}  // namespace lw
