#include "notify/report.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/about.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

// What one command handed to the runner looked like, with the mail file as
// it stood at the moment of the call.
struct RecordedCommand {
  std::vector<std::string> argv;
  std::string input;
  bool had_mail_file = false;
  std::string mail_file;
};

std::vector<RecordedCommand>* g_commands = nullptr;

int record_command(void*, const Command& command, char*) {
  RecordedCommand rec;
  for (const char* const* a = command.argv; a != nullptr && *a != nullptr; ++a) {
    rec.argv.emplace_back(*a);
  }
  if (command.input != nullptr) rec.input = command.input;
  rec.had_mail_file = test::file_exists("mailtext.txt");
  if (rec.had_mail_file) rec.mail_file = test::read_file("mailtext.txt");
  g_commands->push_back(rec);
  return 0;
}

int64_t g_now = 0;
int64_t test_clock() { return g_now; }

int64_t local_time_of(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

// A port on 127.0.0.1 that nobody listens on: bound once, then released.
uint16_t closed_loopback_port() {
  platform::Listener listener;
  if (!platform::listen_loopback(0, 1, &listener)) return 0;
  const uint16_t port = listener.port;
  platform::close_listener(&listener);
  return port;
}

std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// The measured connect time varies; everything else in a line does not.
std::string without_connect_times(const std::string& text) {
  return std::regex_replace(text, std::regex("time=[0-9]+\\.[0-9]{2} sec"), "time=T sec");
}

std::vector<std::string> mail_recipients(const RecordedCommand& command) {
  std::vector<std::string> out;
  for (size_t i = 0; i + 1 < command.argv.size(); ++i) {
    if (command.argv[i] == "--mail-rcpt") out.push_back(command.argv[i + 1]);
  }
  return out;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) {
    ++n;
  }
  return n;
}

const char kReportTime[] = "2025-03-01 10:00:00";

class ReportTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::socket_startup());
    g_commands = &commands_;
    set_command_hook_for_testing(&record_command, nullptr);
    g_now = local_time_of(2025, 3, 1, 10, 0, 0);
    set_clock_for_testing(&test_clock);

    notify_.server.assign("smtps://smtp.example.com:465");
    notify_.email.assign("monitor@example.com");
    notify_.password.assign("secret");
    notify_.from.assign("alerts@example.com");
    notify_.to.assign("ops@example.com");
    notify_.iamalive.assign("alive1@example.com, alive2@example.com");
    notify_.email_enabled = 1;
    notify_.iamalive_enabled = 1;
    settings_.workers = 4;
  }

  void TearDown() override {
    set_command_hook_for_testing(nullptr, nullptr);
    set_clock_for_testing(nullptr);
    g_commands = nullptr;
  }

  HostEntry* add_host(const char* name, const char* port) {
    HostEntry& host = table_.hosts[++table_.host_count];
    host.host.assign(name);
    host.port.assign(port);
    host.timeoutsec = 5;
    host.alertcount = 3;
    return &host;
  }

  // Runs the report and returns the body of the one mail it sent.
  std::string report_body() {
    test::OutputCapture capture;
    run_daily_report(&table_, settings_, notify_);
    if (commands_.size() != 1 || !commands_[0].had_mail_file) {
      ADD_FAILURE() << "expected one mail, got " << commands_.size() << " commands";
      return "";
    }
    const std::string& mail = commands_[0].mail_file;
    const size_t start = mail.find("\r\n\r\n");
    if (start == std::string::npos) return "";
    std::string body = mail.substr(start + 4);
    std::string plain;
    for (size_t i = 0; i < body.size(); ++i) {
      if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') continue;
      plain += body[i];
    }
    // The mail file adds one line end after the body.
    if (!plain.empty() && plain.back() == '\n') plain.pop_back();
    return plain;
  }

  std::string summary(int total, int success, int failed, const char* rate) {
    return "\nSummary Report\n==============\nTotal Hosts   : " + std::to_string(total) +
           "\nWorkers       : " + std::to_string(settings_.workers) +
           "\nSuccess       : " + std::to_string(success) +
           "\nFailed        : " + std::to_string(failed) + "\nSuccess Rate  : " + rate +
           "%\nEmail Alert To: " + notify_.to.c_str() + "\n";
  }

  static std::string footer() {
    return std::string("\n--- linkwatch from ") + kMakerAddress + " ---\n";
  }

  std::vector<RecordedCommand> commands_;
  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
};

