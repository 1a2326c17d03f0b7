// The state file: its text both ways, what a bad file comes to, what the
// delivery hands over and takes back, restarts of a whole run, and rewrites
// cut by kill -9.

#include "app/state_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
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

QueuedMessage tricky_message(int64_t event) {
  QueuedMessage m;
  m.kind = kDownAlert;
  m.subject = "DOWN web01:443 (shop): tab\there \\ back";
  m.body = "line 1\r\nline 2\n\x01\x7f bell \xc3\xa4 done\n";
  m.chat_text = "DOWN\nHost: web01";
  m.card_body = "card\\n literal";
  m.card_tone = 2;
  m.event_time = event;
  m.services = {"web01:443", "[::1]:53"};
  m.facts = {"web01", "443", "shop", "Connection refused", event - 60, 60, 2};
  return m;
}

void expect_same(const QueuedMessage& a, const QueuedMessage& b) {
  EXPECT_EQ(a.kind, b.kind);
  EXPECT_EQ(a.subject, b.subject);
  EXPECT_EQ(a.body, b.body);
  EXPECT_EQ(a.chat_text, b.chat_text);
  EXPECT_EQ(a.card_body, b.card_body);
  EXPECT_EQ(a.card_tone, b.card_tone);
  EXPECT_EQ(a.event_time, b.event_time);
  EXPECT_EQ(a.services, b.services);
  EXPECT_EQ(a.facts.host + a.facts.port + a.facts.description + a.facts.error,
            b.facts.host + b.facts.port + b.facts.description + b.facts.error);
  EXPECT_EQ(a.facts.since, b.facts.since);
  EXPECT_EQ(a.facts.duration, b.facts.duration);
  EXPECT_EQ(a.facts.ping_answered, b.facts.ping_answered);
}

void name_hosts(HostTable* table, int count) {
  table->host_count = count;
  for (int i = 1; i <= count; ++i) {
    table->hosts[i].host.format("h%d", i);
    set_port_text(&table->hosts[i], "80");
  }
}

