// `alert_text : "clear"`: the short subjects and fact bodies of the host
// alerts on every channel, the Teams card's colours, the digest's lines,
// the key in the loader and "-check"; without the key, the texts of old.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/monitor.h"
#include "config/check.h"
#include "config/host_config.h"
#include "notify/alerts.h"
#include "notify/digest.h"
#include "notify/teams_card.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr int64_t kStart = 1700000000;  // the outage's first failure

std::string local(int64_t t) {
  char text[32];
  format_local_time(t, "%Y-%m-%d %H:%M:%S", text, sizeof text);
  return text;
}

std::string local_time_of_day(int64_t t) {
  char text[16];
  format_local_time(t, "%H:%M:%S", text, sizeof text);
  return text;
}

// Replaces every "@<n>" (n a digit: seconds after kStart in units of the
// table's steps) by that local time; "@0" is the start.
std::string at(std::string text, const std::vector<int64_t>& times) {
  for (size_t pos; (pos = text.find('@')) != std::string::npos;) {
    text.replace(pos, 2, local(kStart + times[static_cast<size_t>(text[pos + 1] - '0')]));
  }
  return text;
}

HostEntry host_of(const char* name, const char* port, const char* description) {
  HostEntry host;
  set_host_text(&host, name);
  set_port_text(&host, port);
  host.description.assign(description);
  host.alertcount = 3;
  host.alertcount_text.assign("3");
  host.first_fail_time = kStart;
  host.last_fail_time = kStart + 40;
  host.down_since = kStart;
  host.last_reminder = kStart;
  return host;
}

// Composes `kind` for `host` at kStart + `after` (DOWN: 0 of 3 pings).
void compose(int32_t kind, const HostEntry& host, const char* error, int64_t after,
             NotifyMessage* message, AlertText text) {
  if (kind == kDownAlert) {
    compose_down_alert(host, host, error, 0, message, text);
  } else if (kind == kRecoveryAlert) {
    compose_recovery_alert(host, host, kStart + after, message, text);
  } else {
    compose_reminder_alert(host, host, error, kStart + after, message, text);
  }
}

struct ClearCase {
  const char* name;
  int32_t kind;
  HostEntry host;
  const char* error;
  int64_t after;  // the moment of the message, after kStart
  const char* subject;
  const char* body;  // "@0": kStart, "@1": kStart + after
  const char* chat;
  CardTone tone;
  int64_t since, duration;  // the facts
};

std::vector<ClearCase> clear_cases() {
  HostEntry unknown_start = host_of("web01", "443", "shop front end");
  unknown_start.down_since = 0;
  return {
      {"down", kDownAlert, host_of("web01", "443", "shop front end"), "Connection refused", 40,
       "DOWN web01:443 (shop front end): Connection refused",
       "Service: web01:443\nDescription: shop front end\nError: Connection refused\n"
       "Down since: @0\nDowntime: 40 s (3 failed checks in a row)\nPing: 0 of 3 answered\n",
       "DOWN web01:443\nshop front end\nError: Connection refused\nDown since: @0\n"
       "Downtime: 40 s (3 failed checks in a row)\nPing: 0 of 3 answered",
       CardTone::kAttention, kStart, 40},
      {"down without description, timeout, IPv6", kDownAlert, host_of("::1", "53", ""), "", 40,
       "DOWN [::1]:53: Timeout",
       "Service: [::1]:53\nError: Timeout\nDown since: @0\n"
       "Downtime: 40 s (3 failed checks in a row)\nPing: 0 of 3 answered\n",
       "DOWN [::1]:53\nError: Timeout\nDown since: @0\n"
       "Downtime: 40 s (3 failed checks in a row)\nPing: 0 of 3 answered",
       CardTone::kAttention, kStart, 40},
      {"recovery", kRecoveryAlert, host_of("web01", "443", "shop front end"), "", 12 * 60 + 5,
       "RECOVERY web01:443 (shop front end) after 12 min",
       "Service: web01:443\nDescription: shop front end\nRecovered at: @1\nDown since: @0\n"
       "Downtime: 12 min\n",
       "RECOVERY web01:443\nshop front end\nRecovered at: @1\nDown since: @0\nDowntime: 12 min",
       CardTone::kGood, kStart, 12 * 60 + 5},
      {"recovery of an outage whose start is not known", kRecoveryAlert, unknown_start, "", 60,
       "RECOVERY web01:443 (shop front end)",
       "Service: web01:443\nDescription: shop front end\nRecovered at: @1\n",
       "RECOVERY web01:443\nshop front end\nRecovered at: @1", CardTone::kGood, 0, -1},
      {"reminder", kReminderAlert, host_of("db1", "5432", "orders"), "Connection refused",
       2 * 3600 + 5 * 60, "STILL DOWN db1:5432 (orders) for 2 h 05 min: Connection refused",
       "Service: db1:5432\nDescription: orders\nError: Connection refused\nDown since: @0\n"
       "Downtime: 2 h 05 min\n",
       "STILL DOWN db1:5432\norders\nError: Connection refused\nDown since: @0\n"
       "Downtime: 2 h 05 min",
       CardTone::kAttention, kStart, 2 * 3600 + 5 * 60},
  };
}

