// The host alerts' texts with `alert_text : "clear"` and without it, each channel's text of a
// cycle.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "app/monitor.h"
#include "notify/alerts.h"
#include "notify/teams_card.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr int64_t kStart = 1700000000;  // the outage's first failure

// Replaces "@0" by the local time of kStart, "@1" by that of kStart + `after`.
std::string at(std::string text, int64_t after = 0) {
  for (size_t pos; (pos = text.find('@')) != std::string::npos;) {
    char time[32];
    format_local_time(kStart + (text[pos + 1] == '1' ? after : 0), "%Y-%m-%d %H:%M:%S", time, 32);
    text.replace(pos, 2, time);
  }
  return text;
}

HostEntry host_of(const std::string& name, const char* port, const char* description,
                  int64_t down_since = kStart) {
  HostEntry host;
  set_host_text(&host, name.c_str());
  set_port_text(&host, port);
  host.description.assign(description);
  host.alertcount = 3;
  host.alertcount_text.assign("3");
  host.first_fail_time = kStart;
  host.down_since = down_since;
  host.last_fail_time = kStart + 40;
  return host;
}

// Composes `kind` for `host` at kStart + `t` (DOWN: 0 of 3 pings).
std::unique_ptr<NotifyMessage> compose(int32_t kind, const HostEntry& host, const char* error,
                                       int64_t t, AlertText text) {
  auto m = new_message();
  if (kind == kDownAlert) compose_down_alert(host, host, error, 0, m.get(), text);
  if (kind == kRecoveryAlert) compose_recovery_alert(host, host, kStart + t, m.get(), text);
  if (kind == kReminderAlert) compose_reminder_alert(host, host, error, kStart + t, m.get(), text);
  return m;
}

// Every clear text names the service, its description, the error (none: Timeout), the start
// and the downtime; the chat text is the body opening "KIND service", the bare description.
TEST(AlertTextTest, ClearTextsSayWhatBrokeAndForHowLong) {
  const std::tuple<int32_t, HostEntry, int64_t, const char*, const char*, const char*> cases[] = {
      {kDownAlert, host_of("web01", "443", "shop front end"), 40,
       "DOWN web01:443 (shop front end): Timeout", "DOWN web01:443",
       "Error: Timeout\nDown since: @0\nDowntime: 40 s (3 failed checks in a row)\n"
       "Ping: 0 of 3 answered\n"},
      {kRecoveryAlert, host_of("web01", "443", "shop front end"), 12 * 60 + 5,
       "RECOVERY web01:443 (shop front end) after 12 min", "RECOVERY web01:443",
       "Recovered at: @1\nDown since: @0\nDowntime: 12 min\n"},
      {kRecoveryAlert, host_of("::1", "53", "", 0), 60, "RECOVERY [::1]:53", "RECOVERY [::1]:53",
       "Recovered at: @1\n"},
      {kReminderAlert, host_of("::1", "53", ""), 2 * 3600 + 5 * 60,
       "STILL DOWN [::1]:53 for 2 h 05 min: Timeout", "STILL DOWN [::1]:53",
       "Error: Timeout\nDown since: @0\nDowntime: 2 h 05 min\n"},
  };
  for (const auto& [kind, host, after, subject, head, facts_text] : cases) {
    SCOPED_TRACE(subject);
    auto m = compose(kind, host, "", after, AlertText::kClear);
    const std::string service = std::string(head).substr(std::string(head).rfind(' ') + 1);
    const std::string facts = at(facts_text, after), description = host.description.c_str(),
                      line = description.empty() ? "" : description + "\n";
    EXPECT_EQ(m->subject.c_str(), std::string(subject));
    EXPECT_EQ(m->body.c_str(),
              "Service: " + service + "\n" + (line.empty() ? "" : "Description: " + line) + facts);
    EXPECT_EQ(m->chat_text.c_str(), head + ("\n" + line) + facts.substr(0, facts.size() - 1));
    EXPECT_TRUE(m->card_body.empty()) << "the card shows the body";
    EXPECT_EQ(std::tuple(std::string(m->facts.description), m->facts.since, m->facts.duration),
              std::tuple(description, host.down_since, host.down_since ? after : -1));
  }
}

