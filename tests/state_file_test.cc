// The state file: its text both ways, restarts of a whole run, rewrites cut by kill -9.

#include "app/state_file.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/monitor.h"
#include "notify/dispatch.h"
#include "platform/platform.h"
#include "support/capture.h"
#include "support/clock.h"
#include "support/command_recorder.h"
#include "support/output.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr uint32_t kEmailAndTelegram = 1u << 0 | 1u << 1;

void name_hosts(HostTable* table, int count) {
  table->host_count = count;
  for (int i = 1; i <= count; ++i) {
    table->hosts[i].host.format("h%d", i);
    set_port_text(&table->hosts[i], "80");
  }
}

// A folder of its own; whole runs check a port of 127.0.0.1 and mail to the command recorder.
class StateFileTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    set_silent_mode(true);
    ASSERT_TRUE(platform::socket_startup() && platform::listen_loopback(0, 8, &listener_));
    port_ = listener_.port;
    test::write_file(kNotifyFileName,
                     "server : \"smtp://127.0.0.1:1\"\nemail : \"m@x.org\"\npassword : \"pw\"\n"
                     "to : \"ops@x.org\"\nretry_minutes : \"60\"\n");
    test::write_file(
        kHostFileName,
        "state_file : \"1\"\nstatus_html : \"page.html\"\nalert_text : \"clear\"\nhost : "
        "\"127.0.0.1\"\nalertcount : \"1\"\nport : \"" +
            std::to_string(port_) + "\"\n");
  }
  void TearDown() override { platform::close_listener(&listener_); }
  std::vector<std::string> sends() const {  // the mails so far
    std::vector<std::string> out;
    for (const auto& c : recorder_.commands()) {
      if (c.mail_file) out.push_back(*c.mail_file);
    }
    return out;
  }
  // One run of one cycle; its stop waits (bounded) for `sends_by_then` sends.
  void run_once(size_t sends_by_then) {
    static StateFileTest* self;
    static size_t wanted;
    static int waits;
    self = this, wanted = sends_by_then, waits = 0;
    auto run = std::make_unique<MonitorRun>();
    auto table = std::make_unique<HostTable>();
    MonitorSettings settings;
    NotifySettings notify;
    run->table = table.get(), run->settings = &settings, run->notify = &notify;
    run->wait = [](uint32_t) {
      if (++waits < 2) return false;  // the start delay
      for (int i = 0; i < 400 && self->sends().size() < wanted; ++i) platform::sleep_ms(25);
      return true;
    };
    ASSERT_EQ(run_monitor(*run), 0);
    SavedState saved;  // the status page's history goes on over restarts
    load_state_file(&saved);
    ASSERT_EQ(saved.histories.size(), 1u);
    const ServiceHistory& h = saved.histories[0].history;
    EXPECT_EQ(std::accumulate(h.checks, h.checks + kQuarterCells, 0), ++runs_) << "a check a run";
    EXPECT_EQ(saved.histories[0].since, since_ ? since_ : (since_ = saved.histories[0].since));
    EXPECT_NE(test::read_file("page.html").find("history since"), std::string::npos);
  }
  std::string log() const { return test::read_file(kLogFileName); }

  test::CommandRecorder recorder_;
  platform::Listener listener_;
  uint16_t port_ = 0;
  int runs_ = 0;
  int64_t since_ = 0;
};