// Every field comes back as written, texts with every byte that needs an
// escape included, with "\n" and with "\r\n" line ends.
TEST(StateFileText, ServicesAndMessagesComeBackAsWritten) {
  HostTable table;
  name_hosts(&table, 2);
  HostState& down = table.hosts[2];
  down = HostState{1, 1, 1000, 1090, 2, 1000, 1060, 0};
  down.held = 1;  // a DOWN a maintenance window kept back
  const auto message = std::make_shared<const QueuedMessage>(tricky_message(1090));
  const std::string text =
      format_state_file(1100, format_state_services(table),
                        format_state_messages({{message, kEmailAndTelegram}}, nullptr));
  EXPECT_EQ(text.rfind("linkwatch state 1\nsaved\tat=1100\tlocal=", 0), 0u) << text;
  for (const bool crlf : {false, true}) {
    std::string file = text;
    if (crlf) {
      file.clear();
      for (const char c : text) file += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    SavedState saved;
    std::string error;
    ASSERT_TRUE(parse_state_file(file.data(), file.size(), &saved, &error)) << error;
    EXPECT_EQ(saved.saved_at, 1100);
    ASSERT_EQ(saved.services.size(), 2u);
    EXPECT_EQ(saved.services[1].host + ":" + saved.services[1].port, "h2:80");
    const HostState& s = saved.services[1].state;
    EXPECT_TRUE(s.fail_count == 1 && s.alert_sent == 1 && s.first_fail_time == 1000 &&
                s.last_fail_time == 1090 && s.recover_streak == 2 && s.down_since == 1000 &&
                s.last_reminder == 1060 && s.held == 1);
    ASSERT_EQ(saved.messages.size(), 1u);
    EXPECT_EQ(saved.messages[0].channels, kEmailAndTelegram);
    expect_same(saved.messages[0].message, *message);
  }
}

// Whatever is not a whole file of this version is refused with its line.
TEST(StateFileText, BrokenFilesAreRefusedWithTheirLine) {
  const std::string head = "linkwatch state 1\nsaved\tat=5\n";
  const std::string service = "service\thost=a\tport=1\talert_sent=1\n";
  const std::string end = "end\tservices=1\tmessages=0\n";
  const struct {
    std::string text;
    const char* error;
  } cases[] = {
      {"", "line 0: no version"},
      {"linkwatch state 2\n", "line 1: not"},
      {head + service, "line 3: no end line"},
      {head + service + "end\tservices=1\tmessages=0", "line 4: no line end"},
      {head + service + end + service, "line 5: text after the end line"},
      {head + end, "line 3: the counts"},
      {head + "service\thost=a\tport=1\talert_sent=2\n" + end, "line 3: bad value of alert_sent"},
      {head + "service\thost=a\tport=1\tfail_count=1x\n" + end, "line 3: bad value of fail_count"},
      {head + "service\thost=a\tcolour=red\tport=1\n" + end, "line 3: unknown field colour"},
      {head + "service\tport=1\n" + end, "line 3: a service without host"},
      {head + "service\thost=a\\q\tport=1\n" + end, "line 3: bad escape"},
      {head + "service\thost=a\\x4\tport=1\n" + end, "line 3: bad escape"},
      {head + "service\thost=a\tport=1\tnoequals\n" + end, "line 3: a field without a name"},
      {head + "message\tchannels=fax\tevent=1\n" + end, "line 3: bad value of channels"},
      {head + "message\tchannels=email\n" + end, "line 3: a message without channels or event"},
      {head + "gossip\n" + end, "line 3: unknown record gossip"},
      {head + "service\thost=a\x01\tport=1\n" + end, "line 3: a control byte not escaped"},
      {head + "service\thost=" + std::string(kMaxStateLine, 'a') + "\n", "line 3: line too long"},
      {"linkwatch state 1\nservice\thost=a\tport=1\n", "line 2: no saved line"},
  };
  for (const auto& c : cases) {
    SavedState saved;
    saved.saved_at = 9;
    std::string error;
    EXPECT_FALSE(parse_state_file(c.text.data(), c.text.size(), &saved, &error)) << c.error;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << error << " / " << c.error;
    EXPECT_TRUE(saved.saved_at == 0 && saved.services.empty()) << "nothing half read";
  }
}

class StateFileTest : public test::WorkDirTest {
 protected:
  void SetUp() override { set_silent_mode(true); }
};

// A missing file starts afresh in silence; a bad one is set aside as .bad,
// said so, and the run starts afresh.
TEST_F(StateFileTest, ABadFileIsSetAsideAndTheRunStartsAfresh) {
  test::OutputCapture capture;
  SavedState saved;
  load_state_file(&saved);
  EXPECT_TRUE(saved.services.empty());
  EXPECT_FALSE(test::file_exists("linkwatch_log.txt"));

  test::write_file(kStateFileName, "linkwatch state 1\nsaved\tat=1\nservice\thost=a\n");
  load_state_file(&saved);
  EXPECT_TRUE(saved.services.empty());
  EXPECT_FALSE(test::file_exists(kStateFileName));
  EXPECT_EQ(test::read_file(kStateBadFileName),
            "linkwatch state 1\nsaved\tat=1\nservice\thost=a\n");
  EXPECT_NE(test::read_file("linkwatch_log.txt")
                .find("linkwatch_state.txt is unusable (line 3: a "
                      "service without host or port): set aside"),
            std::string::npos);
}

// A restored service takes its state back by host and port; an alerted one
// is marked as seen down before the restart; a service gone from the host
// file is dropped with a log line.
TEST_F(StateFileTest, ServicesTakeTheirStateBackByHostAndPort) {
  HostTable before;
  name_hosts(&before, 3);
  before.hosts[1].alert_sent = 1;
  before.hosts[1].down_since = 500;
  before.hosts[1].last_fail_time = 700;
  before.hosts[3].fail_count = 2;
  const std::string text = format_state_file(800, format_state_services(before), "");
  SavedState saved;
  std::string error;
  ASSERT_TRUE(parse_state_file(text.data(), text.size(), &saved, &error)) << error;

  HostTable after;
  name_hosts(&after, 2);                 // h1, h2
  set_port_text(&after.hosts[2], "81");  // h2:81 is new
  after.hosts[2].fail_count = 0;
  EXPECT_EQ(restore_services(saved, &after), 1);
  EXPECT_EQ(after.hosts[1].alert_sent, 1);
  EXPECT_EQ(after.hosts[1].down_since, 500);
  EXPECT_EQ(after.hosts[1].down_seen_before_restart, 700);
  EXPECT_EQ(after.hosts[2].fail_count, 0);
  const std::string log = test::read_file("linkwatch_log.txt");
  EXPECT_NE(log.find("state of h2:80 dropped: no longer in linkwatch_host.txt"), std::string::npos);
  EXPECT_NE(log.find("state of h3:80 dropped"), std::string::npos);

  // A DOWN a maintenance window kept back comes back as kept back, not as
  // "still DOWN (before the restart)": it is told when the host is seen.
  before.hosts[1].held = 1;
  const std::string held = format_state_file(800, format_state_services(before), "");
  SavedState saved_held;
  ASSERT_TRUE(parse_state_file(held.data(), held.size(), &saved_held, &error)) << error;
  HostTable again;
  name_hosts(&again, 1);
  EXPECT_EQ(restore_services(saved_held, &again), 1);
  EXPECT_EQ(again.hosts[1].held, 1);
  EXPECT_EQ(again.hosts[1].down_seen_before_restart, 0);
}

// The delivery lists what it holds, each message once with its channels,
// and takes saved messages back: they go as late messages, unless their
// retry_minutes are over.
TEST_F(StateFileTest, DeliveryHandsOverAndTakesBackWaitingMessages) {
  NotifySettings notify = test::all_channels();
  notify.teams_enabled = 0;
  notify.retry_minutes = 10;
  Delivery before(&notify);
  auto down = new_message();
  down->kind = kDownAlert;
  down->subject.assign("DOWN a:1");
  down->services = {"a:1"};
  const uint64_t changes = before.change_count();
  before.post(*down, now_seconds() - 30);
  EXPECT_GT(before.change_count(), changes);
  std::vector<HeldMessage> held = before.held_messages();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].channels, kEmailAndTelegram);

  const std::string text = format_state_file(1, "", format_state_messages(held, nullptr));
  SavedState saved;
  std::string error;
  ASSERT_TRUE(parse_state_file(text.data(), text.size(), &saved, &error)) << error;
  saved.messages.push_back(saved.messages[0]);
  saved.messages[1].message.subject = "DOWN old";
  saved.messages[1].message.event_time = now_seconds() - 11 * 60;
  saved.messages[1].channels = 1u << 1;
  saved.messages.push_back(saved.messages[0]);
  saved.messages[2].message.subject = "DOWN teams";
  saved.messages[2].channels = 1u << 2;  // Teams is off now

  Delivery after(&notify);
  static std::vector<std::string> sent;
  sent.clear();
  after.set_send_for_testing(
      [](void*, Channel channel, const NotifySettings&, const QueuedMessage& m, SendOutcome* out) {
        sent.push_back(std::string(channel_name(channel)) + " " + m.subject);
        out->attempted = out->delivered = true;
      },
      nullptr);
  EXPECT_EQ(restore_messages(saved, notify.retry_minutes, now_seconds(), &after), 1);
  EXPECT_EQ(after.held_messages().size(), 1u);
  after.run_due();
  ASSERT_EQ(sent.size(), 2u);
  for (const std::string& s : sent) {
    EXPECT_NE(s.find("DOWN a:1 (delayed; event at "), std::string::npos) << s;
  }
  EXPECT_NE(test::read_file("linkwatch_log.txt")
                .find("alert not delivered (retry_minutes are over at the start): DOWN old"),
            std::string::npos);
  EXPECT_NE(test::read_file("linkwatch_log.txt")
                .find("alert not delivered (its channels are off now): DOWN teams"),
            std::string::npos);
  EXPECT_TRUE(after.held_messages().empty());
}

