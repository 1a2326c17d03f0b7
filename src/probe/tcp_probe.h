// One bounded TCP connect attempt: the availability test of a service.

#ifndef LINKWATCH_PROBE_TCP_PROBE_H_
#define LINKWATCH_PROBE_TCP_PROBE_H_

#include <cstddef>
#include <cstdint>

#include "config/host_config.h"

namespace lw {

// Size of the error text buffer of probe_tcp_port, terminator included.
constexpr size_t kProbeErrorSize = 128;

// A host with `expect`: the most bytes read in search of it, and the most
// of them (printable ones only) that "wrong answer: " shows.
constexpr size_t kAnswerReadLimit = 1024;
constexpr size_t kAnswerShown = 60;
static_assert(sizeof "wrong answer: " + kAnswerShown <= kProbeErrorSize &&
              sizeof "no answer within -2147483648 s" <= kProbeErrorSize);

// Result of probe_tcp_port.
constexpr int kProbeConnected = 1;
constexpr int kProbeTimedOut = 0;
constexpr int kProbeFailed = -1;
// The wait was cut by a stop request: the attempt says nothing about the service.
constexpr int kProbeStopped = -2;

// Tries once to connect to the numeric IPv4 or IPv6 text `ip` (no name
// resolution; text that is no address fails with "connect error %d") at
// `port`, waiting at most `timeout_sec` seconds. Sends nothing; the socket
// is closed before returning. Returns 1 connected, 0 timed out, -1 failed,
// kProbeStopped when a stop request (platform::request_stop) cut the wait.
//
// `elapsed` (may be null) is set to 0.0 on entry and receives the connect
// time in seconds on success only. `error` (may be null, else at least
// kProbeErrorSize bytes) is set to "" on entry and receives "Timeout" for 0
// or one of "socket error", "connect error %d", "select error",
// "Connection refused", "socket error %d" for -1, "Stopped" for
// kProbeStopped. A refused connection is
// reported at once. Takes no lock; safe to call from many threads.
int probe_tcp_port(const char* ip, uint16_t port, int timeout_sec, double* elapsed, char* error);

// Probes the host's kept addresses in order (only `resolved_ip` when it
// keeps none) until one connects, within `config.timeoutsec` seconds in
// all: each attempt may take the time left divided by the addresses left,
// so a refused address passes its time on; a stop request ends the walk
// with kProbeStopped. Stores the address tried last in `resolved_ip`.
// Result, error text and elapsed time are those of probe_tcp_port for the
// last attempt; elapsed counts from the first one.
//
// A host with `expect` passes only when, after the connect and its `send`,
// `expect` arrives among the first kAnswerReadLimit bytes, all within the
// same `timeoutsec`; an attempt that connects but fails that is a failed
// one (-1) with "no answer within N s" (nothing arrived in time) or
// "wrong answer: <the first kAnswerShown printable bytes received>" (other
// bytes, or the service closed first). Writes only
// `addresses.resolved_ip`: same thread rule as resolve_host_entry.
int probe_host_entry(const HostConfig& config, HostAddresses& addresses, uint16_t port,
                     double* elapsed, char* error);

}  // namespace lw

#endif  // LINKWATCH_PROBE_TCP_PROBE_H_