// Every field and every byte that needs an escape, with "\n" and "\r\n" line ends. A service
// comes back by host and port, an alerted one seen down before the restart, a held one held;
// what a host with `tls` was told comes back to it, and only to a host with `tls`.
TEST_F(StateFileTest, ServicesAndMessagesComeBackAsWritten) {
  HostTable table;
  name_hosts(&table, 2);
  static_cast<HostState&>(table.hosts[1]) = HostState{0, 1, 0, 700, 0, 500, 0, 0, 0};
  static_cast<HostState&>(table.hosts[2]) = HostState{1, 1, 1000, 1090, 2, 1000, 1060, 0, 1};
  table.hosts[2].tls = TlsMode::kDirect;
  static_cast<HostCert&>(table.hosts[2]) = HostCert{1798399661, 1796707060, {}, 7, 0, 1};
  table.hosts[2].cert_cn.assign("web, \"tab\t\"");
  QueuedMessage m{kDownAlert,
                  "DOWN web01:443 (shop): tab\there \\ back",
                  "line 1\r\nline 2\n\x01\x7f bell \xc3\xa4 done\n",
                  "DOWN\nHost: web01",
                  "card\\n literal",
                  2,
                  1090,
                  {"web01:443", "[::1]:53"},
                  {"web01", "443", "shop", "Connection refused", 1030, 60, 2}};
  const auto fields = [](const QueuedMessage& q) {
    return std::tie(q.kind, q.subject, q.body, q.chat_text, q.card_body, q.card_tone, q.event_time,
                    q.services, q.facts.host, q.facts.port, q.facts.description, q.facts.error,
                    q.facts.since, q.facts.duration, q.facts.ping_answered);
  };
  const auto message = std::make_shared<const QueuedMessage>(m);
  const std::string text =
      format_state_file(1100, format_state_services(table),
                        format_state_messages({{message, kEmailAndTelegram}}, nullptr));
  EXPECT_EQ(text.rfind("linkwatch state 1\nsaved\tat=1100\tlocal=", 0), 0u) << text;
  std::string crlf;
  for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const std::string& file : {text, crlf}) {
    SavedState saved;
    std::string error;
    ASSERT_TRUE(parse_state_file(file.data(), file.size(), &saved, &error)) << error;
    EXPECT_EQ(saved.saved_at, 1100);
    auto back = std::make_unique<HostTable>(), plain = std::make_unique<HostTable>();
    name_hosts(back.get(), 2);
    name_hosts(plain.get(), 2);
    back->hosts[1].tls = back->hosts[2].tls = TlsMode::kSmtp;
    set_port_text(&plain->hosts[1], "81");
    EXPECT_EQ(restore_services(saved, back.get()), 2);
    EXPECT_EQ(restore_services(saved, plain.get()), 1);
    EXPECT_EQ(format_state_services(*back), format_state_services(table));
    EXPECT_EQ(back->hosts[1].down_seen_before_restart, 700);
    EXPECT_EQ(back->hosts[2].down_seen_before_restart, 0) << "held: not told, not seen down";
    EXPECT_EQ(plain->hosts[2].cert_expires, 0) << "a certificate comes back only to a tls host";
    ASSERT_EQ(saved.messages.size(), 1u);
    EXPECT_EQ(saved.messages[0].channels, kEmailAndTelegram);
    EXPECT_EQ(fields(saved.messages[0].message), fields(m));
  }
  EXPECT_NE(
      test::read_file(kLogFileName).find("state of h1:80 dropped: no longer in linkwatch_host.txt"),
      std::string::npos);
}

// Whatever is not a whole file of this version is refused with its line.
TEST_F(StateFileTest, BrokenFilesAreRefusedWithTheirLine) {
  const std::string head = "linkwatch state 1\nsaved\tat=5\n",
                    end = "end\tservices=1\tmessages=0\n";
  const std::string service = "service\thost=a\tport=1\talert_sent=1\n";
  const std::pair<std::string, const char*> cases[] = {
      {"linkwatch state 2\n", "line 1: not"},
      {head + "service\thost=a\\q\tport=1\n" + end, "line 3: bad escape"},
      {head + service, "line 3: no end line"},
      {head + end, "line 3: the counts"},
      {head + "service\thost=a\tcolour=red\tport=1\n" + end, "line 3: unknown field colour"},
      {head + "service\thost=a\tport=1\talert_sent=2\n" + end, "line 3: bad value of alert_sent"},
      {head + "service\thost=" + std::string(kMaxStateLine, 'a') + "\n", "line 3: line too long"},
      {head + service + "cert\thost=a\tport=1\texpires=5\texpired_told=2\n" + end,
       "line 4: bad value of expired_told"},
      {head + service + "cert\thost=a\tport=1\texpires=5\n" + end, "line 5: the counts"},
  };
  for (const auto& [text, message] : cases) {
    SavedState saved;  // nothing half read: fuzz/state_file_fuzz.cc
    std::string error;
    EXPECT_FALSE(parse_state_file(text.data(), text.size(), &saved, &error)) << message;
    EXPECT_EQ(error.rfind(message, 0), 0u) << error << " / " << message;
  }
}

// After a cycle that changed services and on a new message (at the stop: the whole runs).
TEST_F(StateFileTest, TheKeeperWritesChangesOfEitherPart) {
  SavedState none;
  load_state_file(&none);  // no file: no news
  NotifySettings notify = test::all_channels();
  Delivery delivery(&notify);  // not started: nothing is sent
  HostTable table;
  name_hosts(&table, 2);
  StateKeeper keeper;
  ASSERT_TRUE(keeper.start(&delivery));
  keeper.after_cycle(table);
  keeper.after_cycle(table);
  EXPECT_EQ(keeper.writes(), 1u);
  table.hosts[2].fail_count = 1;
  keeper.after_cycle(table);
  EXPECT_EQ(keeper.writes(), 2u);

  auto down = new_message();
  down->kind = kDownAlert;
  down->subject.assign("DOWN h2:80");
  delivery.post(*down, now_seconds());
  EXPECT_TRUE(test::eventually(
      [] {
        return test::read_file(kStateFileName).find("subject=DOWN h2:80") != std::string::npos;
      },
      10000));
  keeper.finish(table, {});
  EXPECT_EQ(test::read_file(kLogFileName).find(kStateFileName), std::string::npos);
}

