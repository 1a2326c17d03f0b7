// The probes: a host's check (its alert state, windows, names, stops), ping, and checks with
// `expect` and `send` against small servers on 127.0.0.1.

#include "probe/worker.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "config/check.h"
#include "config/host_config.h"
#include "platform/platform.h"
#include "probe/ping_probe.h"
#include "probe/resolve.h"
#include "probe/tcp_probe.h"
#include "support/capture.h"
#include "support/command_recorder.h"
#include "support/scoped_environment.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr int64_t kStart = 1740823200;  // any fixed moment
int64_t g_now = kStart;

// Each crossing as the sink saw it: kind, error, alert_sent, fail_count, LOCKED if held.
std::vector<std::string> g_crossings;

void record(const std::string& kind, const HostEntry& host) {
  const bool lock_free = host_state_lock.try_lock();
  if (lock_free) host_state_lock.unlock();
  g_crossings.push_back(kind + " sent=" + std::to_string(host.alert_sent) +
                        " count=" + std::to_string(host.fail_count) + (lock_free ? "" : " LOCKED"));
}

// Answers g_addresses of the family asked; counts its calls.
std::vector<std::string> g_addresses;
int g_resolutions = 0;

int fake_resolver(const char*, platform::AddressFamily family, platform::Address* out, int max) {
  using enum platform::AddressFamily;
  ++g_resolutions;
  int n = 0;
  for (const std::string& text : g_addresses) {
    const bool v6 = text.find(':') != std::string::npos;
    if (n == max || (family != kAny && (family == kIPv6) != v6)) continue;
    copy_bounded(out[n].text, sizeof out[n].text, text.c_str());
    out[n++].family = v6 ? kIPv6 : kIPv4;
  }
  return n;
}

// Every crossing into g_crossings; the reminder also says since when.
AlertSink recording_alerts() {
  return {[](void*, const HostEntry& h, const char* e) { record("DOWN " + std::string(e), h); },
          [](void*, const HostEntry& h) { record("RECOVERY", h); },
          [](void*, const HostEntry& h, const char* e) {
            record("REMIND " + std::string(e) + " since=" + std::to_string(h.down_since - kStart),
                   h);
          }};
}

// A loopback port that takes connects (kOpen), lets them time out (kSilent), or refuses.
struct Port {
  enum Kind { kOpen, kSilent, kRefused };
  explicit Port(Kind kind, uint16_t number = 0) {
    EXPECT_TRUE(platform::listen_loopback(number, kind == kOpen ? 16 : 1, &listener));
    for (int i = 0; kind == kSilent && i < 3; ++i)
      platform::tcp_connect("127.0.0.1", listener.port, 1, nullptr);
    port = listener.port;
    text = std::to_string(port);
    if (kind == kRefused) platform::close_listener(&listener);
  }
  ~Port() { platform::close_listener(&listener); }
  platform::Listener listener;
  uint16_t port;
  std::string text;
};

// Names are resolved by fake_resolver, the time is g_now.
class WorkerTest : public test::WorkDirTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::socket_startup());
    env_.set_clock([] { return g_now; });
    env_.set_resolver(fake_resolver);
  }
  // Host 1 of a fresh table on `port`, five failures to an alert; g_crossings cleared.
  HostEntry& one_host(uint16_t port, int timeoutsec = 1, const char* name = "127.0.0.1") {
    table_ = std::make_unique<HostTable>();
    table_->host_count = 1;
    context_ = WorkerContext{table_.get(), recording_alerts()};
    g_crossings.clear();
    HostEntry& host = table_->hosts[1];
    set_host_text(&host, name);
    set_port_text(&host, std::to_string(port).c_str());
    host.timeoutsec = timeoutsec;
    host.alertcount = 5;
    return host;
  }
  // One check of host 1 (on `port` when given); slot.failed. Appends what it printed.
  int check(std::string* printed = nullptr, const std::string& port = "") {
    if (!port.empty()) set_port_text(&table_->hosts[1], port.c_str());
    WorkerSlot slot{1, 7, {}};
    test::OutputCapture capture;
    check_host_worker(&slot, context_);
    if (printed) *printed += capture.out();
    return slot.failed;
  }
  // Checks host 1 as `name` restricted to `family`, resolved afresh.
  int check_as(const char* name, int32_t family, std::string* printed) {
    HostEntry& host = table_->hosts[1];
    set_host_text(&host, name);
    host.family = family;
    host.resolve_state = kNotResolved;
    host.resolved_ip.clear();
    host.last_fail_time = 0;
    return check(printed);
  }

  std::unique_ptr<HostTable> table_;
  WorkerContext context_;

 private:
  test::ScopedEnvironment env_;
};

