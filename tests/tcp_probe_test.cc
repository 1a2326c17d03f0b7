#include "probe/tcp_probe.h"

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace lw {
namespace {

TEST(TcpProbeTest, OpenRefusedAndUnansweredPorts) {
  ASSERT_TRUE(platform::socket_startup());
  platform::Listener open, full, gone;
  ASSERT_TRUE(platform::listen_loopback(0, 16, &open) && platform::listen_loopback(0, 1, &full) &&
              platform::listen_loopback(0, 1, &gone));
  // `full` never accepts and its backlog is filled: further attempts get no answer.
  for (int i = 0; i < 3; ++i) platform::tcp_connect("127.0.0.1", full.port, 1, nullptr);
  platform::close_listener(&gone);  // nobody listens there any more
  const struct {
    uint16_t port;
    int timeout_sec, result;
    const char* error;
    uint64_t min_ms, max_ms;
  } cases[] = {{open.port, 5, kProbeConnected, "", 0, 5000},
               {gone.port, 5, kProbeFailed, "Connection refused", 0, 2000},
               {full.port, 1, kProbeTimedOut, "Timeout", 900, 3000}};
  for (const auto& c : cases) {
    double elapsed = -1.0;
    char error[kProbeErrorSize] = "stale";
    const uint64_t start = platform::monotonic_ms();
    EXPECT_EQ(probe_tcp_port("127.0.0.1", c.port, c.timeout_sec, &elapsed, error), c.result);
    const uint64_t took = platform::monotonic_ms() - start;
    EXPECT_STREQ(error, c.error);
    EXPECT_TRUE(took >= c.min_ms && took < c.max_ms) << took;
    EXPECT_TRUE(elapsed >= 0.0 &&
                elapsed * 1000.0 <= (c.result == kProbeConnected ? double(took) : 0.0))
        << elapsed;
    EXPECT_EQ(probe_tcp_port("127.0.0.1", c.port, c.timeout_sec, nullptr, nullptr), c.result);
  }
  platform::close_listener(&open);
  platform::close_listener(&full);
}

}  // namespace
}  // namespace lw
