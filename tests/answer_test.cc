// Checks with `expect` and `send` against small servers on 127.0.0.1, how
// `send` texts are read, and what -check says of both keys.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "config/check.h"
#include "config/host_config.h"
#include "platform/platform.h"
#include "probe/tcp_probe.h"
#include "support/capture.h"
#include "support/test_env.h"

namespace lw {
namespace {

// One connection's server: echoes the first bytes read when `echo`, writes
// each piece after a pause (so that each arrives on its own), then closes
// at once or holds the connection until the client closes it.
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
TEST(AnswerTest, ChecksPassOnlyWhenTheAnswerHoldsExpect) {
  ASSERT_TRUE(platform::socket_startup());
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
    platform::Listener listener;
    ASSERT_TRUE(platform::listen_loopback(0, 4, &listener));
    std::thread server(serve, &listener, c.server);
    HostEntry host;
    set_host_text(&host, "127.0.0.1");
    host.resolved_ip.assign("127.0.0.1");
    host.timeoutsec = 1;
    host.expect.assign(c.expect);
    EXPECT_EQ(read_send_text(c.send, host.send, &host.send_length) == nullptr, c.send[0] != 0);
    char error[kProbeErrorSize];
    const uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(probe_host_entry(host, host, listener.port, nullptr, error),
              c.error.empty() ? kProbeConnected : kProbeFailed);
    EXPECT_EQ(error, c.error);
    EXPECT_LT(platform::monotonic_ms() - start, 3000u);
    server.join();
    platform::close_listener(&listener);
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

class AnswerCheckTest : public test::WorkDirTest {};

TEST_F(AnswerCheckTest, CheckNamesTheLineOfAFaultyExpectOrSend) {
  const std::pair<const char*, const char*> cases[] = {
      // block, what -check says ("": passes)
      {"send:\"QUIT\\r\\n\"\nexpect:\"220\"\n", ""},
      {"send:\"HELO\"\n", "Line 5: send without expect in the host block at line 3; it would do"},
      {"send:\"HELO\"\nhost:\"b\"\nport:\"1\"\nexpect:\"x\"\n", "Line 5: send without expect"},
      {"expect:\"x\"\nsend:\"\\q\"\n", "Line 6: invalid send \"\\q\" (an unknown escape; use"},
      {"expect:\"\"\n", "Line 5: invalid expect \"\" (use 1 to 63 bytes"},
  };
  for (const auto& [block, says] : cases) {
    test::write_file("config.txt", std::string("interval:\"15\"\nfast_retry_interval:\"3\"\n") +
                                       "host:\"a\"\nport:\"25\"\n" + block);
    test::OutputCapture capture;
    EXPECT_EQ(check_config_file("config.txt", kHostFile), says[0] == '\0') << block;
    EXPECT_NE(capture.out().find(says), std::string::npos) << capture.out();
  }
}

}  // namespace
}  // namespace lw
