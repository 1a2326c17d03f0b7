// The own-network guard: whether any of a few reference services answers,
// told apart from the hosts being watched.

#ifndef LINKWATCH_PROBE_NETCHECK_H_
#define LINKWATCH_PROBE_NETCHECK_H_

#include "config/host_config.h"

namespace lw {

// Shortest and longest time-out of a reference probe, in seconds.
constexpr int kNetcheckMinTimeoutSeconds = 1;
constexpr int kNetcheckMaxTimeoutSeconds = 3;

// The time-out of the reference probes: the shortest `timeoutsec` of hosts
// 1..host_count, kept within kNetcheckMinTimeoutSeconds..kNetcheckMaxTimeoutSeconds.
int netcheck_timeout_seconds(const HostTable& table);

// Probes the `count` references at once (one thread each; on the calling
// thread when no thread can be had; none once a stop is requested), each
// resolved afresh and given `timeout_sec`. Returns true as soon as the
// probes are done when any of them
// connected; a reference that does not resolve, refuses or times out fails,
// and so does one whose probe a stop request cut (the caller asks
// platform::stop_requested() before it reports the network down).
// Prints and logs nothing.
bool any_reference_answers(const NetReference* refs, int count, int timeout_sec);

}  // namespace lw

#endif  // LINKWATCH_PROBE_NETCHECK_H_
