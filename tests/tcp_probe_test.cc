#include "probe/tcp_probe.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/platform.h"

namespace lw {
namespace {

class TcpProbeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform::socket_startup()); }
};

// A port on 127.0.0.1 that nobody listens on: bound once, then released.
uint16_t closed_loopback_port() {
  platform::Listener listener;
  if (!platform::listen_loopback(0, 1, &listener)) return 0;
  const uint16_t port = listener.port;
  platform::close_listener(&listener);
  return port;
}

TEST_F(TcpProbeTest, ListeningPortConnects) {
  platform::Listener listener;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &listener));

  double elapsed = -1.0;
  char error[kProbeErrorSize];
  std::strcpy(error, "stale");
  EXPECT_EQ(probe_tcp_port("127.0.0.1", listener.port, 5, &elapsed, error), kProbeConnected);
  EXPECT_STREQ(error, "");
  EXPECT_GE(elapsed, 0.0);
  EXPECT_LT(elapsed, 5.0);

  // Without outputs the outcome is the same.
  EXPECT_EQ(probe_tcp_port("127.0.0.1", listener.port, 5, nullptr, nullptr), kProbeConnected);
  platform::close_listener(&listener);
}

TEST_F(TcpProbeTest, ClosedPortIsRefusedWithoutWaitingForTheTimeout) {
  const uint16_t port = closed_loopback_port();
  ASSERT_NE(port, 0);

  double elapsed = -1.0;
  char error[kProbeErrorSize];
  const uint64_t start = platform::monotonic_ms();
  EXPECT_EQ(probe_tcp_port("127.0.0.1", port, 5, &elapsed, error), kProbeFailed);
  const uint64_t took = platform::monotonic_ms() - start;
  EXPECT_STREQ(error, "Connection refused");
  EXPECT_EQ(elapsed, 0.0);
  EXPECT_LT(took, 2000u);

  EXPECT_EQ(probe_tcp_port("127.0.0.1", port, 5, nullptr, nullptr), kProbeFailed);
}

TEST_F(TcpProbeTest, UnansweredConnectTimesOutAfterTheTimeout) {
  // A listener that never accepts, its small backlog filled first: further
  // connection attempts get no answer at all.
  platform::Listener listener;
  ASSERT_TRUE(platform::listen_loopback(0, 1, &listener));
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", listener.port, 1, nullptr);

  double elapsed = -1.0;
  char error[kProbeErrorSize];
  const uint64_t start = platform::monotonic_ms();
  EXPECT_EQ(probe_tcp_port("127.0.0.1", listener.port, 1, &elapsed, error), kProbeTimedOut);
  const uint64_t took = platform::monotonic_ms() - start;
  EXPECT_STREQ(error, "Timeout");
  EXPECT_EQ(elapsed, 0.0);
  EXPECT_GE(took, 900u);
  EXPECT_LT(took, 3000u);

  EXPECT_EQ(probe_tcp_port("127.0.0.1", listener.port, 1, nullptr, nullptr), kProbeTimedOut);
  platform::close_listener(&listener);
}

TEST_F(TcpProbeTest, MalformedAddressFailsWithinTheTimeout) {
  for (const char* address : {"", "not-an-address", "999.1.1.1"}) {
    SCOPED_TRACE(address);
    char error[kProbeErrorSize];
    const uint64_t start = platform::monotonic_ms();
    const int result = probe_tcp_port(address, 9, 1, nullptr, error);
    EXPECT_NE(result, kProbeConnected);
    EXPECT_NE(error[0], '\0');
    EXPECT_LT(platform::monotonic_ms() - start, 3000u);
  }
}

}  // namespace
}  // namespace lw
