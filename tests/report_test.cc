#include "notify/report.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "platform/platform.h"
#include "support/clock.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

constexpr int64_t kNow = 1740823200;  // any fixed moment

class ReportTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::socket_startup());
    set_clock_for_testing([] { return kNow; });
    notify_ = test::all_channels();
    notify_.iamalive_enabled = 1;
    // Never accepts, its backlog filled: probes of it time out.
    ASSERT_TRUE(platform::listen_loopback(0, 1, &full_));
    for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", full_.port, 1, nullptr);
  }
  void TearDown() override {
    set_clock_for_testing(nullptr);
    platform::close_listener(&full_);
  }

  HostEntry& add_host(const std::string& port) {
    HostEntry& host = table_.hosts[++table_.host_count];
    host.host.assign("127.0.0.1");
    host.port.assign(port.c_str());
    host.timeoutsec = 1;
    return host;
  }
  std::string run_report() {  // the mail file's host lines and failure count; "" when none
    run_daily_report(&table_, settings_, notify_);
    const auto commands = commands_.commands();
    if (commands.empty()) return "";
    std::string text = commands.back().mail_file.value_or(""), out;
    const std::regex line("(Port [^\r]*|Failed +: [0-9]+)\r\n");
    for (std::smatch m; std::regex_search(text, m, line); text = m.suffix())
      out += m[1].str() + "\n";
    return std::regex_replace(out, std::regex("time=[0-9]+\\.[0-9]{2} sec"), "time=T");
  }

  test::CommandRecorder commands_;
  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
  platform::Listener full_;
};

// Only the mail to iamalive goes out, its lines in the table's order (a slow
// probe ends after later ones); the alert state stays as it was.
TEST_F(ReportTest, MailsEveryHostLineToIamaliveOnly) {
  platform::Listener open, gone;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open) && platform::listen_loopback(0, 1, &gone));
  const std::string up = std::to_string(open.port), closed = std::to_string(gone.port),
                    silent = std::to_string(full_.port);
  platform::close_listener(&gone);  // nobody listens there any more
  add_host(silent);
  add_host(up).alert_sent = 1;
  add_host(closed).fail_count = 1;
  add_host("18O80");
  settings_.workers = 4;
  for (int32_t* enabled : {&notify_.email_enabled, &notify_.iamalive_enabled}) {
    *enabled = 0;
    EXPECT_EQ(run_report(), "");
    *enabled = 1;
  }
  EXPECT_EQ(run_report(), "Port FAIL 127.0.0.1:" + silent + " Timeout\nPort OK 127.0.0.1:" + up +
                              " time=T\nPort FAIL 127.0.0.1:" + closed +
                              " Connection refused\nPort FAIL 127.0.0.1:18O80 Invalid port\n"
                              "Failed        : 3\n");
  ASSERT_EQ(commands_.commands().size(), 1u);
  EXPECT_NE(commands_.commands()[0].mail_file->find("\nTo: alive@x.org\r\n"), std::string::npos);
  EXPECT_EQ(table_.hosts[2].alert_sent, 1);  // no recovery
  EXPECT_EQ(table_.hosts[3].fail_count, 1);  // no counting
  platform::close_listener(&open);
}

// Hosts that time out are probed `workers` at a time, batch after batch.
TEST_F(ReportTest, ProbesInBatchesOfWorkers) {
  for (int i = 0; i < 8; ++i) add_host(std::to_string(full_.port));
  settings_.workers = 4;
  const uint64_t start = platform::monotonic_ms();
  EXPECT_NE(run_report().find("Failed        : 8\n"), std::string::npos);
  const uint64_t took = platform::monotonic_ms() - start;
  EXPECT_GE(took, 1900u) << "two batches of 1 s, not one";
  EXPECT_LT(took, 5000u) << "not one host after the other (8 s)";
}

}  // namespace
}  // namespace lw