// Time-outs and refusals count up to one DOWN, then one RECOVERY; an invalid port counts nothing.
TEST_F(WorkerTest, ThresholdCrossingsReachTheSinkOnce) {
  const Port open(Port::kOpen), silent(Port::kSilent), gone(Port::kRefused);
  const std::string &up = open.text, &slow = silent.text, &refused = gone.text;
  HostEntry& host = one_host(open.port);
  host.alertcount = 3;
  // Seconds after kStart, port, then fail_count, first fail time, alert_sent, crossings.
  const std::tuple<int64_t, std::string, int, int64_t, int, size_t> steps[] = {
      {0, up, 0, 0, 0, 0},        {10, refused, 1, 10, 0, 0}, {15, up, 0, 0, 0, 0},
      {20, slow, 1, 20, 0, 0},    {25, refused, 2, 20, 0, 0}, {27, "18O80", 2, 20, 0, 0},
      {30, refused, 1, 30, 1, 1}, {40, slow, 1, 30, 1, 1},    {45, refused, 1, 30, 1, 1},
      {50, up, 0, 0, 0, 2},       {60, up, 0, 0, 0, 2},
  };
  for (const auto& [when, port, fail_count, first, alert_sent, crossings] : steps) {
    SCOPED_TRACE(when);
    g_now = kStart + when;
    EXPECT_EQ(check(nullptr, port), port == up || port == "18O80" ? 0 : 1);
    EXPECT_EQ(
        std::tuple(host.fail_count, host.first_fail_time, host.alert_sent, g_crossings.size()),
        std::tuple(fail_count, first ? kStart + first : 0, alert_sent, crossings));
  }
  // The DOWN sees the count that reached the threshold; neither holds the lock.
  EXPECT_EQ(g_crossings, (std::vector<std::string>{"DOWN Connection refused sent=1 count=3",
                                                   "RECOVERY sent=0 count=0"}));

  // recovercount 2: a flap holds the RECOVERY back, no second DOWN; fast retry until recovered.
  context_.recover_count = 2;
  host.alertcount = 1;
  g_crossings.clear();
  const std::tuple<std::string, int, size_t> flap[] = {{refused, 1, 1}, {up, 1, 1}, {refused, 1, 1},
                                                       {up, 1, 1},      {up, 0, 2}, {up, 0, 2}};
  for (const auto& [port, failed, crossings] : flap) {
    EXPECT_EQ(check(nullptr, port), failed);
    EXPECT_EQ(g_crossings.size(), crossings);
  }
  EXPECT_EQ(g_crossings.back(), "RECOVERY sent=0 count=0");

  // remind_minutes: one reminder every interval from the DOWN alert.
  context_.recover_count = 1;
  context_.remind_seconds = 300;
  g_crossings.clear();
  for (const int64_t at : {1000, 1100, 1299, 1300, 1500, 1610}) {
    g_now = kStart + at;
    check(nullptr, refused);
  }
  EXPECT_EQ(g_crossings,
            (std::vector<std::string>{"DOWN Connection refused sent=1 count=1",
                                      "REMIND Connection refused since=1000 sent=1 count=1",
                                      "REMIND Connection refused since=1000 sent=1 count=1"}));
}