// Every clear text names the service with its description, the error, the
// start and the downtime; the card's title colour tells DOWN from RECOVERY.
TEST(AlertTextTest, ClearTextsSayWhatBrokeAndForHowLong) {
  for (const ClearCase& c : clear_cases()) {
    SCOPED_TRACE(c.name);
    auto message = new_message();
    compose(c.kind, c.host, c.error, c.after, message.get(), AlertText::kClear);
    EXPECT_EQ(message->kind, c.kind);
    EXPECT_EQ(message->subject.c_str(), std::string(c.subject));
    EXPECT_EQ(message->body.c_str(), at(c.body, {0, c.after}));
    EXPECT_EQ(message->chat_text.c_str(), at(c.chat, {0, c.after}));
    EXPECT_TRUE(message->card_body.empty()) << "the card shows the body";
    EXPECT_EQ(message->card_tone, c.tone);
    EXPECT_EQ(message->facts.description, c.host.description.c_str());
    EXPECT_EQ(message->facts.since, c.since);
    EXPECT_EQ(message->facts.duration, c.duration);
    EXPECT_EQ(message->services,
              std::vector<std::string>{service_key(c.host.host.c_str(), c.host.port.c_str())});
  }
}

// Without the key every text is what it always was, byte for byte; only the
// RECOVERY's facts learn the outage's start.
TEST(AlertTextTest, ClassicTextsStayAsTheyWere) {
  const HostEntry host = host_of("web01", "443", "shop front end");
  const std::string first = local(kStart), last = local_time_of_day(kStart + 40);
  const std::string down = "Alert for 443. web01 443 Connection refused(" + last +
                           "). 40 seconds (3 times) from " + first + " to " + last +
                           " (Ping Success 0 of 3)";
  const std::string back = "Back to normal for 443 web01:443";
  const std::string still =
      "Still DOWN: web01 443 since " + first + " (12 min), Connection refused";
  const struct {
    int32_t kind;
    std::string subject, body, chat;
    int64_t since, duration;
  } cases[] = {
      {kDownAlert, down,
       down +
           "\nHost: web01\nPort: 443\nError: Connection refused\nDuration: 40 seconds\n"
           "Count: 3 times\nFrom: " +
           first + "\nTo: " + last + "\nPing: Success 0 of 3\n",
       "ALERT (DOWN)\nHost: web01\nPort: 443\nError: Connection refused\nDuration: 40 sec\n"
       "Count: 3 times\nPing: 0/3\nTime: " +
           last,
       kStart, 40},
      {kRecoveryAlert, back,
       back + "\nRecovered at " + local(kStart + 720) +
           "\nYour setting is consecutive 3 TIMEOUT to get alert.\n",
       "RECOVERY\nHost: web01\nPort: 443\nRecovered at: " + local(kStart + 720), kStart, 720},
      {kReminderAlert, still, still + "\n",
       "STILL DOWN\nHost: web01\nPort: 443\nSince: " + first +
           " (12 min)\nError: Connection refused",
       kStart, 720},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subject);
    for (AlertText text : {AlertText::kClassic, static_cast<AlertText>(0)}) {
      auto message = new_message();
      compose(c.kind, host, "Connection refused", 720, message.get(), text);
      EXPECT_EQ(message->subject.c_str(), c.subject);
      EXPECT_EQ(message->body.c_str(), c.body);
      EXPECT_EQ(message->chat_text.c_str(), c.chat);
      EXPECT_EQ(message->card_tone, CardTone::kPlain);
      EXPECT_EQ(message->facts.since, c.since);
      EXPECT_EQ(message->facts.duration, c.duration);
    }
  }
  // The default argument is the classic text.
  auto message = new_message();
  compose_recovery_alert(host, host, kStart + 720, message.get());
  EXPECT_EQ(message->subject.c_str(), back);
}

