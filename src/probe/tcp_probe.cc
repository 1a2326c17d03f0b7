#include "probe/tcp_probe.h"

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

}  // namespace

int probe_tcp_port(const char* ip, uint16_t port, int timeout_sec, double* elapsed, char* error) {
  if (elapsed) *elapsed = 0.0;
  if (error) error[0] = '\0';

  int error_number = 0;
  const uint64_t start = platform::monotonic_ms();
  const platform::ConnectStatus status =
      platform::tcp_connect(ip ? ip : "", port, timeout_sec, &error_number);
  const uint64_t end = platform::monotonic_ms();

  switch (status) {
    case platform::ConnectStatus::kConnected:
      if (elapsed) *elapsed = static_cast<double>(end - start) / 1000.0;
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
  }
  set_error(error, "socket error");
  return kProbeFailed;
}

}  // namespace lw