// Nothing is sent in a maintenance window; the first check after it tells only what changed.
TEST_F(WorkerTest, AWindowsEndTellsOnlyChanges) {
  const Port gone(Port::kRefused);
  const std::string& refused = gone.text;
  // DOWN told before; checks in the window (true: up); up after it; that check's crossings.
  const std::tuple<bool, std::vector<bool>, bool, std::vector<std::string>> cases[] = {
      {false, {false, false, false}, false, {"DOWN Connection refused sent=1 count=1"}},
      {false, {false, false, false}, true, {}},
      {false, {false, false, false, true}, false, {}},  // crossed, recovered: counting anew
      {true, {false, false}, false, {}},
      {true, {true, true}, true, {"RECOVERY sent=0 count=0"}},
      {true, {true}, false, {}},  // up in the window, failing again: nothing new
      {true, {false}, true, {"RECOVERY sent=0 count=0"}},
  };
  for (const auto& [down_before, during, up_at_end, after] : cases) {
    SCOPED_TRACE(testing::Message() << down_before << during.size() << up_at_end);
    const Port open(Port::kOpen);  // never accepts: a fresh backlog for each case
    HostEntry& host = one_host(open.port);
    host.alertcount = 3;
    for (int i = 0; i < (down_before ? 3 : 1); ++i) check(nullptr, refused);
    ASSERT_EQ(g_crossings.size(), down_before ? 1u : 0u);
    g_crossings.clear();
    host.silenced = 1;
    std::string printed;
    for (const bool is_up : during) check(&printed, is_up ? open.text : refused);
    EXPECT_EQ(test::count_of(printed, "(maintenance)"), during.size());
    EXPECT_TRUE(g_crossings.empty());
    host.silenced = 0;
    check(nullptr, up_at_end ? open.text : refused);
    EXPECT_EQ(g_crossings, after);
    // Then as without a window: nothing repeated, a later change told once.
    g_crossings.clear();
    check();
    EXPECT_TRUE(g_crossings.empty());
    const bool down_now = (host.alert_sent != 0) != (host.held != 0);  // as last told
    for (int i = 0; i < 3; ++i) check(nullptr, down_now ? open.text : refused);
    EXPECT_EQ(g_crossings.size(), 1u);
  }
}

// A name is resolved again after a failed check and when due, not before; a changed address is
// logged once; a failed resolution keeps the last one.
TEST_F(WorkerTest, NamesAreResolvedAgainAfterAFailureAndWhenDue) {
  const Port open(Port::kOpen);
  HostEntry& host = one_host(open.port, 1, "moved.test");
  g_resolutions = 0;
  // The address before the move refuses; then the name gives the new one.
  const std::tuple<int64_t, std::vector<std::string>, int, int, const char*> steps[] = {
      {0, {"127.0.0.2"}, 1, 1, "127.0.0.2"},
      {5, {"127.0.0.1"}, 0, 2, "127.0.0.1"},
      {10, {"127.0.0.2"}, 0, 2, "127.0.0.1"},
      {5 + kReresolveSeconds, {"127.0.0.1"}, 0, 3, "127.0.0.1"},
      {5 + 2 * kReresolveSeconds, {}, 1, 4, "127.0.0.1"},
      {10 + 2 * kReresolveSeconds, {"127.0.0.1"}, 0, 5, "127.0.0.1"},
  };
  std::string printed;
  for (const auto& [when, addresses, failed, resolutions, used] : steps) {
    SCOPED_TRACE(when);
    g_now = kStart + when;
    g_addresses = addresses;
    EXPECT_EQ(check(&printed), failed);
    EXPECT_EQ(g_resolutions, resolutions);
    EXPECT_STREQ(host.resolved_ip.c_str(), used);
  }
  EXPECT_EQ(test::count_of(printed, "address of moved.test changed from 127.0.0.2 to 127.0.0.1\n"),
            1u);
  EXPECT_EQ(test::count_of(printed, "Unable to resolve Host host[moved.test]\n"), 1u);
  EXPECT_EQ(test::count_of(printed, "connected"), 5u);  // the stale address was still probed

  // A short IPv4 form is probed at its address, never resolved as a name; `family` 6 excludes it.
  const std::tuple<const char*, int32_t, const char*, const char*> forms[] = {
      {"127.1", kFamilyAny, "127.0.0.1", "connected"},
      {"0x7f000001", kFamilyIPv4, "127.0.0.1", "connected"},
      {"127.1", kFamilyIPv6, "", "Invalid address for host [127.1]\n"}};
  for (const auto& [name, family, used, said] : forms) {
    SCOPED_TRACE(name);
    printed.clear();
    EXPECT_EQ(check_as(name, family, &printed), 0);
    EXPECT_STREQ(host.resolved_ip.c_str(), used);
    EXPECT_NE(printed.find(said), std::string::npos) << printed;
  }
  EXPECT_EQ(g_resolutions, 5);
}