TEST_F(ReportTest, MailsTheWholeReportToIamaliveOnly) {
  platform::Listener listener;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &listener));
  const std::string open_port = std::to_string(listener.port);
  const std::string closed_port = std::to_string(closed_loopback_port());

  // Every channel is configured: the report must still go by e-mail only.
  notify_.token.assign("123:abc");
  notify_.chat_id.assign("42");
  notify_.telegram_enabled = 1;
  notify_.teams_webhook.assign("https://teams.example.com/hook");
  notify_.teams_enabled = 1;

  add_host("127.0.0.1", open_port.c_str());
  add_host("localhost-by-address", open_port.c_str());
  table_.hosts[2].resolve_state = kResolved;  // resolved earlier: not again
  table_.hosts[2].resolved_ip.assign("127.0.0.1");
  add_host("127.0.0.1", closed_port.c_str());

  {
    test::OutputCapture capture;
    run_daily_report(&table_, settings_, notify_);
  }
  platform::close_listener(&listener);

  ASSERT_EQ(commands_.size(), 1u) << "only the e-mail command may run";
  const RecordedCommand& mail = commands_[0];
  ASSERT_FALSE(mail.argv.empty());
  EXPECT_EQ(mail.argv[0], "curl");
  EXPECT_EQ(mail_recipients(mail),
            (std::vector<std::string>{"alive1@example.com", "alive2@example.com"}));
  ASSERT_TRUE(mail.had_mail_file);

  const std::string body = std::string(kReportTime) + " Port OK 127.0.0.1:" + open_port +
                           " time=T sec\n" + kReportTime +
                           " Port OK localhost-by-address:" + open_port + " time=T sec\n" +
                           kReportTime + " Port FAIL 127.0.0.1:" + closed_port +
                           " Connection refused\n" + summary(3, 2, 1, "66.67") + footer();
  const std::string expected = crlf(
      "From: alerts@example.com\nTo: alive1@example.com, alive2@example.com\n"
      "Subject: linkwatch is up and running at " +
      std::string(kReportTime) + "\nContent-Type: text/plain; charset=UTF-8\n\n" + body + "\n");
  EXPECT_EQ(without_connect_times(mail.mail_file), expected);

  EXPECT_FALSE(test::file_exists("mailtext.txt"));
  EXPECT_FALSE(test::file_exists("teamsmsg.json"));
  const std::string log = test::read_file(kLogFileName);
  EXPECT_NE(log.find(" - Sending iamalive scan report with summary"), std::string::npos) << log;
  EXPECT_EQ(table_.hosts[1].resolve_state, kResolved);
  EXPECT_EQ(table_.hosts[1].resolved_ip, "127.0.0.1");
}

TEST_F(ReportTest, HostLinesForPortsAndNamesThatCannotBeProbed) {
  add_host("127.0.0.1", "");       // no port at all
  add_host("127.0.0.1", "abc");    // not a number
  add_host("127.0.0.1", "70000");  // beyond 16 bits
  HostEntry* bad_name_bad_port = add_host("no-such-host.invalid", "0");
  HostEntry* bad_name = add_host("no-such-host.invalid", "80");
  HostEntry* empty_name = add_host("", "80");

  const std::string body = report_body();
  const std::string t = kReportTime;
  EXPECT_EQ(body, t + " Port FAIL 127.0.0.1:? Invalid port\n" + t +
                      " Port FAIL 127.0.0.1:abc Invalid port\n" + t +
                      " Port FAIL 127.0.0.1:70000 Invalid port\n" + t +
                      " Port FAIL no-such-host.invalid:0 Invalid port\n" + t +
                      " Port FAIL no-such-host.invalid:80 resolve host failed\n" + t +
                      " Port FAIL :80 resolve host failed\n" + summary(6, 0, 6, "0.00") + footer());

  // An invalid port does not spare the resolution; a failed one is recorded.
  EXPECT_EQ(bad_name_bad_port->resolve_state, kResolveFailed);
  EXPECT_EQ(bad_name->resolve_state, kResolveFailed);
  EXPECT_EQ(bad_name->resolved_ip, "");
  EXPECT_EQ(table_.hosts[1].resolve_state, kResolved);
  // An empty name is never looked up.
  EXPECT_EQ(empty_name->resolve_state, kNotResolved);
}

