#include "app/status_page.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>

#include "app/monitor.h"
#include "app/state_file.h"
#include "notify/report.h"
#include "platform/platform.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

int64_t g_now = 0;

int64_t local_time(int hour, int minute) {  // 2026-12-07, local
  std::tm tm{};
  tm.tm_year = 126, tm.tm_mon = 11, tm.tm_mday = 7, tm.tm_hour = hour, tm.tm_min = minute;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

// Host 1 fails from 10:07 to 10:52, host 2 from 10:30 on, host 3 never. The times are worked out
// before any check thread runs (mktime is not for threads).
const int64_t g_outage_from = local_time(10, 7);
const int64_t g_outage_to = local_time(10, 52);
const int64_t g_failing_from = local_time(10, 30);
uint32_t scripted_check(WorkerSlot* slot, const WorkerContext&) {
  const int64_t t = g_now;
  slot->failed = (slot->host_index == 1 && t >= g_outage_from && t < g_outage_to) ||
                 (slot->host_index == 2 && t >= g_failing_from);
  return 0;
}

// A cycle a minute from 10:00 to 11:14 over the scripted outage: the quarters' figures, the
// uptime, the page, the history through the state file and the alive report's uptime part.
TEST(StatusPageTest, AScriptedOutageInFiguresPageStateFileAndReport) {
  test::ScopedWorkDir dir;
  test::ScopedEnvironment clock;
  test::CommandRecorder commands;
  HostTable table;
  MonitorSettings settings;
  NotifySettings notify, report = test::all_channels();
  MonitorRun run;
  set_silent_mode(true);
  clock.set_clock([] { return g_now; });
  run.table = &table, run.settings = &settings, run.notify = &notify;
  run.check = scripted_check;
  run.report = [](HostTable*, auto&, auto&) {};
  settings.status_html.assign("page.html");
  for (const char* port : {"1001", "1002", "1003"}) {
    HostEntry& host = table.hosts[++table.host_count];
    set_host_text(&host, "127.0.0.1");
    set_port_text(&host, port);
    host.alertcount = 1000;
  }
  resolve_all_hosts(&table);
  for (g_now = local_time(10, 0); g_now < local_time(11, 15); g_now += 60) run_cycle(run);

  const ServiceHistory& h = run.history.services[1];
  const int expected[][2] = {{15, 8}, {15, 15}, {15, 15}, {15, 7}, {15, 0}};
  for (int q = 0; q < 5; ++q) {
    const QuarterFigures f = quarter_figures(h, local_time(10, 15 * q) / kQuarterSeconds);
    EXPECT_EQ(f.checks, expected[q][0]) << q;
    EXPECT_EQ(f.failures, expected[q][1]) << q;
  }
  // (7/15 + 0 + 0 + 8/15 + 1) / 5 quarters, the same over a week (over the day: uptime_lines).
  EXPECT_EQ(uptime_text(day_uptime(h, g_now, 7), "-"), "40.00%");
  EXPECT_EQ(uptime_text(day_uptime(run.history.services[3], g_now, 30), "-"), "100%");
  EXPECT_EQ(uptime_text(quarter_uptime(h, g_now + 86400 * 3, 96), "-"), "-");

  const std::string page = test::read_file("page.html");
  EXPECT_NE(page.find("10:00\xE2\x80\x93"
                      "10:15 \xC2\xB7 15 checks, 8 failed"),
            std::string::npos);
  EXPECT_NE(page.find("<meta http-equiv=\"refresh\" content=\"15\">"), std::string::npos);
  EXPECT_LT(page.find("127.0.0.1:1002"), page.find("127.0.0.1:1001")) << "FAILING first";

  const std::string lines = uptime_lines(table, run.history, g_now);
  for (const char* line : {"127.0.0.1:1001 40.00% (over 1 h 15 min watched)\n"
                           "  outage 2026-12-07 10:07:00 to 2026-12-07 10:52:00, 45 min\n",
                           "127.0.0.1:1002 40.00% (over 1 h 15 min watched)\n"
                           "  outage since 2026-12-07 10:30:00, ongoing\n",
                           "127.0.0.1:1003 100% (over 1 h 15 min watched)\n"}) {
    EXPECT_NE(lines.find(line), std::string::npos) << line << "\nin\n" << lines;
  }

  const std::string text = format_state_file(g_now, format_state_services(table), "",
                                             format_state_history(table, run.history));
  SavedState saved;
  std::string error;
  ASSERT_TRUE(parse_state_file(text.data(), text.size(), &saved, &error)) << error;
  HistoryBook book;
  book.keep();
  EXPECT_EQ(restore_history(saved, table, &book), 3);
  EXPECT_EQ(book.since, run.history.since);
  EXPECT_EQ(uptime_lines(table, book, g_now), lines);
  PageInput input{&run.status, &table, &run.history, &settings, nullptr, nullptr, g_now};
  const std::string before = format_status_page(input);
  input.history = &book;
  EXPECT_EQ(format_status_page(input), before);
  // The reader stays strict: a cell too few, a failure above its checks, no count.
  const std::string cells = "\tcells=";
  const size_t at = text.find(cells) + cells.size();
  for (const std::string& bad :
       {std::string(text).erase(at, 2), std::string(text).replace(at + 384, 2, "ff"),
        std::regex_replace(text, std::regex("\thistory=3"), "")}) {
    EXPECT_FALSE(parse_state_file(bad.data(), bad.size(), &saved, &error));
  }

  report.iamalive_enabled = 1;
  std::string mails[2];
  for (int on = 0; on < 2; ++on) {
    settings.report_uptime = on;
    run_daily_report(&table, settings, report, &run.history);
    ASSERT_FALSE(commands.commands().empty());
    mails[on] = *commands.commands().back().mail_file;
  }
  const std::string uptime = std::regex_replace(lines, std::regex("\n"), "\r\n");
  EXPECT_EQ(mails[0].find("Uptime"), std::string::npos);
  EXPECT_NE(mails[1].find(uptime + "\r\n--- linkwatch from"), std::string::npos) << mails[1];
}

// Cells and outages at the edges: a quarter of maintenance only, counts
// that saturate, a clock set back, more outages than kept, a gap of 49 h.
TEST(HistoryTest, EdgesOfTheCells) {
  ServiceHistory h;
  const int64_t t0 = local_time(1, 0), q0 = t0 / kQuarterSeconds;
  record_check(&h, t0, true, true);
  for (int i = 0; i < 300; ++i) record_check(&h, t0 + kQuarterSeconds + i, i % 2 == 0, false);
  record_check(&h, t0 - 3600, false, false);
  const QuarterFigures maintenance = quarter_figures(h, q0), full = quarter_figures(h, q0 + 1);
  EXPECT_TRUE(maintenance.maintenance && maintenance.checks == 0);
  EXPECT_TRUE(full.checks == 255 && full.failures == 128) << "the share kept as it stood";
  EXPECT_EQ(quarter_figures(h, q0 - 4).checks, 0);
  // 02:00 to 02:25 every 5 min, failing and back: (127/255 + 1/3 + 2/3) / 3.
  for (int i = 0; i < 6; ++i) record_check(&h, t0 + 3600 + 300 * i, i % 2 == 0, false);
  HostTable table;
  table.host_count = 1;
  set_host_text(&table.hosts[1], "h");
  set_port_text(&table.hosts[1], "1");
  HistoryBook book;
  book.keep();
  book.services[1] = h;
  const std::string lines = uptime_lines(table, book, t0 + 5400);
  EXPECT_NE(lines.find("h:1 49.93% (over 45 min watched)\n  earlier outages of the day not kept\n"),
            std::string::npos)
      << lines;
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 3 + 1 + 1 + kKeptOutages);
  // Two days on: the quarters are gone, the day keeps them (and the new one).
  record_check(&h, t0 + 49 * 3600, false, false);
  EXPECT_EQ(quarter_figures(h, q0 + 1).checks, 0);
  EXPECT_EQ(uptime_text(day_uptime(h, t0 + 49 * 3600, 30), "-"), "62.45%");
}