// A tone colours the title block and changes nothing else; the plain card
// is the card of old.
TEST(AlertTextTest, CardToneColoursOnlyTheTitle) {
  const char* title = "DOWN web01:443 (shop): refused";
  const char* body = "Service: web01:443\nError: refused\n";
  auto card = [&](CardTone tone) {
    std::string out(kTeamsCardBufferSize, '\0');
    out.resize(build_teams_card(title, body, out.data(), out.size(), nullptr, tone));
    return out;
  };
  std::string old(kTeamsCardBufferSize, '\0');
  old.resize(build_teams_card(title, body, old.data(), old.size()));
  EXPECT_EQ(card(CardTone::kPlain), old);
  const struct {
    CardTone tone;
    const char* member;
  } cases[] = {{CardTone::kAttention, ", \"color\": \"attention\""},
               {CardTone::kGood, ", \"color\": \"good\""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.member);
    std::string coloured = card(c.tone);
    const size_t pos = coloured.find(c.member);
    ASSERT_NE(pos, std::string::npos);
    // In the title's block, the first block of the card.
    EXPECT_LT(pos, coloured.find("Service: web01:443"));
    EXPECT_GT(pos, coloured.find(title));
    coloured.erase(pos, std::strlen(c.member));
    EXPECT_EQ(coloured, old);
  }
}

class AlertTextChannelsTest : public test::WorkDirTest {};

// What each channel got from one raise_*: the mail file, the Telegram
// request's text, the card file.
struct Sent {
  std::string mail, telegram, card;
};

Sent sent_by(const test::CommandRecorder& recorder) {
  Sent sent;
  for (const test::RecordedCommand& c : recorder.commands()) {
    if (c.argv.front().find("ping") != std::string::npos) continue;
    if (c.mail_file) {
      sent.mail = *c.mail_file;
    } else if (c.card_file) {
      sent.card = *c.card_file;
    } else {
      sent.telegram = c.input.value_or("");
    }
  }
  return sent;
}