// The keeper writes the services after a cycle that changed them (not after
// one that did not) and, on its own, a new waiting message soon after it
// was posted; the stop writes what the delivery handed over.
TEST_F(StateFileTest, TheKeeperWritesChangesOfEitherPart) {
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
  bool written = false;
  for (int i = 0; i < 500 && !written; ++i) {  // well within a second, given 10 s here
    written = test::read_file(kStateFileName).find("subject=DOWN h2:80") != std::string::npos;
    if (!written) platform::sleep_ms(20);
  }
  EXPECT_TRUE(written);

  std::vector<HeldMessage> kept;
  delivery.stop(&kept);
  EXPECT_EQ(kept.size(), 1u);
  keeper.finish(table, {});
  const std::string text = test::read_file(kStateFileName);
  EXPECT_EQ(text.find("message\t"), std::string::npos) << "the stop writes what it is given";
  EXPECT_NE(text.find("service\thost=h2\tport=80\talert_sent=0\tfail_count=1"), std::string::npos);
}

// ---- Whole runs --------------------------------------------------------

// Runs of run_monitor on the files of the working folder, the real checks
// of 127.0.0.1, Telegram through the command recorder.
class StateRestartTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    set_silent_mode(true);
    ASSERT_TRUE(platform::socket_startup());
    ASSERT_TRUE(platform::listen_loopback(0, 8, &listener_));
    port_ = listener_.port;
    test::write_file(kNotifyFileName,
                     "token : \"1:T\"\nchat_id : \"42\"\nretry_minutes : \"60\"\n");
    test::write_file(kHostFileName,
                     "state_file : \"1\"\nalert_text : \"clear\"\n"
                     "host : \"127.0.0.1\"\nalertcount : \"1\"\nport : \"" +
                         std::to_string(port_) + "\"\n");
  }
  void TearDown() override { close_listener(); }
  void close_listener() {
    if (listener_.handle != -1) platform::close_listener(&listener_);
    listener_.handle = -1;
  }

  // Telegram sends recorded so far: their curl texts, percent escapes undone.
  std::vector<std::string> sends() const {
    std::vector<std::string> out;
    for (const auto& c : recorder_.commands()) {
      if (c.argv[0].find("curl") == std::string::npos || !c.input) continue;
      std::string text;
      const std::string& in = *c.input;
      for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '%' && i + 2 < in.size()) {
          text += static_cast<char>(std::stoi(in.substr(i + 1, 2), nullptr, 16));
          i += 2;
        } else {
          text += in[i];
        }
      }
      out.push_back(text);
    }
    return out;
  }
  // One run of one cycle; its stop waits (bounded) until `sends_by_then`
  // Telegram sends were made.
  void run_once(size_t sends_by_then) {
    static StateRestartTest* self;
    static size_t wanted;
    static int waits;
    self = this;
    wanted = sends_by_then;
    waits = 0;
    auto run_ptr = std::make_unique<MonitorRun>();
    auto table = std::make_unique<HostTable>();
    auto settings = std::make_unique<MonitorSettings>();
    auto notify = std::make_unique<NotifySettings>();
    MonitorRun& run = *run_ptr;
    run.table = table.get();
    run.settings = settings.get();
    run.notify = notify.get();
    run.wait = [](uint32_t) {
      if (++waits < 2) return false;  // the start delay
      for (int i = 0; i < 400 && self->sends().size() < wanted; ++i) platform::sleep_ms(25);
      return true;
    };
    ASSERT_EQ(run_monitor(run), 0);
    ASSERT_TRUE(test::file_exists(kStateFileName));
  }
  static size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
  std::string log() const { return test::read_file("linkwatch_log.txt"); }

  test::CommandRecorder recorder_;
  platform::Listener listener_;
  uint16_t port_ = 0;
};