// Without the key the texts are as of old, the card without colour.
TEST(AlertTextTest, AbsentKeyKeepsTheClassicTexts) {
  const std::string first = at("@0"), last = at("@1", 40).substr(11);
  const std::tuple<int32_t, int64_t, std::string, std::string, std::string> cases[] = {
      {kDownAlert, 720,
       "Alert for 443. web01 443 Connection refused(" + last + "). 40 seconds (3 times) from " +
           first + " to " + last + " (Ping Success 0 of 3)",
       "\nHost: web01\nPort: 443\nError: Connection refused\nDuration: 40 seconds\n"
       "Count: 3 times\nFrom: " +
           first + "\nTo: " + last + "\nPing: Success 0 of 3\n",
       "ALERT (DOWN)\nHost: web01\nPort: 443\nError: Connection refused\nDuration: 40 sec\n"
       "Count: 3 times\nPing: 0/3\nTime: " +
           last},
      {kRecoveryAlert, 720, "Back to normal for 443 web01:443",
       "\nRecovered at " + at("@1", 720) +
           "\nYour setting is consecutive 3 TIMEOUT to get alert.\n",
       "RECOVERY\nHost: web01\nPort: 443\nRecovered at: " + at("@1", 720)},
      {kReminderAlert, 2 * 86400 + 4 * 3600 + 59,
       "Still DOWN: web01 443 since " + first + " (2 d 4 h), Connection refused", "\n",
       "STILL DOWN\nHost: web01\nPort: 443\nSince: " + first +
           " (2 d 4 h)\nError: Connection refused"},
  };
  for (const auto& [kind, after, subject, body, chat] : cases) {
    auto m = compose(kind, host_of("web01", "443", "shop front end"), "Connection refused", after,
                     MonitorSettings{}.alert_text);
    EXPECT_EQ(m->kind, kind);
    EXPECT_EQ(m->subject.c_str(), subject);
    EXPECT_EQ(m->body.c_str(), subject + body);
    EXPECT_EQ(m->chat_text.c_str(), chat);
    std::string card(kTeamsCardBufferSize, '\0');
    card.resize(build_teams_card(m->subject.c_str(), m->card_text(), card.data(), card.size(),
                                 nullptr, m->card_tone));
    EXPECT_EQ(card.find("\"color\""), std::string::npos);
  }
}

class AlertTextRunTest : public test::WorkDirTest {};

// A cycle hands its setting to each alert, at once or held to its end; each channel sends the
// clear text: the mail (its 8-bit sender encoded), Telegram, the card's coloured title once.
TEST_F(AlertTextRunTest, EveryChannelSendsTheClearTextOfACycle) {
  auto table = std::make_unique<HostTable>();
  table->host_count = 3;
  for (int i = 1; i <= 3; ++i)
    table->hosts[i] = host_of("h" + std::to_string(i), "80", "db", now_seconds() - 600);
  NotifySettings notify = test::all_channels();
  notify.from.assign("  \u00DCberwachung   <alerts@example.com> (ops)");
  MonitorSettings settings;
  settings.alert_text = AlertText::kClear;
  MonitorRun run;
  run.table = table.get(), run.settings = &settings, run.notify = &notify;
  run.check = [](WorkerSlot* slot, const WorkerContext& c) -> uint32_t {
    const HostEntry& host = c.table->hosts[slot->host_index];
    if (slot->host_index == 1) c.alerts.down(c.alerts.context, host, "refused");
    if (slot->host_index == 2) c.alerts.recovery(c.alerts.context, host);
    if (slot->host_index == 3) c.alerts.reminder(c.alerts.context, host, "refused");
    return 0;
  };
  run.report = [](HostTable*, const MonitorSettings&, const NotifySettings&) {};
  const std::string title = "\", \"weight\": \"Bolder\", \"size\": \"Large\", \"color\": \"";
  const std::tuple<std::string, std::string, std::string> sends[] = {
      {"DOWN h1:80 (db): refused", "DOWN%20h1%3A80%0Adb%0AError%3A%20refused%0A", "attention"},
      {"RECOVERY h2:80 (db) after 10 min", "RECOVERY%20h2%3A80%0Adb%0ARecovered", "good"},
      {"STILL DOWN h3:80 (db) for 10 min: refused", "STILL%20DOWN%20h3%3A80%0Adb%0AError",
       "attention"}};
  for (int group : {0, 5}) {
    settings.group_alerts = group;
    test::CommandRecorder recorder;
    test::OutputCapture capture;
    const size_t logged_before = test::log_messages().size();
    run_cycle(run);
    const std::vector<std::string> log = test::log_messages();
    std::string mail, card, telegram;  // the texts of all alerts
    size_t runs = 0;
    for (const test::RecordedCommand& c : recorder.commands()) {
      mail += c.mail_file.value_or("");
      card += c.card_file.value_or("");
      telegram += c.input.value_or("");
      runs += c.argv.front().find("ping") == std::string::npos;
    }
    EXPECT_EQ(runs, 9u) << "each alert once to each channel";
    EXPECT_NE(mail.find("From: =?UTF-8?B?w5xiZXJ3YWNodW5n?= <alerts@example.com> (ops)\r\n"),
              std::string::npos);
    for (const auto& [subject, chat, colour] : sends) {
      SCOPED_TRACE(subject + (group ? " held" : ""));
      EXPECT_NE(mail.find("\nSubject: " + subject + "\r\n"), std::string::npos);
      EXPECT_NE(telegram.find("&text=" + chat), std::string::npos) << telegram;
      EXPECT_NE(card.find(subject + title + colour), std::string::npos) << card;
      EXPECT_EQ(card.find(subject), card.rfind(subject)) << "the title is not repeated";
      EXPECT_EQ(std::count(log.begin() + logged_before, log.end(), subject), 1);
    }
  }
}

}  // namespace
}  // namespace lw