// One service of each state over a day, one with a hostile name, description and error: UP with
// an outage from 06:07 to 06:22, DOWN for the last hour, FAILING at the last check, MAINTENANCE.
class HostilePageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* names[][2] = {{"web01", "Shop front end"},
                              {"<b>db&co", "Billing <script>alert('x')</script> & \"q\""},
                              {"mail", "Mail relay"},
                              {"nas", "Backup store"}};
    book.keep();
    book.since = now - 95 * kQuarterSeconds;
    for (int i = 1; i <= 4; ++i) {
      HostEntry& host = table.hosts[++table.host_count];
      set_host_text(&host, names[i - 1][0]);
      set_port_text(&host, std::to_string(8000 + i).c_str());
      host.resolve_state = kResolved;
      host.description.assign(names[i - 1][1]);
      host.alert_sent = i == 2, host.fail_count = i == 2 || i == 3, host.silenced = i == 4;
      host.down_since = host.first_fail_time = i == 2 ? now - 3600 : i == 3 ? now : 0;
      board.hosts[i].up = i == 1 || i == 4;
      board.hosts[i].last_check = now;
      if (i == 2) board.hosts[i].error.assign("refused <img src=x onerror='y'>");
      for (int64_t t = book.since; t <= now; t += 60) {
        const bool outage = t >= now - 6 * 3600 + 420 && t < now - 6 * 3600 + 1320;
        const bool last_hour = t >= now - 3600;
        record_check(&book.services[i], t,
                     (i == 1 && outage) || (i == 2 && last_hour) || (i == 3 && t == now),
                     i == 4 && last_hour);
      }
    }
  }
  HostTable table;
  StatusBoard board;
  HistoryBook book;
  MonitorSettings settings;
  const int64_t now = local_time(12, 0);
};