// A dual-stack name falls back to its second address in time; `family` restricts, a literal too.
TEST_F(WorkerTest, DualStackNameFallsBackWithinTheTimeOut) {
  platform::Listener v6;
  if (!platform::listen_loopback(0, 16, &v6, platform::AddressFamily::kIPv6))
    GTEST_SKIP() << "no IPv6";
  const Port silent(Port::kSilent, v6.port);  // the same port on 127.0.0.1
  const HostEntry& host = one_host(v6.port, 2);
  g_addresses = {"127.0.0.1", "::1"};
  // Name, family, slot.failed, address used, text printed, most ms taken.
  const std::tuple<const char*, int32_t, int, const char*, const char*, uint64_t> cases[] = {
      {"dual.test", kFamilyAny, 0, "::1", "connected", 1700},
      {"dual.test", kFamilyIPv4, 1, "127.0.0.1", "TIMEOUT", 2700},
      {"dual.test", kFamilyIPv6, 0, "::1", "connected", 700},
      {"[::1]", kFamilyAny, 0, "::1", "connected", 700},
      {"::1", kFamilyIPv4, 0, "", "Invalid address for host [::1]\n", 700},
  };
  for (const auto& [name, family, failed, used, said, most_ms] : cases) {
    SCOPED_TRACE(std::string(name) + " " + std::to_string(family));
    std::string printed;
    const uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(check_as(name, family, &printed), failed);
    EXPECT_LT(platform::monotonic_ms() - start, most_ms);
    EXPECT_STREQ(host.resolved_ip.c_str(), used);
    EXPECT_NE(printed.find(said), std::string::npos) << printed;
  }
  platform::close_listener(&v6);
}

// A check cut by a stop counts, prints and raises nothing, ends soon, tries no second address.
TEST_F(WorkerTest, ACheckCutByAStopCountsNothing) {
  const Port silent(Port::kSilent);
  HostEntry& host = one_host(silent.port, 60, "cut.test");
  g_addresses = {"127.0.0.1", "127.0.0.2"};  // the second would refuse at once
  context_.remind_seconds = 1;
  // fail_count and alert_sent before (and after) the cut check.
  const std::tuple<int, int> states[] = {{0, 0}, {4, 0}, {1, 1}};
  for (const auto& [fail_count, alert_sent] : states) {
    SCOPED_TRACE(std::to_string(fail_count) + " " + std::to_string(alert_sent));
    g_now += 600;
    host.fail_count = fail_count;
    host.alert_sent = alert_sent;
    host.last_fail_time = kStart;
    std::thread stopper([] {
      platform::sleep_ms(300);
      platform::request_stop();
    });
    std::string printed;
    const uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(check(&printed), 0);
    EXPECT_LT(platform::monotonic_ms() - start, 15000u);
    stopper.join();
    platform::clear_stop_request();
    EXPECT_EQ(printed, "");
    EXPECT_EQ(std::tuple(host.fail_count, host.alert_sent, host.last_fail_time),
              std::tuple(fail_count, alert_sent, kStart));
    EXPECT_STREQ(host.resolved_ip.c_str(), "127.0.0.1");
  }
  EXPECT_TRUE(g_crossings.empty());
}