// Percent-encodes as the Telegram request does, for comparison.
std::string percent(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::strchr("-_.~", c)) {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

// The setting reaches every channel: the mail's subject and body, the
// Telegram text, the card's title, colour and first line (not the title).
TEST_F(AlertTextChannelsTest, EveryChannelSendsTheClearText) {
  const NotifySettings settings = test::all_channels();
  HostEntry host = host_of("127.0.0.1", "19001", "orders database");
  const int64_t now = now_seconds();
  host.first_fail_time = host.last_fail_time = host.down_since = now - 600;
  const struct {
    const char* name;
    void (*raise)(const HostEntry&, const NotifySettings&);
    const char* subject;
    const char* colour;
  } cases[] = {
      {"down",
       [](const HostEntry& h, const NotifySettings& s) {
         raise_down_alert(h, "Connection refused", s, nullptr, AlertText::kClear);
       },
       "DOWN 127.0.0.1:19001 (orders database): Connection refused", "attention"},
      {"recovery",
       [](const HostEntry& h, const NotifySettings& s) {
         raise_recovery_alert(h, s, nullptr, AlertText::kClear);
       },
       "RECOVERY 127.0.0.1:19001 (orders database) after 10 min", "good"},
      {"reminder",
       [](const HostEntry& h, const NotifySettings& s) {
         raise_reminder_alert(h, "Connection refused", s, nullptr, AlertText::kClear);
       },
       "STILL DOWN 127.0.0.1:19001 (orders database) for 10 min: Connection refused", "attention"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::CommandRecorder recorder;
    test::OutputCapture capture;
    c.raise(host, settings);
    const Sent sent = sent_by(recorder);
    EXPECT_NE(sent.mail.find(std::string("\nSubject: ") + c.subject + "\r\n"), std::string::npos)
        << sent.mail;
    EXPECT_NE(sent.mail.find("\r\nService: 127.0.0.1:19001\r\nDescription: orders database\r\n"),
              std::string::npos);
    EXPECT_NE(sent.mail.find("\r\nDown since: " + local(now - 600) + "\r\n"), std::string::npos);
    EXPECT_NE(sent.telegram.find(
                  "&text=" +
                  percent(std::string(c.subject).substr(0, std::string(c.subject).find(" 127"))) +
                  percent(" 127.0.0.1:19001\norders database\n")),
              std::string::npos)
        << sent.telegram;
    EXPECT_NE(sent.card.find(std::string(c.subject) + "\", \"weight\": \"Bolder\", \"size\": " +
                             "\"Large\", \"color\": \"" + c.colour + "\""),
              std::string::npos)
        << sent.card;
    EXPECT_NE(sent.card.find("\"text\": \"Service: 127.0.0.1:19001\", \"wrap\": true}"),
              std::string::npos)
        << "the first body line follows the title";
    EXPECT_EQ(sent.card.find(std::string(c.subject)), sent.card.rfind(std::string(c.subject)))
        << "the title is not repeated";
  }
}

// Without the key the card has no colour and repeats its title as of old.
TEST_F(AlertTextChannelsTest, ClassicCardKeepsItsLook) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  raise_recovery_alert(host_of("db1", "5432", ""), test::all_channels());
  const Sent sent = sent_by(recorder);
  EXPECT_EQ(sent.card.find("\"color\""), std::string::npos);
  EXPECT_NE(sent.card.find("Back to normal for 5432 db1:5432"),
            sent.card.rfind("Back to normal for 5432 db1:5432"));
}

// Held alerts keep the setting: the singles a cycle releases and the
// subjects it logs are clear.
TEST_F(AlertTextChannelsTest, HeldAlertsReleaseClearSingles) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  CycleAlerts cycle;
  HostEntry host = host_of("db1", "5432", "orders");
  cycle.hold(kRecoveryAlert, 1, host, "", kStart + 300, AlertText::kClear);
  const std::vector<std::string> log = test::log_messages();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), "RECOVERY db1:5432 (orders) after 5 min");
  EXPECT_EQ(cycle.release(5, test::all_channels(), nullptr), 1);
  EXPECT_NE(sent_by(recorder).mail.find("Subject: RECOVERY db1:5432 (orders) after 5 min\r\n"),
            std::string::npos);
}

// Host 1 goes DOWN, host 2 recovers, host 3 is reminded of.
uint32_t crossing_check(WorkerSlot* slot, const WorkerContext& context) {
  const HostEntry& host = context.table->hosts[slot->host_index];
  const AlertSink& sink = context.alerts;
  if (slot->host_index == 1) sink.down(sink.context, host, "refused");
  if (slot->host_index == 2) sink.recovery(sink.context, host);
  if (slot->host_index == 3) sink.reminder(sink.context, host, "refused");
  return 0;
}

// The run hands its setting to every alert it raises, at once or held for
// the cycle's end.
TEST_F(AlertTextChannelsTest, TheRunPassesItsSettingToEveryAlert) {
  auto table = std::make_unique<HostTable>();
  table->host_count = 3;
  const char* descriptions[] = {"", "", "one", "two"};  // by host index
  for (int i = 1; i <= 3; ++i) {
    table->hosts[i] = host_of("h", "80", descriptions[i]);
    table->hosts[i].host.format("h%d", i);
    table->hosts[i].down_since = now_seconds() - 600;
  }
  NotifySettings notify = test::all_channels();
  notify.telegram_enabled = notify.teams_enabled = 0;
  for (int group : {0, 5}) {
    SCOPED_TRACE(group);
    MonitorSettings settings;
    settings.alert_text = AlertText::kClear;
    settings.workers = 3;
    settings.group_alerts = group;
    auto run = std::make_unique<MonitorRun>();
    run->table = table.get();
    run->settings = &settings;
    run->notify = &notify;
    run->check = crossing_check;
    run->report = [](HostTable*, const MonitorSettings&, const NotifySettings&) {};
    test::CommandRecorder recorder;
    test::OutputCapture capture;
    run_cycle(*run);
    std::vector<std::string> subjects;
    for (const test::RecordedCommand& c : recorder.commands()) {
      if (!c.mail_file) continue;
      const size_t start = c.mail_file->find("\nSubject: ") + 10;
      subjects.push_back(c.mail_file->substr(start, c.mail_file->find('\r', start) - start));
    }
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects,
              (std::vector<std::string>{"DOWN h1:80: refused", "RECOVERY h2:80 (one) after 10 min",
                                        "STILL DOWN h3:80 (two) for 10 min: refused"}));
  }
}

