#include "app/status.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/monitor.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/runner.h"
#include "support/test_env.h"

namespace lw {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The samples of the metrics `text` by series (name{labels}); a series written twice adds "twice:".
std::map<std::string, double> samples_of(const std::string& text) {
  std::map<std::string, double> samples;
  for (const std::string& line : lines_of(text)) {
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = line.rfind(' ');
    const double value = std::strtod(line.c_str() + blank + 1, nullptr);
    if (!samples.emplace(line.substr(0, blank), value).second) samples["twice: " + line] = 0;
  }
  return samples;
}

// promtool's check of the metrics `text` (names, units, escapes), where promtool runs.
void expect_promtool_accepts(const std::string& text) {
  const char* version[] = {"promtool", "--version", nullptr};
  const char* check[] = {"promtool", "check", "metrics", nullptr};
  if (run_command({version, nullptr, true}, 30000) != 0) {
    std::printf("promtool check skipped: no promtool here (or under wine)\n");
    return;
  }
  char out[kCaptureBufferSize];
  EXPECT_EQ(run_command_capture({check, text.c_str(), false}, out, 30000), 0) << out << text;
}

HostEntry host_entry(const char* host, const char* port, int alertcount = 5) {
  HostEntry entry;
  set_host_text(&entry, host);
  set_port_text(&entry, port);
  entry.alertcount = alertcount;
  entry.timeoutsec = 2;
  return entry;
}

class StatusTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    set_silent_mode(true);
    run_.table = &table_;
    run_.settings = &settings_;
    run_.notify = &notify_;
    run_.report = [](HostTable*, auto&, auto&) {};
  }
  void add(const HostEntry& entry) { table_.hosts[++table_.host_count] = entry; }

  HostTable table_;
  MonitorSettings settings_;
  NotifySettings notify_;
  MonitorRun run_;
};

// Two cycles over an answering port, a refusing one (below and at its alert count) and an
// invalid port: each row shows state, error and last connect under its header; the metrics agree.
// Before the keys are set, a cycle writes no status, metrics or temporary file and sends nothing.
TEST_F(StatusTest, TableAndMetricsAfterCycles) {
  test::CommandRecorder recorder;  // the ping of the DOWN alert
  platform::Listener open_port, closed_port;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open_port));
  ASSERT_TRUE(platform::listen_loopback(0, 1, &closed_port));
  const std::string up = std::to_string(open_port.port), down = std::to_string(closed_port.port);
  platform::close_listener(&closed_port);
  add(host_entry("127.0.0.1", up.c_str()));
  add(host_entry("127.0.0.1", down.c_str()));
  add(host_entry("localhost", down.c_str(), 1));
  add(host_entry("127.0.0.1", "abc"));
  table_.hosts[1].description.assign("Web \xC3\xA4 front");
  settings_.workers = 4;
  resolve_all_hosts(&table_);
  run_cycle(run_);
  for (const auto& entry : std::filesystem::directory_iterator(work_dir())) {
    EXPECT_EQ(entry.path().filename(), kLogFileName);
  }
  for (const auto& command : recorder.commands()) EXPECT_EQ(command.argv[0], "ping");
  settings_.status_file = 1;
  settings_.metrics_file.assign("lw.prom");
  settings_.site.assign("dc-1 north");
  run_cycle(run_);
  platform::close_listener(&open_port);

  const std::vector<std::string> lines = lines_of(test::read_file(kStatusFileName));
  ASSERT_GE(lines.size(), 9u);
  EXPECT_NE(lines[2].find("cycle 2"), std::string::npos) << lines[2];
  const std::string& header = lines[4];
  const auto cell = [&](const std::string& row, const char* column, const char* next) {
    const size_t from = header.find(column), to = next ? header.find(next) : std::string::npos;
    std::string text = row.substr(from, to == std::string::npos ? to : to - from);
    return text.erase(text.find_last_not_of(' ') + 1);
  };
  const struct {
    const char* state;  // the start of it
    const char* error;  // "": any
    bool connected;
  } kRows[] = {{"UP", "-", true},
               {"FAILING 2/5", "Connection refused", false},
               {"DOWN since ", "", false},
               {"INVALID", "invalid port \"abc\"", false}};
  for (size_t i = 0; i < 4; ++i) {
    std::string row = lines[5 + i];
    if (i == 0) row.replace(row.find("\xC3\xA4"), 2, "a");  // the header's byte offsets
    EXPECT_EQ(cell(row, "STATE", "LAST CHECK").rfind(kRows[i].state, 0), 0u) << row;
    if (kRows[i].error[0]) {
      EXPECT_EQ(cell(row, "LAST ERROR", "LAST CONNECT"), kRows[i].error);
    }
    EXPECT_EQ(cell(row, "LAST CONNECT", nullptr) != "-", kRows[i].connected) << row;
  }

  std::map<std::string, double> samples = samples_of(test::read_file("lw.prom"));
  const auto series = [](const char* name, const char* host, const std::string& port) {
    return std::string(name) + "{host=\"" + host + "\",port=\"" + port + "\",site=\"dc-1 north\"}";
  };
  const struct {
    const char* name;
    const char* host;
    std::string port;
    double value;
  } kSamples[] = {{"linkwatch_host_up", "127.0.0.1", up, 1},
                  {"linkwatch_host_up", "127.0.0.1", down, 0},
                  {"linkwatch_host_consecutive_failures", "localhost", down, 2},
                  {"linkwatch_host_alerted", "localhost", down, 1},
                  {"linkwatch_host_alerted", "127.0.0.1", down, 0},
                  {"linkwatch_host_down_since_timestamp_seconds", "127.0.0.1", up, 0}};
  for (const auto& s : kSamples) EXPECT_EQ(samples[series(s.name, s.host, s.port)], s.value);
  EXPECT_NEAR(samples[series("linkwatch_host_down_since_timestamp_seconds", "localhost", down)],
              run_.status.first_cycle, 5);
  EXPECT_EQ(samples.count(series("linkwatch_host_connect_seconds", "127.0.0.1", down)), 0u);
  EXPECT_EQ(samples["linkwatch_last_cycle_timestamp_seconds{site=\"dc-1 north\"}"],
            run_.status.last_cycle);
  expect_promtool_accepts(test::read_file("lw.prom"));
}

