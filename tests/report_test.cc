#include "notify/report.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/platform.h"
#include "support/about.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"

namespace lw {
namespace {

constexpr int64_t kNow = 1740823200;  // any fixed moment

class ReportTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::socket_startup());
    set_clock_for_testing([] { return kNow; });
    char stamp[32];
    format_local_time(kNow, "%Y-%m-%d %H:%M:%S", stamp, sizeof stamp);
    stamp_ = stamp;
    notify_ = test::all_channels();
    notify_.iamalive_enabled = 1;
  }
  void TearDown() override {
    set_clock_for_testing(nullptr);
    platform::close_listener(&full_);
  }

  HostEntry& add_host(const std::string& name, const std::string& port) {
    HostEntry& host = table_.hosts[++table_.host_count];
    host.host.assign(name.c_str());
    host.port.assign(port.c_str());
    host.timeoutsec = 1;
    return host;
  }
  std::string run_report() {  // the last mail file with LF line ends, connect times as T
    run_daily_report(&table_, settings_, notify_);
    const auto commands = commands_.commands();
    const std::string mail = commands.empty() ? "" : commands.back().mail_file.value_or("");
    return std::regex_replace(std::regex_replace(mail, std::regex("\r\n"), "\n"),
                              std::regex("time=[0-9]+\\.[0-9]{2} sec"), "time=T sec");
  }
  std::string mail(const std::string& body) const {  // the message after the headers
    return "Subject: linkwatch is up and running at " + stamp_ +
           "\nMIME-Version: 1.0\nContent-Type: text/plain; "
           "charset=UTF-8\nContent-Transfer-Encoding: "
           "8bit\n\n" +
           body + "\n--- linkwatch from " + kMakerAddress + " ---\n\n";
  }
  std::string message() {  // run_report from its subject line on
    const std::string text = run_report();
    const size_t subject = text.find("Subject: ");
    return subject == std::string::npos ? text : text.substr(subject);
  }
  std::string summary(int total, int success, int failed, const char* rate) const {
    return "\nSummary Report\n==============\nTotal Hosts   : " + std::to_string(total) +
           "\nWorkers       : " + std::to_string(settings_.workers) +
           "\nSuccess       : " + std::to_string(success) +
           "\nFailed        : " + std::to_string(failed) + "\nSuccess Rate  : " + rate +
           "%\nEmail Alert To: " + notify_.to.c_str() + "\n";
  }

  test::CommandRecorder commands_;
  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
  std::string stamp_;        // the report's local time
  platform::Listener full_;  // never accepts, its backlog filled: probes time out
};

// Every channel is on, yet only the mail to iamalive goes out; the alert state stays.
// The lines keep the table's order, also when a slow probe ends after later ones.
TEST_F(ReportTest, MailsEveryHostLineToIamaliveOnly) {
  platform::Listener listener, gone;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &listener) &&
              platform::listen_loopback(0, 1, &gone) && platform::listen_loopback(0, 1, &full_));
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", full_.port, 1, nullptr);
  const std::string open = std::to_string(listener.port), closed = std::to_string(gone.port),
                    silent = std::to_string(full_.port);
  platform::close_listener(&gone);  // nobody listens there any more
  add_host("127.0.0.1", open).alert_sent = 1;
  add_host("127.0.0.1", open);
  add_host("127.0.0.1", closed).fail_count = 1;
  add_host("127.0.0.1", silent);
  add_host("127.0.0.1", "");
  add_host("no-such-host.invalid", "80");

  for (int32_t* enabled : {&notify_.email_enabled, &notify_.iamalive_enabled}) {
    *enabled = 0;
    EXPECT_EQ(run_report(), "");
    *enabled = 1;
  }
  EXPECT_FALSE(test::file_exists(kLogFileName));
  table_.host_count = 3;
  const std::string t = stamp_ + " Port ";
  std::string lines = t + "OK 127.0.0.1:" + open + " time=T sec\n" + t + "OK 127.0.0.1:" + open +
                      " time=T sec\n" + t + "FAIL 127.0.0.1:" + closed + " Connection refused\n";
  EXPECT_EQ(message(), mail(lines + summary(3, 2, 1, "66.67")));
  EXPECT_EQ(commands_.commands().size(), 1u);
  EXPECT_NE(commands_.commands()[0].mail_file->find("\nTo: alive@x.org\r\n"), std::string::npos);
  EXPECT_EQ(test::log_messages().front(), "Sending iamalive scan report with summary");
  EXPECT_EQ(table_.hosts[1].alert_sent, 1);  // no recovery
  EXPECT_EQ(table_.hosts[3].fail_count, 1);  // no counting

  table_.host_count = 6;
  settings_.workers = 6;  // one batch
  lines += t + "FAIL 127.0.0.1:" + silent + " Timeout\n" + t + "FAIL 127.0.0.1:? Invalid port\n" +
           t + "FAIL no-such-host.invalid:80 resolve host failed\n";
  EXPECT_EQ(message(), mail(lines + summary(6, 2, 4, "33.33")));
  platform::close_listener(&listener);
}

// Hosts that time out are probed `workers` at a time, batch after batch.
TEST_F(ReportTest, ProbesInBatchesOfWorkers) {
  ASSERT_TRUE(platform::listen_loopback(0, 1, &full_));
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", full_.port, 1, nullptr);
  for (int i = 0; i < 8; ++i) add_host("127.0.0.1", std::to_string(full_.port));
  settings_.workers = 4;
  const uint64_t start = platform::monotonic_ms();
  EXPECT_NE(run_report().find("Failed        : 8\n"), std::string::npos);
  const uint64_t took = platform::monotonic_ms() - start;
  EXPECT_GE(took, 1900u) << "two batches of 1 s, not one";
  EXPECT_LT(took, 5000u) << "not one host after the other (8 s)";
}

TEST_F(ReportTest, NoHostsAndLinesAndSummaryOnlyWhileTheyFit) {
  EXPECT_EQ(message(), mail(summary(0, 0, 0, "0.00")));
  const std::string name(127, 'n');
  for (int i = 1; i < kMaxHosts; ++i) add_host(name, "abc").resolve_state = kResolved;
  add_host("h", "").resolve_state = kResolved;  // no name service needed
  // Lines that no longer fit are left out, later shorter ones still get in: 185
  // long lines of 175 leave less than 256 + 175 below 32768, not 256 + 47.
  std::string lines;
  for (int i = 0; i < 185; ++i) lines += stamp_ + " Port FAIL " + name + ":abc Invalid port\n";
  lines += stamp_ + " Port FAIL h:? Invalid port\n";
  EXPECT_EQ(message(), mail(lines + summary(255, 0, 255, "0.00")));
  // With this `to` the summary no longer fits below 32768 with 64 to spare.
  notify_.to.assign((std::string(190, 'x') + "@example.com").c_str());
  EXPECT_EQ(message(), mail(lines));
}

}  // namespace
}  // namespace lw