TEST_F(ReportTest, UnansweredHostIsReportedAsTimeout) {
  // A listener that never accepts, its small backlog filled first: further
  // connection attempts get no answer at all.
  platform::Listener listener;
  ASSERT_TRUE(platform::listen_loopback(0, 1, &listener));
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", listener.port, 1, nullptr);
  const std::string port = std::to_string(listener.port);
  add_host("127.0.0.1", port.c_str())->timeoutsec = 1;

  const std::string body = report_body();
  platform::close_listener(&listener);
  EXPECT_EQ(body, std::string(kReportTime) + " Port FAIL 127.0.0.1:" + port + " Timeout\n" +
                      summary(1, 0, 1, "0.00") + footer());
}

TEST_F(ReportTest, LeavesTheAlertStateOfEveryHostAlone) {
  const std::string closed_port = std::to_string(closed_loopback_port());
  HostEntry* down = add_host("127.0.0.1", closed_port.c_str());
  down->fail_count = 1;
  down->alert_sent = 1;
  down->first_fail_time = 1000;
  down->last_fail_time = 2000;
  HostEntry* counting = add_host("127.0.0.1", closed_port.c_str());
  counting->fail_count = 2;
  counting->first_fail_time = 3000;
  counting->last_fail_time = 4000;

  report_body();

  EXPECT_EQ(down->fail_count, 1);
  EXPECT_EQ(down->alert_sent, 1);
  EXPECT_EQ(down->first_fail_time, 1000);
  EXPECT_EQ(down->last_fail_time, 2000);
  EXPECT_EQ(counting->fail_count, 2);
  EXPECT_EQ(counting->alert_sent, 0);
  EXPECT_EQ(counting->first_fail_time, 3000);
  EXPECT_EQ(counting->last_fail_time, 4000);
  // No DOWN alert was raised from the report's probes.
  const std::string log = test::read_file(kLogFileName);
  EXPECT_EQ(log.find("Alert for"), std::string::npos) << log;
}

TEST_F(ReportTest, NoHostsGivesOnlyTheSummaryAndFooter) {
  EXPECT_EQ(report_body(), summary(0, 0, 0, "0.00") + footer());
}

// Many hosts with long names: lines that no longer fit are left out, later
// shorter ones still get in, and the summary and footer follow their rules.
class ReportRoomTest : public ReportTest {
 protected:
  void fill_table() {
    const std::string long_name(127, 'n');
    for (int i = 1; i < kMaxHosts; ++i) {
      HostEntry* host = add_host(long_name.c_str(), "abc");
      host->resolve_state = kResolved;  // no name service needed
      host->resolved_ip.assign("127.0.0.1");
    }
    add_host("h", "")->resolve_state = kResolved;
  }
  // Each long line: 19 + 11 + 127 + 1 + 3 + 14 = 175 characters. 185 of them
  // (32375) leave less than 256 + 175 below 32768; the short last line (47)
  // still fits.
  std::string expected_lines() const {
    std::string lines;
    const std::string long_line =
        std::string(kReportTime) + " Port FAIL " + std::string(127, 'n') + ":abc Invalid port\n";
    for (int i = 0; i < 185; ++i) lines += long_line;
    lines += std::string(kReportTime) + " Port FAIL h:? Invalid port\n";
    return lines;
  }
};

TEST_F(ReportRoomTest, SummaryKeptWhileItFits) {
  fill_table();
  const std::string body = report_body();
  EXPECT_EQ(count_of(body, "Invalid port\n"), 186);
  EXPECT_EQ(body, expected_lines() + summary(255, 0, 255, "0.00") + footer());
}

TEST_F(ReportRoomTest, SummaryDroppedWhenTooLongButFooterKept) {
  fill_table();
  // The summary with this `to` no longer fits below 32768 with 64 to spare.
  notify_.to.assign((std::string(190, 'x') + "@example.com").c_str());
  const std::string body = report_body();
  EXPECT_EQ(body, expected_lines() + footer());
}

TEST_F(ReportTest, SkippedWithoutEmailOrWithoutAliveRecipients) {
  add_host("127.0.0.1", "80");
  for (int variant = 0; variant < 2; ++variant) {
    SCOPED_TRACE(variant);
    NotifySettings notify = notify_;
    if (variant == 0) notify.email_enabled = 0;
    if (variant == 1) notify.iamalive_enabled = 0;
    test::OutputCapture capture;
    run_daily_report(&table_, settings_, notify);
    EXPECT_TRUE(commands_.empty());
    EXPECT_EQ(capture.out(), "");
    EXPECT_FALSE(test::file_exists(kLogFileName));
    EXPECT_FALSE(test::file_exists("mailtext.txt"));
    // Not even resolved.
    EXPECT_EQ(table_.hosts[1].resolve_state, kNotResolved);
  }
}

}  // namespace
}  // namespace lw
