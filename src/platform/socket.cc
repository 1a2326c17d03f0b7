// The exchange over one connection (tcp_exchange_ms) and the test
// listener's accept_and_close, the same on every system over the small
// socket pieces of each system's socket.cc.

#include <cstring>

#include "platform/internal.h"
#include "platform/platform.h"

namespace lw::platform {

namespace {

bool holds(const char* bytes, size_t length, const char* part, size_t part_length) {
  if (part_length == 0 || part_length > length) return false;
  for (size_t at = 0; at + part_length <= length; ++at) {
    if (std::memcmp(bytes + at, part, part_length) == 0) return true;
  }
  return false;
}

// Sends, then reads, until the exchange has its answer. kConnected with
// the answer set, else kStopped or kWaitFailed.
ConnectStatus converse(const Connection& connection, uint64_t deadline, Exchange* exchange) {
  for (size_t sent = 0; sent < exchange->send_length;) {
    const long n = send_some(connection, exchange->send + sent, exchange->send_length - sent);
    if (n < 0) {
      exchange->answer = AnswerStatus::kClosed;
      return ConnectStatus::kConnected;
    }
    sent += static_cast<size_t>(n);
    if (n > 0) continue;
    const Readiness ready = wait_connection(connection, true, deadline);
    if (ready == Readiness::kTimedOut) return ConnectStatus::kConnected;  // kNothing
    if (ready == Readiness::kStopped) return ConnectStatus::kStopped;
    if (ready == Readiness::kFailed) return ConnectStatus::kWaitFailed;
  }
  size_t& length = exchange->received_length;
  while (length < exchange->capacity) {
    const long n =
        receive_some(connection, exchange->received + length, exchange->capacity - length);
    if (n < 0) {
      exchange->answer = AnswerStatus::kClosed;
      return ConnectStatus::kConnected;
    }
    if (n > 0) {
      length += static_cast<size_t>(n);
      if (holds(exchange->received, length, exchange->expect, exchange->expect_length)) {
        exchange->answer = AnswerStatus::kFound;
        return ConnectStatus::kConnected;
      }
      continue;
    }
    const Readiness ready = wait_connection(connection, false, deadline);
    if (ready == Readiness::kTimedOut) break;
    if (ready == Readiness::kStopped) return ConnectStatus::kStopped;
    if (ready == Readiness::kFailed) return ConnectStatus::kWaitFailed;
  }
  exchange->answer = length > 0 ? AnswerStatus::kWithout : AnswerStatus::kNothing;
  return ConnectStatus::kConnected;
}

}  // namespace

ConnectStatus tcp_exchange_ms(const char* address, uint16_t port, uint32_t timeout_ms,
                              Exchange* exchange, int* error) {
  const uint64_t deadline = monotonic_ms() + timeout_ms;
  exchange->received_length = 0;
  exchange->answer = AnswerStatus::kNothing;
  Connection connection;
  const ConnectStatus status = open_connection(address, port, timeout_ms, &connection, error);
  if (status != ConnectStatus::kConnected) return status;
  const ConnectStatus result = converse(connection, deadline, exchange);
  close_connection(&connection);
  return result;
}

bool accept_and_close(Listener* listener, uint32_t ms) {
  intptr_t peer = -1;
  if (!accept_peer(listener, ms, &peer)) return false;
  close_peer(peer);
  return true;
}

}  // namespace lw::platform