std::vector<HeldAlert> held(int32_t kind, int count, AlertText text) {
  std::vector<HeldAlert> alerts(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    HeldAlert& a = alerts[static_cast<size_t>(i)];
    a.kind = kind;
    a.host = host_of("web", "8000", i == 0 ? "front" : "");
    a.host.host.format("web%d", i + 1);
    a.error.assign(i == 0 ? "" : "Connection refused");
    a.answered = 1;
    a.time = kStart + 600;
    a.text = text;
  }
  return alerts;
}

// The clear digest: no subject line in the body or card, one clear line a
// host, the kind's colour; the classic digest is untouched.
TEST(AlertTextDigestTest, ClearDigestLines) {
  const struct {
    int32_t kind;
    const char* first;  // "@0": kStart
    const char* second;
    CardTone tone;
  } cases[] = {
      {kDownAlert, "web1:8000 (front): Timeout, down since @0, ping 1 of 3 answered",
       "web2:8000: Connection refused, down since @0, ping 1 of 3 answered", CardTone::kAttention},
      {kRecoveryAlert, "web1:8000 (front): back after 10 min, down since @0",
       "web2:8000: back after 10 min, down since @0", CardTone::kGood},
      {kReminderAlert, "web1:8000 (front): down for 10 min, Timeout, since @0",
       "web2:8000: down for 10 min, Connection refused, since @0", CardTone::kAttention},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const std::vector<HeldAlert> alerts = held(c.kind, 2, AlertText::kClear);
    auto message = new_message();
    compose_digest(alerts.data(), alerts.size(), message.get());
    const std::string lines = at(c.first, {0}) + "\n" + at(c.second, {0});
    EXPECT_EQ(message->body.c_str(), lines + "\n");
    EXPECT_NE(std::string(message->chat_text.c_str()).find(": 2 hosts\n" + lines),
              std::string::npos);
    EXPECT_EQ(message->card_tone, c.tone);

    const std::vector<HeldAlert> classic = held(c.kind, 2, AlertText::kClassic);
    compose_digest(classic.data(), classic.size(), message.get());
    EXPECT_EQ(std::string(message->body.c_str()).rfind(message->subject.c_str(), 0), 0u);
    EXPECT_EQ(message->card_tone, CardTone::kPlain);
  }
}

// A digest too long for its card is cut for the card alone, still without
// the subject as its first line.
TEST(AlertTextDigestTest, CutClearCardKeepsItsShape) {
  std::vector<HeldAlert> alerts = held(kDownAlert, kMaxHosts, AlertText::kClear);
  for (HeldAlert& a : alerts) a.host.description.assign(std::string(100, 'd').c_str());
  auto message = new_message();
  compose_digest(alerts.data(), alerts.size(), message.get());
  const std::string card = message->card_body.c_str();
  ASSERT_FALSE(card.empty());
  EXPECT_EQ(card.rfind("web1:8000 (", 0), 0u);
  EXPECT_NE(card.find("\n... and "), std::string::npos);
  std::string built(kTeamsCardBufferSize, '\0');
  bool cut = true;
  EXPECT_GT(build_teams_card(message->subject.c_str(), message->card_text(), built.data(),
                             built.size(), &cut, message->card_tone),
            0u);
  EXPECT_FALSE(cut);
}

class AlertTextConfigTest : public test::WorkDirTest {};