// A bad file is set aside and the run starts afresh; a DOWN whose send failed for a passing
// reason is kept and goes out late after the next start, unless retry_minutes are over or its
// channel is off; the outage goes on without a second DOWN; one RECOVERY, "while linkwatch
// was stopped".
TEST_F(StateFileTest, AnOutageSpanningRestartsIsToldOnce) {
  platform::close_listener(&listener_);
  const std::string down = "DOWN 127.0.0.1:" + std::to_string(port_),
                    bad = "linkwatch state 1\nsaved\tat=1\nservice\thost=a\n";
  test::write_file(kStateFileName, bad);
  recorder_.set_result(7);  // cannot connect: a passing failure
  run_once(1);
  EXPECT_EQ(test::read_file(kStateBadFileName), bad);
  EXPECT_NE(log().find("linkwatch_state.txt is unusable (line 3: a service without host or "
                       "port): set aside"),
            std::string::npos);
  ASSERT_EQ(sends().size(), 1u) << log();
  EXPECT_NE(sends()[0].find(down), std::string::npos);
  EXPECT_NE(log().find("Email: alert kept for the next start: " + down), std::string::npos);
  // Two more waiting: one older than retry_minutes (60), one for Teams, which is off.
  std::string state = test::read_file(kStateFileName);
  const size_t at = state.find("message\tchannels=email\tkind="), end = state.find('\n', at);
  ASSERT_NE(at, std::string::npos) << state;
  const std::string kept = state.substr(at, end + 1 - at);
  state.insert(end + 1, std::regex_replace(kept, std::regex("event=[0-9]+"), "event=1000") +
                            std::regex_replace(kept, std::regex("=email"), "=teams"));
  test::write_file(kStateFileName,
                   std::regex_replace(state, std::regex("messages=1"), "messages=3"));
  recorder_.set_result(0);
  run_once(2);
  EXPECT_NE(log().find("1 services and 1 waiting alerts taken back"), std::string::npos) << log();
  EXPECT_NE(log().find("not delivered (retry_minutes are over at the start): " + down),
            std::string::npos);
  EXPECT_NE(log().find("not delivered (its channels are off now): " + down), std::string::npos);
  ASSERT_EQ(sends().size(), 2u);
  EXPECT_NE(sends()[1].find(down), std::string::npos);
  EXPECT_NE(sends()[1].find("(delayed; event at "), std::string::npos) << sends()[1];
  EXPECT_EQ(test::read_file(kStateFileName).find("message\t"), std::string::npos);
  EXPECT_EQ(test::count_of(log(), "still DOWN since "), 1u);
  EXPECT_NE(log().find("(before the restart)"), std::string::npos);
  EXPECT_EQ(test::count_of(log(), " - " + down), 1u) << log();

  ASSERT_TRUE(platform::listen_loopback(port_, 8, &listener_)) << "the port was taken meanwhile";
  run_once(3);
  ASSERT_EQ(sends().size(), 3u);
  for (const char* part : {"RECOVERY 127.0.0.1:", "; down between ",
                           "Recovered while linkwatch was stopped: last seen down at "}) {
    EXPECT_NE(sends()[2].find(part), std::string::npos) << sends()[2];
  }
  run_once(3);
  EXPECT_EQ(test::count_of(log(), "RECOVERY 127.0.0.1:"), 1u) << "exactly one RECOVERY";
  EXPECT_EQ(test::count_of(log(), " - " + down), 1u);
}

// The file a start reads after kill -9 amid rewrites is always whole.
TEST_F(StateFileTest, RewritesCutByKillLeaveAWholeFile) {
  constexpr int kKills = 200;
  const std::string tool = test::program_path("lw_testtool").string();
  int kills = 0;
  for (int round = 0; round < kKills; ++round) {
    platform::delete_file("child.pid");
    std::thread child([&tool] {
      const char* argv[] = {tool.c_str(), "state-rewrite", "60", "20000", "child.pid", nullptr};
      platform::RunRequest request;
      request.argv = argv;
      request.discard_output = true;
      request.time_limit_ms = 30000;
      platform::run_process(request);  // not through the recorder's hook
    });
    const uint32_t pid = test::wait_for_pid_file("child.pid");
    if (pid != 0) {
      platform::sleep_ms(static_cast<uint32_t>(round % 7));
      kills += platform::terminate_process(pid) == platform::TerminateResult::kTerminated;
    }
    child.join();
    ASSERT_NE(pid, 0u) << "round " << round;
    const std::string text = test::read_file(kStateFileName);
    SavedState saved;
    std::string error;
    ASSERT_TRUE(parse_state_file(text.data(), text.size(), &saved, &error))
        << "round " << round << ": " << error;
    ASSERT_EQ(saved.services.size(), 60u) << "round " << round;
  }
  EXPECT_GE(kills, kKills * 9 / 10) << "most children were killed while writing";
}

}  // namespace
}  // namespace lw
