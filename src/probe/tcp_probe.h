// One bounded TCP connect attempt: the availability test of a service.

#ifndef LINKWATCH_PROBE_TCP_PROBE_H_
#define LINKWATCH_PROBE_TCP_PROBE_H_

#include <cstddef>
#include <cstdint>

namespace lw {

// Size of the error text buffer of probe_tcp_port, terminator included.
constexpr size_t kProbeErrorSize = 128;

// Result of probe_tcp_port.
constexpr int kProbeConnected = 1;
constexpr int kProbeTimedOut = 0;
constexpr int kProbeFailed = -1;

// Tries once to connect to the dotted IPv4 text `ip` (no name resolution;
// text that does not parse gives an address that fails or times out) at
// `port`, waiting at most `timeout_sec` seconds. Sends nothing; the socket
// is closed before returning. Returns 1 connected, 0 timed out, -1 failed.
//
// `elapsed` (may be null) is set to 0.0 on entry and receives the connect
// time in seconds on success only. `error` (may be null, else at least
// kProbeErrorSize bytes) is set to "" on entry and receives "Timeout" for 0
// or one of "socket error", "connect error %d", "select error",
// "Connection refused", "socket error %d" for -1. A refused connection is
// reported at once. Takes no lock; safe to call from many threads.
int probe_tcp_port(const char* ip, uint16_t port, int timeout_sec, double* elapsed, char* error);

}  // namespace lw

#endif  // LINKWATCH_PROBE_TCP_PROBE_H_