// Replies of a ping that exits 0 count; a hanging ping ends at the attempt limit, or at a stop.
TEST_F(WorkerTest, PingCountsRepliesAndEndsAHangingPingAtTheAttemptLimit) {
  test::ScopedFakeTools ping(work_dir(), {"ping"},
                             {{"LW_FAKE_PING_OUTPUT", "Reply from 10.0.0.1: TTL=64"}});
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 3);
  ping.set("LW_FAKE_PING_EXIT", "1");
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 0);
  platform::set_env("LW_FAKE_PING_EXIT", nullptr);
  ping.set("LW_FAKE_PING_SLEEP_MS", "60000");
  const uint64_t start = platform::monotonic_ms();
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 0);
  const uint64_t took = platform::monotonic_ms() - start;
  EXPECT_GE(took, kPingAttempts * (kPingAttemptLimitMs - 100)) << took;
  EXPECT_LT(took, kPingAttempts * (kPingAttemptLimitMs + 5000)) << took;

  // A stop during the first attempt: no further attempt starts.
  std::thread stopper([] {
    platform::sleep_ms(300);
    platform::request_stop();
  });
  const uint64_t stop_start = platform::monotonic_ms();
  EXPECT_EQ(probe_ping("10.0.0.1", nullptr), 0);
  stopper.join();
  const uint64_t stop_took = platform::monotonic_ms() - stop_start;
  platform::clear_stop_request();
  EXPECT_LT(stop_took, 2 * platform::kStopGraceMs) << stop_took;
}

// A reply counts only when ping exited 0 and a line names the target with its round-trip time,
// in any language, without "unreachable".
TEST(PingProbeTest, OnlyTrueRepliesFromTheTargetCount) {
  const std::tuple<int, const char*, const char*, bool> runs[] = {
      {0, "Reply from 10.0.0.1: bytes=32 time=3ms TTL=57\r\n", "10.0.0.1", true},
      {0, "R\x82ponse de 10.0.0.1\xff: octets=32 temps=12 ms TTL=64\r\n", "10.0.0.1", true},
      {0, "Reply from 2001:db8::10: time<1ms\r\n", "2001:db8::10", true},
      {0, "Antwort von 2001:db8::10: Zeit=12ms\r\n", "2001:db8::10", true},
      {0, "64 bytes from 10.0.0.1: icmp_seq=1 ttl=64 time=0.045 ms\n", "10.0.0.1", true},
      {0, "64 bytes from ::1: icmp_seq=1 ttl=64 time=0.05 ms\n", "::1", true},
      {0, "Reply from 10.0.0.1: Destination host UNREACHABLE TTL=64 time<1ms\r\n", "10.0.0.1",
       false},
      {0, "Reply from 10.0.0.12: bytes=32 time=3ms TTL=57\r\n", "10.0.0.1", false},
      {0, "Reply from 2001:db8::1:5: time<1ms\r\n", "2001:db8::1", false},
      {0, "Reply from 2001:db8::10: bytes=32\r\nPing statistics for 2001:db8::10:\r\n",
       "2001:db8::10", false},
      {1, "64 bytes from 10.0.0.1: icmp_seq=1 ttl=64 time=0.045 ms\n", "10.0.0.1", false},
  };
  for (const auto& [exit_code, output, target, answered] : runs) {
    EXPECT_EQ(ping_answered(exit_code, output, target), answered) << output;
  }
  // The option of the address's family; a name read as an option never runs.
  test::CommandRecorder recorder;
  for (const char* target : {"::1", "10.0.0.1", "--help"}) probe_ping(target, nullptr);
  const auto pings = recorder.commands();
  ASSERT_EQ(pings.size(), 2u * kPingAttempts);
  EXPECT_EQ(pings[0].argv[1] + " " + pings[0].argv.back(), "-6 ::1");
  EXPECT_EQ(pings.back().argv[1] + " " + pings.back().argv.back(), "-4 10.0.0.1");
}

// One connection's server: echoes the first bytes read when `echo`, writes each piece after a
// pause (each arrives on its own), then closes or (`hold`) waits for the client to close.
struct Server {
  std::vector<std::string> pieces;
  bool echo = false;
  bool hold = false;
};

void serve(platform::Listener* listener, const Server& server) {
  intptr_t peer = -1;
  if (!platform::accept_peer(listener, 5000, &peer)) return;
  char buf[2048];
  const int n = server.echo ? platform::peer_receive(peer, buf, sizeof buf, 5000) : 0;
  if (n > 0) platform::peer_send(peer, buf, static_cast<size_t>(n));
  for (const std::string& piece : server.pieces) {
    platform::sleep_ms(30);
    platform::peer_send(peer, piece.data(), piece.size());
  }
  while (server.hold && platform::peer_receive(peer, buf, sizeof buf, 5000) > 0) {
  }
  platform::close_peer(peer);
}