TEST_F(HostilePageTest, HostileTextsAreEscapedAndThePageStaysSmall) {
  const PageInput input{&board, &table, &book, &settings, nullptr, nullptr, now};
  std::string page = format_status_page(input);
  for (const char* raw : {"<script", "<img", "'x'", "\"q\"", "& \"", "<b>db"})
    EXPECT_EQ(page.find(raw), std::string::npos) << raw;
  for (const char* escaped :
       {"&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;", "&lt;b&gt;db&amp;co",
        "refused &lt;img src=x onerror=&#39;y&#39;&gt;"})
    EXPECT_NE(page.find(escaped), std::string::npos) << escaped;
  EXPECT_EQ(std::regex_search(page, std::regex("https?:|src=\"|url\\(|@import")), false);
  EXPECT_EQ(page.find("Certificate"), std::string::npos);  // no host has `tls`
  table.hosts[1].tls = table.hosts[3].tls = TlsMode::kDirect;
  table.hosts[1].cert_expires = now + 12 * 86400 + 60;
  table.hosts[3].cert_expires = now;
  page = format_status_page(input);
  EXPECT_NE(page.find("<th>Certificate</th>"), std::string::npos);
  EXPECT_NE(page.find(">12 days</td>"), std::string::npos);
  EXPECT_NE(page.find("expired</span>"), std::string::npos);

  for (int i = 5; i <= kMaxHosts; ++i) {
    table.hosts[i] = table.hosts[1 + i % 4];
    book.services[i] = book.services[1 + i % 4];
    board.hosts[i] = board.hosts[1 + i % 4];
  }
  table.host_count = kMaxHosts;
  page = format_status_page(input);
  EXPECT_LT(page.size(), 1000000u);
  EXPECT_EQ(std::count(page.begin(), page.end(), '\n') > kMaxHosts, true);
}

// The page in headless Chromium: each row's badge word, uptime and the
// hostile texts as text; the screenshot goes beside the test program.
TEST_F(HostilePageTest, ChromiumShowsEveryRow) {
  if (std::string(platform::kSystemName) == "Windows") GTEST_SKIP() << "no Chromium here";
  test::ScopedWorkDir dir;
  settings.site.assign("Berlin dc-2");
  board.last_cycle = now;
  test::write_file("page.html",
                   format_status_page({&board, &table, &book, &settings, nullptr, nullptr, now}));
  const std::string shot = (test::program_dir() / "status_page.png").string();
  const test::ProgramResult result = test::run_program(
      {"-c",
       "b=$(command -v chromium || command -v chromium-browser) || { echo no Chromium; exit 77; }\n"
       "o='--headless --disable-gpu --no-sandbox --no-first-run --user-data-dir=profile'\n"
       "timeout 25 $b $o --dump-dom \"file://$PWD/page.html\" >dom.html 2>/dev/null &&\n"
       "timeout 25 $b $o --screenshot=\"$1\" --window-size=1280,900 \"file://$PWD/page.html\" "
       ">/dev/null 2>&1",
       "sh", shot},
      "/bin/sh");
  if (result.first == 77) GTEST_SKIP() << result.second;
  ASSERT_EQ(result.first, 0) << result.second;
  const std::string dom = test::read_file("dom.html");
  const std::regex row(
      "<tr class=\"(\\w+)\"><td class=\"\"><span class=\"badge \\w+\">([A-Z]+)"
      "</span>.*?<td class=\"num\">([^<]+)</td>");
  std::string order;
  for (std::sregex_iterator it(dom.begin(), dom.end(), row), end; it != end; ++it)
    order += (*it)[2].str() + " " + (*it)[3].str() + ",";
  EXPECT_EQ(order, "DOWN 94.79%,FAILING 98.95%,MAINTENANCE 100%,UP 98.95%,");
  EXPECT_NE(dom.find("Berlin dc-2"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(shot));
}

}  // namespace
}  // namespace lw