// A muted host shows its mute's end, one in a maintenance window MAINTENANCE (also when
// DOWN), both linkwatch_host_silenced 1; -status lists the active mutes, ends and reasons.
// Label values that need escapes are escaped; a host and port listed twice gives one series.
TEST_F(StatusTest, SilencedHostsAndEscapedLabels) {
  const struct {
    int32_t silenced;
    int64_t muted_until;
    int32_t alert_sent;
    const char* state;
  } rows[] = {{0, 0, 0, "UP"},
              {1, 0, 0, "MAINTENANCE"},
              {1, 0, 1, "MAINTENANCE"},
              {1, 1765005400, 1, "MUTED until "}};
  for (const auto& r : rows) {
    HostEntry entry = host_entry("127.0.0.1", std::to_string(table_.host_count + 1).c_str());
    entry.resolve_state = kResolved;
    entry.silenced = r.silenced;
    entry.muted_until = r.muted_until;
    entry.alert_sent = r.alert_sent;
    add(entry);
  }
  add(host_entry("we\"ird\\host\nx", "80"));
  add(host_entry("we\"ird\\host\nx", "80"));
  StatusBoard board;
  const std::vector<std::string> lines = lines_of(format_status_table(board, table_, nullptr, 1));
  const std::string metrics = format_metrics(board, table_, nullptr);
  std::map<std::string, double> samples = samples_of(metrics);
  EXPECT_EQ(samples.count(R"(linkwatch_host_up{host="we\"ird\\host\nx",port="80"})"), 1u);
  // 5 series of each of 5 hosts (none connected), the cycle time, 3 channels, up, build info.
  EXPECT_EQ(samples.size(), 5u * 5u + 1u + 3u + 1u + 1u);
  const size_t state_at = lines[4].find("STATE");
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(lines[5 + i].compare(state_at, std::strlen(rows[i].state), rows[i].state), 0)
        << lines[5 + i];
    EXPECT_EQ(samples["linkwatch_host_silenced{host=\"127.0.0.1\",port=\"" + std::to_string(i + 1) +
                      "\"}"],
              rows[i].silenced);
  }
  char end[32];
  format_local_time(1765005400, "%Y-%m-%d %H:%M", end, sizeof end);
  EXPECT_NE(lines[8].find(std::string("MUTED until ") + end), std::string::npos) << lines[8];

  test::write_file(kMuteFileName, "web01:443 1765005400 deploy\ndb 1765000000\nall 99\n");
  test::OutputCapture capture;
  print_active_mutes(1765000000);
  EXPECT_EQ(capture.out(), std::string("\nMuted:\n  web01:443 until ") + end + " (deploy)\n");
}

// A reader while the file is rewritten 200 times sees one whole version each time.
TEST_F(StatusTest, ReaderNeverSeesAHalfFile) {
  const std::string versions[] = {std::string(200000, 'a') + "\nend a\n",
                                  std::string(90000, 'b') + "\nend b\n"};
  ASSERT_TRUE(write_file_atomically("seen.txt", versions[0], false));
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, torn{0};
  std::thread reader([&] {
    while (!done) {
      const std::string text = test::read_file("seen.txt");
      ++reads;
      // Windows may refuse the open for the moment of a rename: no file, not a half one.
      if (!text.empty() && text != versions[0] && text != versions[1]) ++torn;
    }
  });
  int failed = 0;
  for (int i = 0; i < 200; ++i)
    failed += !write_file_atomically("seen.txt", versions[i % 2], false);
  done = true;
  reader.join();
  EXPECT_EQ(torn, 0) << "of " << reads << " reads";
  // Where a rename over a file held open is refused, the writer retries briefly, then fails
  // (the next cycle writes again): a loaded machine may see a few such failures, never most.
  EXPECT_LT(failed, platform::kReplaceRefusedWhileRead ? 100 : 1);
  EXPECT_FALSE(test::file_exists("seen.txt.tmp"));
}

}  // namespace
}  // namespace lw
