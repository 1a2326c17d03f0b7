// The ping series run for a DOWN alert: how many of three echo requests
// the host answered.

#ifndef LINKWATCH_PROBE_PING_PROBE_H_
#define LINKWATCH_PROBE_PING_PROBE_H_

#include <cstdint>

namespace lw {

// Attempts of one series; each is one echo request with a 2-second wait.
constexpr int kPingAttempts = 3;
// Time limit of one ping run, a little above its own reply wait: a ping
// that hangs beyond it is ended and counts as unanswered.
constexpr uint32_t kPingAttemptLimitMs = 5000;

// Runs the system ping three times against `host` (the configured name or
// address) and returns how many attempts were answered, 0 to 3. An attempt
// is answered when ping exits with 0 and its output holds "TTL=", "ttl=" or
// "Reply from". Every failure counts as unanswered: ping cannot be started,
// exits non-zero, prints no marker, or runs past kPingAttemptLimitMs.
// `answered` (may be null) is set to 0 on entry and to the count at the end.
// A null or empty host, or one that begins with "-" (ping would read it as
// an option), runs nothing and gives 0. Prints and logs nothing.
int probe_ping(const char* host, int32_t* answered);

}  // namespace lw

#endif  // LINKWATCH_PROBE_PING_PROBE_H_
