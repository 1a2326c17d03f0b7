#include "notify/report.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "support/command_recorder.h"

namespace lw {
namespace {

class ReportTest : public test::WorkDirTest {};

// Only the mail to iamalive goes out, its lines in the table's order (slow
// probes end after later ones), the hosts probed `workers` at a time, batch
// after batch; the alert state stays as it was.
TEST_F(ReportTest, MailsEveryHostLineToIamaliveOnlyProbingInBatches) {
  ASSERT_TRUE(platform::socket_startup());
  // `full` never accepts, its backlog filled: probes of it time out.
  platform::Listener open, gone, full;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open) && platform::listen_loopback(0, 1, &gone) &&
              platform::listen_loopback(0, 1, &full));
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", full.port, 1, nullptr);
  const uint16_t refused = gone.port;
  platform::close_listener(&gone);  // nobody listens there any more
  HostTable table;
  const auto add_host = [&](uint16_t port, const char* text = nullptr) -> HostEntry& {
    HostEntry& host = table.hosts[++table.host_count];
    set_host_text(&host, "127.0.0.1");
    set_port_text(&host, text ? text : std::to_string(port).c_str());
    host.timeoutsec = 1;
    return host;
  };
  std::string lines;
  for (int i = 0; i < 6; ++i) {
    add_host(full.port);
    lines += "Port FAIL 127.0.0.1:" + std::to_string(full.port) + " Timeout\n";
  }
  add_host(open.port).alert_sent = 1;
  add_host(refused).fail_count = 1;
  add_host(0, "18O80");
  lines += "Port OK 127.0.0.1:" + std::to_string(open.port) +
           " time=T\nPort FAIL 127.0.0.1:" + std::to_string(refused) +
           " Connection refused\nPort FAIL 127.0.0.1:18O80 Invalid port\nFailed        : 8\n";
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

// The report reads a host text as the check does: what the system resolver reads as an
// IPv4 address is probed there; text of digits and dots it reads as none is no address.
TEST_F(ReportTest, ShortIPv4FormsAreProbedAsTheCheckProbesThem) {
  ASSERT_TRUE(platform::socket_startup());
  platform::Listener open;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open));
  const std::string port = std::to_string(open.port);
  HostTable table;
  std::string lines;
  const std::pair<const char*, const char*> hosts[] = {{"127.1", " time=T"},
                                                       {"2130706433", " time=T"},
                                                       {"0x7f000001", " time=T"},
                                                       {"192.168.1.300", " Invalid address"}};
  for (const auto& [text, result] : hosts) {
    HostEntry& host = table.hosts[++table.host_count];
    set_host_text(&host, text);
    set_port_text(&host, port.c_str());
    host.timeoutsec = 1;
    lines += std::string(text) + ":" + port + result + "\n";
  }
  MonitorSettings settings;
  NotifySettings notify = test::all_channels();
  notify.iamalive_enabled = 1;
  test::CommandRecorder commands;
  run_daily_report(&table, settings, notify);
  ASSERT_EQ(commands.commands().size(), 1u);
  std::string text = commands.commands()[0].mail_file.value_or("");
  std::string out;
  const std::regex line("Port (OK |FAIL )([^\r]*)\r\n");
  for (std::smatch m; std::regex_search(text, m, line); text = m.suffix()) out += m[2].str() + "\n";
  EXPECT_EQ(std::regex_replace(out, std::regex("time=[0-9]+\\.[0-9]{2} sec"), "time=T"), lines);
  platform::close_listener(&open);
}

}  // namespace
}  // namespace lw