// The loader takes "clear" and "classic"; anything else keeps the classic
// texts with a note, and "-check" fails it naming its line.
TEST_F(AlertTextConfigTest, LoaderAndCheckReadTheKey) {
  const struct {
    const char* line;  // "" : the key absent
    AlertText loaded;
    const char* note;
    int check_result;
    const char* check_says;
  } cases[] = {
      {"", AlertText::kClassic, "", 1, ""},
      {"alert_text : \"clear\"\n", AlertText::kClear, "", 1, ""},
      {"alert_text : \"classic\"\n", AlertText::kClassic, "", 1, ""},
      {"alert_text : \"Clear\"\n", AlertText::kClassic,
       "alert_text in linkwatch_host.txt must be classic or clear; the classic alert texts are "
       "used\n",
       0, "Line 3: invalid alert_text \"Clear\" (use classic or clear)\n"},
      {"alert_text : \"\"\n", AlertText::kClassic,
       "alert_text in linkwatch_host.txt must be classic or clear; the classic alert texts are "
       "used\n",
       0, "Line 3: invalid alert_text \"\" (use classic or clear)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string text = std::string("interval:\"15\"\nfast_retry_interval:\"3\"\n") + c.line +
                             "host:\"127.0.0.1\"\nport:\"80\"\n";
    test::write_file(kHostFileName, text);
    auto table = std::make_unique<HostTable>();
    MonitorSettings settings;
    {
      test::OutputCapture capture;
      ASSERT_TRUE(load_host_config(table.get(), &settings));
      EXPECT_EQ(capture.out(), c.note);
    }
    EXPECT_EQ(settings.alert_text, c.loaded);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file(kHostFileName, kHostFile), c.check_result);
    if (c.check_result == 0) {
      EXPECT_NE(capture.out().find(c.check_says), std::string::npos) << capture.out();
    }
  }
}

// Renders `card` as a chat host shows it (see tests/render); sets `skip`
// when the renderer is not available here.
std::string render(const std::string& card, std::string* skip) {
  const std::filesystem::path sources = std::filesystem::path(__FILE__).parent_path();
  const char* dir = std::getenv("LW_RENDER_DIR");
  const std::string render_dir = dir ? dir : (sources.parent_path() / "build" / "render").string();
  test::write_file("card.json", card);
  const test::ProgramResult result = test::run_program(
      {(sources / "render" / "render_card.sh").string(), "render", render_dir, "card.json"},
      "/bin/sh");
  if (result.first == 77) *skip = result.second;
  EXPECT_TRUE(result.first == 0 || result.first == 77) << result.second;
  return result.second;
}

class AlertTextCardTest : public test::WorkDirTest {};

// The clear DOWN and RECOVERY cards render, title once, then each fact.
TEST_F(AlertTextCardTest, ClearCardsRender) {
  if (std::strcmp(platform::kSystemName, "Windows") == 0) GTEST_SKIP() << "no Chromium here";
  for (int32_t kind : {kDownAlert, kRecoveryAlert}) {
    auto message = new_message();
    compose(kind, host_of("web_01*", "443", "shop [front] end"), "refused", 720, message.get(),
            AlertText::kClear);
    std::string card(kTeamsCardBufferSize, '\0');
    card.resize(build_teams_card(message->subject.c_str(), message->card_text(), card.data(),
                                 card.size(), nullptr, message->card_tone));
    std::string expected = std::string(message->subject.c_str()) + "\n" + message->body.c_str();
    std::string skip;
    const std::string shown = render(card, &skip);
    if (!skip.empty()) GTEST_SKIP() << skip;
    // The renderer puts each block on its own line.
    std::string lines;
    for (size_t pos = 0; pos < shown.size();) {
      size_t end = shown.find('\n', pos);
      if (end == std::string::npos) end = shown.size();
      std::string line = shown.substr(pos, end - pos);
      line.erase(0, line.find_first_not_of(' '));
      line.erase(line.find_last_not_of(' ') + 1);
      if (!line.empty()) lines += line + "\n";
      pos = end + 1;
    }
    EXPECT_EQ(lines, expected);
  }
}

}  // namespace
}  // namespace lw
