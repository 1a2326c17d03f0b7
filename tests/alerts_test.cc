// Alerts dispatched at once, digests, the daily report, the notification test, the heartbeat.

#include "notify/alerts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "notify/digest.h"
#include "notify/dispatch.h"
#include "notify/heartbeat.h"
#include "notify/report.h"
#include "notify/selftest.h"
#include "notify/teams_card.h"
#include "notify/telegram.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"

namespace lw {
namespace {

using test::RecordedCommand;

class AlertsRunTest : public test::WorkDirTest {};

// Two alerts at once, each run reading its file late: each upload carries its own text.
TEST_F(AlertsRunTest, SimultaneousAlertsEachKeepTheirOwnText) {
  test::CommandRecorder recorder;
  test::OutputCapture capture;
  recorder.set_delay_ms(50);
  auto raise = [](const char* tag) {
    NotifyMessage m;
    m.kind = kDownAlert;
    m.subject.format("Subject %s", tag);
    m.body.format("Body %s\nnext line", tag);
    m.chat_text.format("Chat %s", tag);
    dispatch_message(m, test::all_channels());
  };
  std::thread first(raise, "first"), second(raise, "second");
  first.join();
  second.join();
  std::multiset<std::string> seen;
  for (const RecordedCommand& c : recorder.commands()) {  // the chat text, or subject then body
    const std::string text = c.input.value_or("") + c.card_file.value_or(c.mail_file.value_or(""));
    for (const std::string tag : {"first", "second"}) {
      const size_t subject = text.find("Subject " + tag), body = text.find("Body " + tag);
      if (text.find("text=Chat%20" + tag) != std::string::npos ||
          (subject < body && body != std::string::npos))
        seen.insert((c.mail_file   ? "mail to " + c.argv.back()
                     : c.card_file ? "teams"
                                   : "telegram") +
                    " " + tag);
    }
  }
  EXPECT_EQ(seen, (std::multiset<std::string>{"mail to a@x.org first", "mail to a@x.org second",
                                              "telegram first", "telegram second", "teams first",
                                              "teams second"}));
  EXPECT_EQ(test::count_of(capture.out(), "Sending Telegram alert now .....\n"), 2u);
}

// Every send failing, in silent mode: each channel says why, all FAILED, exit status 1.
TEST_F(AlertsRunTest, NotificationTestShowsWhyEachChannelFailed) {
  static HostTable table;  // too big for the stack
  test::CommandRecorder recorder;
  recorder.set_result(7);
  recorder.set_answer("000 ", "");
  set_silent_mode(true);
  test::OutputCapture capture;
  EXPECT_EQ(run_notification_test(table, MonitorSettings(), test::all_channels()), 1);
  EXPECT_EQ(
      capture.out(),
      "Testing Email alert...\nEmail test FAILED (curl 7: cannot connect)\n\nTesting Telegram "
      "alert...\nTelegram test FAILED (curl 7: cannot connect)\n\nTesting Microsoft Teams "
      "alert...\nTeams test FAILED (curl 7: cannot connect)\n"
      "\nTest result:\nEmail    : FAILED\nTelegram : FAILED\nTeams    : FAILED\n");
  set_silent_mode(false);
}

// At most one request a minute, the address only on standard input, a
// failure logged once per outage, and a slow service never holds the cycle.
TEST_F(AlertsRunTest, HeartbeatOncePerMinuteSecretOnStdinFailureLoggedOnce) {
  test::CommandRecorder recorder;
  NotifySettings settings;
  settings.heartbeat_url.assign("https://hc.example/ping/5ecret");
  settings.cacert.assign("ca.pem");  // the channels' TLS and proxy settings hold here too
  settings.proxy.assign("http://p:3128");
  Heartbeat heartbeat;
  const std::tuple<int64_t, const char*, size_t> cycles[] = {
      // now, answer, requests in all
      {1000, "200", 1}, {1030, "200", 1}, {1059, "200", 1}, {1060, "500", 2},
      {1120, "500", 3}, {1180, "200", 4}, {1240, "200", 5}};
  for (const auto& [now, codes, requests] : cycles) {
    recorder.set_answer(codes, "");
    heartbeat.after_cycle(settings, now);
    heartbeat.wait();
    EXPECT_EQ(recorder.commands().size(), requests) << "at " << now;
  }
  const RecordedCommand first = recorder.commands().front();
  EXPECT_EQ(std::find(first.argv.begin(), first.argv.end(), "--max-time")[1], kHeartbeatMaxTime);
  EXPECT_EQ(std::find(first.argv.begin(), first.argv.end(), "--cacert")[1], "ca.pem");
  for (const std::string& arg : first.argv) EXPECT_EQ(arg.find("5ecret"), std::string::npos);
  EXPECT_EQ(first.input.value_or(""),
            "url = \"https://hc.example/ping/5ecret\"\nproxy = \"http://p:3128\"\n");
  EXPECT_EQ(test::log_messages(),
            (std::vector<std::string>{
                "Heartbeat failed: HTTP 500 (logged again only after one got through)",
                "Heartbeat delivered again"}));

  recorder.set_delay_ms(1500);
  const uint64_t begin = platform::monotonic_ms();
  heartbeat.after_cycle(settings, 2000);
  EXPECT_LT(platform::monotonic_ms() - begin, 1000u) << "the cycle waited for the request";
  heartbeat.wait();
  EXPECT_EQ(recorder.commands().size(), 6u);
}

constexpr int64_t kDown = 1700000000;

std::vector<HeldAlert> alerts(int32_t kind, int count, const std::string& description) {
  std::vector<HeldAlert> held(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    HeldAlert& a = held[static_cast<size_t>(i)];
    a.kind = kind;
    a.host.host.format("web%d", i + 1);
    a.host.port.format("%d", 8000 + i);
    a.host.description.assign(description.c_str());
    a.host.first_fail_time = a.host.down_since = kDown;
    a.error.assign(i == 0 ? "" : "Connection refused");
    a.answered = 1;
    a.time = kDown + 600;
  }
  return held;
}

// The subject names the first hosts and how many more; each host has one line telling what
// its single alert would. The clear texts leave the subject out of the body and tone the card.
TEST(DigestTest, SubjectAndOneLinePerHost) {
  // Kind, text, hosts, subject, the first host lines, the card's tone.
  const std::tuple<int32_t, AlertText, int, const char*, const char*, CardTone> cases[] = {
      {kDownAlert, AlertText::kClassic, 2, "DOWN: 2 hosts (web1:8000, web2:8001)",
       "web1 8000 (front): Timeout, since @, ping 1 of 3", CardTone::kPlain},
      {kRecoveryAlert, AlertText::kClassic, 5,
       "RECOVERY: 5 hosts (web1:8000, web2:8001, web3:8002, ... and 2 more)",
       "web1 8000 (front): back at #, down since @ (10 min)", CardTone::kPlain},
      {kReminderAlert, AlertText::kClassic, 3,
       "Still DOWN: 3 hosts (web1:8000, web2:8001, web3:8002)",
       "web1 8000 (front): since @ (10 min), Timeout", CardTone::kPlain},
      {kRecoveryAlert, AlertText::kClear, 2, "RECOVERY: 2 hosts (web1:8000, web2:8001)",
       "web1:8000 (front): back after 10 min, down since @\n"
       "web2:8001: back after 10 min, down since @",
       CardTone::kGood},
      {kReminderAlert, AlertText::kClear, 2, "Still DOWN: 2 hosts (web1:8000, web2:8001)",
       "web1:8000 (front): down for 10 min, Timeout, since @\n"
       "web2:8001: down for 10 min, Connection refused, since @",
       CardTone::kAttention},
      {kDownAlert, AlertText::kClear, 2, "DOWN: 2 hosts (web1:8000, web2:8001)",
       "web1:8000 (front): Timeout, down since @, ping 1 of 3 answered\n"
       "web2:8001: Connection refused, down since @, ping 1 of 3 answered",
       CardTone::kAttention}};
  for (const auto& [kind, text, count, subject, first_lines, tone] : cases) {
    SCOPED_TRACE(subject);
    std::vector<HeldAlert> held = alerts(kind, count, "front");
    held[1].host.description.clear();
    for (HeldAlert& a : held) a.text = text;
    auto message = std::make_unique<NotifyMessage>();
    compose_digest(held.data(), held.size(), message.get());
    std::string lines = first_lines;
    for (size_t at; (at = lines.find_first_of("@#")) != std::string::npos;) {
      char time[32];
      format_local_time(lines[at] == '@' ? kDown : kDown + 600, "%Y-%m-%d %H:%M:%S", time, 32);
      lines.replace(at, 1, time);
    }
    const std::string body = message->body.c_str(),
                      head = text == AlertText::kClear ? "" : subject + std::string("\n");
    EXPECT_EQ(message->kind, kind);
    EXPECT_EQ(message->subject.c_str(), std::string(subject));
    EXPECT_EQ(body.substr(0, head.size() + lines.size() + 1), head + lines + "\n");
    EXPECT_EQ(test::count_of(body, "\n"), static_cast<size_t>(count) + !head.empty());
    EXPECT_NE(std::string(message->chat_text.c_str())
                  .find(": " + std::to_string(count) + " hosts\n" + lines),
              std::string::npos)
        << message->chat_text.c_str();
    EXPECT_TRUE(message->card_body.empty()) << "a card that fits takes the body";
    EXPECT_EQ(message->card_tone, tone);
  }
}

// 255 hosts do not fit any channel: each text is cut to its own limit at a whole line, and
// its last line counts the hosts left out; the clear mail and card have no subject line.
TEST(DigestTest, EachChannelCutsToItsLimitWithAndKMore) {
  std::string description;
  while (description.size() < 150) description += ", ";  // grows threefold when encoded
  std::vector<HeldAlert> held = alerts(kDownAlert, 255, description);
  for (const AlertText mode : {AlertText::kClassic, AlertText::kClear}) {
    for (HeldAlert& a : held) a.text = mode;
    const size_t head = mode == AlertText::kClassic;
    auto message = std::make_unique<NotifyMessage>();
    compose_digest(held.data(), held.size(), message.get());
    const std::string card_body = message->card_text();
    const std::tuple<const char*, std::string, size_t, size_t> texts[] = {
        {"mail", message->body.c_str(), message->body.max_length(), head},
        {"telegram", message->chat_text.c_str(), kTelegramMaxTextBytes, 1},
        {"teams", card_body, kTeamsCardMaxBytes, head}};
    std::vector<size_t> shown_by_channel;
    for (const auto& [channel, text, limit, heading] : texts) {
      SCOPED_TRACE(channel + std::string(head ? "" : " clear"));
      EXPECT_LE(text.size() + kDigestNoteRoom, limit);
      std::vector<std::string> lines;
      std::istringstream in(text);
      for (std::string line; std::getline(in, line);) lines.push_back(line);
      const size_t shown = lines.size() - heading - 1;
      EXPECT_EQ(lines.back(), "... and " + std::to_string(255 - shown) + " more");
      const std::string last_host = "web" + std::to_string(shown) + (head ? " " : ":");
      EXPECT_EQ(lines[heading + shown - 1].substr(0, last_host.size()), last_host);
      shown_by_channel.push_back(shown);
    }
    // Mail holds the most lines, then Teams, then Telegram.
    EXPECT_GT(shown_by_channel[0], shown_by_channel[2]);
    EXPECT_GT(shown_by_channel[2], shown_by_channel[1]);
    char encoded[kTelegramTextSize];
    EXPECT_LT(percent_encode(message->chat_text.c_str(), encoded, sizeof encoded),
              sizeof encoded - 4 - 3 * kDigestNoteRoom)
        << "Telegram's text is whole in its request";
    auto card = std::make_unique<char[]>(kTeamsCardBufferSize);
    bool cut = true;
    build_teams_card(message->subject.c_str(), card_body.c_str(), card.get(), kTeamsCardBufferSize,
                     &cut, message->card_tone);
    EXPECT_FALSE(cut) << "the card carries the digest's own cut, not the card's";
  }
}

// Only the mail to iamalive goes out, its lines in the table's order, the hosts probed `workers`
// at a time; the alert state stays; host texts are read as the check reads them.
TEST_F(AlertsRunTest, MailsEveryHostLineToIamaliveOnlyProbingInBatches) {
  ASSERT_TRUE(platform::socket_startup());
  // `full` never accepts, its backlog filled: probes of it time out.
  platform::Listener open, gone, full;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open) && platform::listen_loopback(0, 1, &gone) &&
              platform::listen_loopback(0, 1, &full));
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", full.port, 1, nullptr);
  const std::string up = std::to_string(open.port), refused = std::to_string(gone.port);
  platform::close_listener(&gone);
  HostTable table;
  std::string lines;
  // `failure` empty: the probe answers.
  const auto add_host = [&](const std::string& port, const std::string& failure,
                            const char* name = "127.0.0.1") -> HostEntry& {
    HostEntry& host = table.hosts[++table.host_count];
    set_host_text(&host, name);
    set_port_text(&host, port.c_str());
    host.timeoutsec = 1;
    lines += (failure.empty() ? "Port OK " : "Port FAIL ") + std::string(name) + ":" + port + " " +
             (failure.empty() ? "time=T" : failure) + "\n";
    return host;
  };
  for (int i = 0; i < 6; ++i) add_host(std::to_string(full.port), "Timeout");
  add_host(up, "").alert_sent = 1;
  add_host(refused, "Connection refused").fail_count = 1;
  add_host("18O80", "Invalid port");
  for (const char* name : {"127.1", "2130706433", "0x7f000001"}) add_host(up, "", name);
  add_host(up, "Invalid address", "192.168.1.300");
  lines += "Failed        : 9\n";
  MonitorSettings settings;
  settings.workers = 3;
  NotifySettings notify = test::all_channels();
  notify.iamalive_enabled = 1;
  test::CommandRecorder commands;
  const auto run_report = [&] {  // the mail's host lines and failure count
    run_daily_report(&table, settings, notify);
    std::string text = commands.commands().empty() ? "" : *commands.commands().back().mail_file;
    std::string out;
    const std::regex line("(Port [^\r]*|Failed +: [0-9]+)\r\n");
    for (std::smatch m; std::regex_search(text, m, line); text = m.suffix())
      out += m[1].str() + "\n";
    return std::regex_replace(out, std::regex("time=[0-9]+\\.[0-9]{2} sec"), "time=T");
  };
  for (int32_t* enabled : {&notify.email_enabled, &notify.iamalive_enabled}) {
    *enabled = 0;
    EXPECT_EQ(run_report(), "");
    *enabled = 1;
  }
  const uint64_t start = platform::monotonic_ms();
  EXPECT_EQ(run_report(), lines);
  const uint64_t took = platform::monotonic_ms() - start;
  EXPECT_GE(took, 1900u) << "two batches of 1 s, not one";
  EXPECT_LT(took, 5000u) << "not one host after the other (6 s)";
  ASSERT_EQ(commands.commands().size(), 1u);
  EXPECT_NE(commands.commands()[0].mail_file->find("\nTo: alive@x.org\r\n"), std::string::npos);
  EXPECT_EQ(table.hosts[7].alert_sent, 1);  // no recovery
  EXPECT_EQ(table.hosts[8].fail_count, 1);  // no counting
  // A stop cuts the probes of `full`: a report that says nothing true is not sent.
  platform::request_stop();
  run_daily_report(&table, settings, notify);
  platform::clear_stop_request();
  EXPECT_EQ(commands.commands().size(), 1u);
  platform::close_listener(&open);
  platform::close_listener(&full);
}

}  // namespace
}  // namespace lw
