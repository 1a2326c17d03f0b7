#include "probe/tcp_probe.h"

#include <cstdarg>

#include "platform/platform.h"
#include "support/fixed_text.h"

namespace lw {

namespace {

// Writes the failure text into the optional error buffer.
__attribute__((format(printf, 2, 3))) void set_error(char* error, const char* fmt, ...) {
  if (!error) return;
  va_list args;
  va_start(args, fmt);
  format_bounded(error, kProbeErrorSize, fmt, args);
  va_end(args);
}

// The result of probe_tcp_port for a connect's outcome, and its error text.
int connect_result(platform::ConnectStatus status, int error_number, char* error) {
  switch (status) {
    case platform::ConnectStatus::kConnected:
      return kProbeConnected;
    case platform::ConnectStatus::kTimedOut:
      set_error(error, "Timeout");
      return kProbeTimedOut;
    case platform::ConnectStatus::kSocketFailed:
      set_error(error, "socket error");
      return kProbeFailed;
    case platform::ConnectStatus::kConnectFailed:
      set_error(error, "connect error %d", error_number);
      return kProbeFailed;
    case platform::ConnectStatus::kWaitFailed:
      set_error(error, "select error");
      return kProbeFailed;
    case platform::ConnectStatus::kRefused:
      set_error(error, "Connection refused");
      return kProbeFailed;
    case platform::ConnectStatus::kPendingError:
      set_error(error, "socket error %d", error_number);
      return kProbeFailed;
    case platform::ConnectStatus::kStopped:
      set_error(error, "Stopped");
      return kProbeStopped;
  }
  set_error(error, "socket error");
  return kProbeFailed;
}

// One attempt at one address; the result of probe_tcp_port, and its error text.
int connect_once(const char* ip, uint16_t port, uint32_t timeout_ms, char* error) {
  if (error) error[0] = '\0';
  int error_number = 0;
  const platform::ConnectStatus status =
      platform::tcp_connect_ms(ip ? ip : "", port, timeout_ms, &error_number);
  return connect_result(status, error_number, error);
}

// One attempt at one address with the host's `send` and `expect`. Not
// inlined: its read buffer stays off the stack of connect-only checks.
__attribute__((noinline)) int exchange_once(const char* ip, uint16_t port, uint32_t timeout_ms,
                                            const HostConfig& config, char* error) {
  if (error) error[0] = '\0';
  char received[kAnswerReadLimit];
  platform::Exchange exchange;
  exchange.send = config.send;
  exchange.send_length = static_cast<size_t>(config.send_length);
  exchange.expect = config.expect.c_str();
  exchange.expect_length = config.expect.size();
  exchange.received = received;
  exchange.capacity = sizeof received;
  int error_number = 0;
  const platform::ConnectStatus status =
      platform::tcp_exchange_ms(ip ? ip : "", port, timeout_ms, &exchange, &error_number);
  if (status != platform::ConnectStatus::kConnected) {
    return connect_result(status, error_number, error);
  }
  if (exchange.answer == platform::AnswerStatus::kFound) return kProbeConnected;
  if (exchange.answer == platform::AnswerStatus::kNothing) {
    set_error(error, "no answer within %d s", config.timeoutsec);
    return kProbeFailed;
  }
  char shown[kAnswerShown + 1];
  size_t count = 0;
  for (size_t i = 0; i < exchange.received_length && count < kAnswerShown; ++i) {
    if (received[i] >= 0x20 && received[i] <= 0x7E) shown[count++] = received[i];
  }
  shown[count] = '\0';
  set_error(error, "wrong answer: %s", shown);
  return kProbeFailed;
}

uint32_t budget_ms(int timeout_sec) {
  return timeout_sec > 0 ? static_cast<uint32_t>(timeout_sec) * 1000u : 0;
}

}  // namespace

int probe_tcp_port(const char* ip, uint16_t port, int timeout_sec, double* elapsed, char* error) {
  if (elapsed) *elapsed = 0.0;
  const uint64_t start = platform::monotonic_ms();
  const int result = connect_once(ip, port, budget_ms(timeout_sec), error);
  if (result == kProbeConnected && elapsed) {
    *elapsed = static_cast<double>(platform::monotonic_ms() - start) / 1000.0;
  }
  return result;
}

int probe_host_entry(const HostConfig& config, HostAddresses& addresses, uint16_t port,
                     double* elapsed, char* error) {
  if (elapsed) *elapsed = 0.0;
  if (error) error[0] = '\0';
  // An entry without a kept list (filled by hand) has its one address.
  const int count = addresses.address_count > 0 ? addresses.address_count : 1;
  const uint64_t start = platform::monotonic_ms();
  const uint64_t deadline = start + budget_ms(config.timeoutsec);
  int result = kProbeFailed;
  for (int i = 0; i < count; ++i) {
    const uint64_t now = platform::monotonic_ms();
    const uint64_t left = deadline > now ? deadline - now : 0;
    const uint32_t share = static_cast<uint32_t>(left / static_cast<uint64_t>(count - i));
    if (addresses.address_count > 0) addresses.resolved_ip.assign(addresses.addresses[i].c_str());
    result = config.expect.empty()
                 ? connect_once(addresses.resolved_ip.c_str(), port, share, error)
                 : exchange_once(addresses.resolved_ip.c_str(), port, share, config, error);
    if (result == kProbeConnected || result == kProbeStopped) break;
  }
  if (result == kProbeConnected && elapsed) {
    *elapsed = static_cast<double>(platform::monotonic_ms() - start) / 1000.0;
  }
  return result;
}

}  // namespace lw
