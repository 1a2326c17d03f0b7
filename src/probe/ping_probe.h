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

// True when one ping run counts as answered: it exited with 0 and one line
// of `output` holds a round-trip time (for an IPv4 target "TTL=" in any
// letter case; for an IPv6 target a figure such as "time<1ms", "Zeit=12ms"
// or "time=0.05 ms", in any language), no "unreachable" in any letter
// case, and names an address `target` as a whole address (not part of a
// longer one). For a target that is a name, the naming is not required.
bool ping_answered(int exit_code, const char* output, const char* target);

// Runs the system ping three times against `target` (the address that was
// probed; a name when there is none) and returns how many attempts were
// answered (ping_answered), 0 to 3. An IPv4 address is pinged with "-4",
// an IPv6 one with "-6". Every failure counts as unanswered: ping cannot be
// started, exits non-zero, prints no reply, or runs past kPingAttemptLimitMs.
// `answered` (may be null) is set to 0 on entry and to the count at the end.
// A null or empty target, or one that begins with "-" (ping would read it
// as an option), runs nothing and gives 0. Prints and logs nothing.
int probe_ping(const char* target, int32_t* answered);

}  // namespace lw

#endif  // LINKWATCH_PROBE_PING_PROBE_H_