// Down, restart while still down: no second DOWN, the "before the restart"
// line; restart once it is up: exactly one RECOVERY, which says it came while
// linkwatch was stopped.
TEST_F(StateRestartTest, AnOutageSpanningRestartsIsToldOnce) {
  close_listener();  // nobody answers on the port now
  const std::string down = "DOWN 127.0.0.1:" + std::to_string(port_);
  run_once(1);
  ASSERT_EQ(sends().size(), 1u) << log();
  EXPECT_NE(sends()[0].find(down), std::string::npos);

  run_once(1);
  EXPECT_EQ(count(log(), down), 1u) << log();
  EXPECT_EQ(count(log(), "still DOWN since "), 1u);
  EXPECT_NE(log().find("(before the restart)"), std::string::npos);
  EXPECT_EQ(sends().size(), 1u);

  ASSERT_TRUE(platform::listen_loopback(port_, 8, &listener_)) << "the port was taken meanwhile";
  run_once(2);
  ASSERT_EQ(sends().size(), 2u);
  EXPECT_NE(sends()[1].find("RECOVERY 127.0.0.1:"), std::string::npos) << sends()[1];
  EXPECT_NE(sends()[1].find("Recovered while linkwatch was stopped: last seen down at "),
            std::string::npos)
      << sends()[1];
  EXPECT_NE(sends()[1].find("; down between "), std::string::npos);
  run_once(2);
  EXPECT_EQ(count(log(), "RECOVERY 127.0.0.1:"), 1u) << "exactly one RECOVERY";
  EXPECT_EQ(count(log(), down), 1u);
}