// Each check has 1 s; it passes only when the answer holds `expect`.
TEST_F(WorkerTest, ChecksPassOnlyWhenTheAnswerHoldsExpect) {
  const struct {
    Server server;
    const char *send, *expect;
    std::string error;  // "": the check passes
  } cases[] = {
      {{{"220 ready\r\n"}, false, true}, "", "220", ""},
      {{{"421 busy\r\n"}}, "", "220", "wrong answer: 421 busy"},
      {{{}, false, true}, "", "220", "no answer within 1 s"},
      {{}, "", "220", "wrong answer: "},  // closes at once
      {{{"22", "0 re", "ady\r\n"}, false, true}, "", "220 ready", ""},
      {{{std::string(1500, 'x')}, false, true}, "", "220", "wrong answer: " + std::string(60, 'x')},
      {{{}, true, true}, "PING\\r\\n", "PING", ""},
      {{{}, true}, "PING\\r\\n", "+PONG", "wrong answer: PING"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expect + (" " + c.error));
    Port port(Port::kOpen);
    std::thread server(serve, &port.listener, c.server);
    HostEntry& host = one_host(port.port);
    host.resolved_ip.assign("127.0.0.1");
    host.expect.assign(c.expect);
    EXPECT_EQ(read_send_text(c.send, host.send, &host.send_length) == nullptr, c.send[0] != 0);
    char error[kProbeErrorSize];
    const uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(probe_host_entry(host, host, port.port, nullptr, error),
              c.error.empty() ? kProbeConnected : kProbeFailed);
    EXPECT_EQ(error, c.error);
    EXPECT_LT(platform::monotonic_ms() - start, 3000u);
    server.join();
  }
}

TEST(AnswerTest, SendTextsAreReadWithTheirEscapes) {
  const std::tuple<std::string, std::string, const char*> cases[] = {
      // text, bytes, fault
      {"PING\\r\\n", "PING\r\n", nullptr},
      {"a\\tb\\\\n", "a\tb\\n", nullptr},
      {"\\x00\\x7f\\xFF.", std::string("\0\x7f\xff.", 4), nullptr},
      {std::string(127, 'a'), std::string(127, 'a'), nullptr},
      {std::string(126, 'a') + "\\x41", std::string(126, 'a') + "A", nullptr},
      {std::string(128, 'a'), "", "too long"},
      {"", "", "empty"},
      {"\\q", "", "an unknown escape"},
      {"\\x4", "", "\\x without two hex digits"},
      {"\\xg0", "", "\\x without two hex digits"},
      {"ab\\", "", "a backslash at the end"},
      {"a\tb", "", "a control character"},
  };
  for (const auto& [text, bytes, fault] : cases) {
    char out[kMaxSendBytes];
    int32_t length = -1;
    EXPECT_STREQ(read_send_text(text.c_str(), out, &length), fault) << text;
    EXPECT_EQ(std::string(out, static_cast<size_t>(length)), bytes) << text;
  }
}

TEST_F(WorkerTest, CheckNamesTheLineOfAFaultyExpectOrSend) {
  const std::pair<const char*, const char*> cases[] = {
      // block, what -check says (a valid send and expect: ConfigKeysTest)
      {"send:\"HELO\"\n", "Line 5: send without expect in the host block at line 3; it would do"},
      {"send:\"HELO\"\nhost:\"b\"\nport:\"1\"\nexpect:\"x\"\n", "Line 5: send without expect"},
      {"expect:\"x\"\nsend:\"\\q\"\n", "Line 6: invalid send \"\\q\" (an unknown escape; use"},
      {"expect:\"\"\n", "Line 5: invalid expect \"\" (use 1 to 63 bytes"},
  };
  for (const auto& [block, says] : cases) {
    test::write_file("config.txt", std::string("interval:\"15\"\nfast_retry_interval:\"3\"\n") +
                                       "host:\"a\"\nport:\"25\"\n" + block);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file("config.txt", kHostFile), 0) << block;
    EXPECT_NE(capture.out().find(says), std::string::npos) << capture.out();
  }
}

}  // namespace
}  // namespace lw