// A DOWN whose send failed for a passing reason waits at the stop, is kept,
// and goes out after the next start as a late message.
TEST_F(StateRestartTest, AMessageWaitingAtTheStopGoesOutAfterTheStart) {
  close_listener();
  recorder_.set_answer("503 ", R"({"ok":false})");
  run_once(1);
  ASSERT_EQ(sends().size(), 1u);
  EXPECT_NE(log().find("Telegram: alert kept for the next start: DOWN 127.0.0.1:"),
            std::string::npos)
      << log();
  EXPECT_NE(test::read_file(kStateFileName).find("message\tchannels=telegram\tkind="),
            std::string::npos);

  recorder_.set_answer("200 ", R"({"ok":true,"result":{}})");
  run_once(2);
  ASSERT_EQ(sends().size(), 2u);
  EXPECT_NE(sends()[1].find("DOWN 127.0.0.1:"), std::string::npos);
  EXPECT_NE(sends()[1].find("(delayed; event at "), std::string::npos) << sends()[1];
  EXPECT_EQ(test::read_file(kStateFileName).find("message\t"), std::string::npos)
      << "delivered: no longer kept";
}

// kill -9 in the middle of rewrites, again and again: the file the next
// start reads is always whole, with every service.
TEST_F(StateFileTest, RewritesCutByKillLeaveAWholeFile) {
  constexpr int kServices = 60;
  constexpr int kKills = 200;
  const std::string tool = test::program_path("lw_testtool").string();
  const uint64_t started = platform::monotonic_ms();
  int kills = 0;
  for (int round = 0; round < kKills; ++round) {
    platform::delete_file("child.pid");
    std::thread child([&tool] {
      const char* argv[] = {tool.c_str(), "state-rewrite", "60", "20000", "child.pid", nullptr};
      platform::RunRequest request;
      request.argv = argv;
      request.discard_output = true;
      request.time_limit_ms = 30000;
      platform::run_process(request);
    });
    uint32_t pid = 0;
    for (int i = 0; i < 10000 && pid == 0; ++i) {
      const std::string text = test::read_file("child.pid");
      if (text.find('\n') != std::string::npos) pid = std::stoul(text);
      if (pid == 0) platform::sleep_ms(1);
    }
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
    ASSERT_EQ(saved.services.size(), static_cast<size_t>(kServices)) << "round " << round;
  }
  EXPECT_GE(kills, kKills * 9 / 10) << "most children were killed while writing";
  RecordProperty("seconds", static_cast<int>((platform::monotonic_ms() - started) / 1000));
}

}  // namespace
}  // namespace lw
