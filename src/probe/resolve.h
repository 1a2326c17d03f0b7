// Name resolution of one host entry, shared by the run's start-up, the
// host check worker and the daily report.

#ifndef LINKWATCH_PROBE_RESOLVE_H_
#define LINKWATCH_PROBE_RESOLVE_H_

#include "config/host_config.h"

namespace lw {

// Resolves `host->host` to its first IPv4 address. On success stores the
// dotted text in `resolved_ip` and sets `resolve_state` to kResolved; on
// failure sets `resolved_ip` to "" and `resolve_state` to kResolveFailed.
// Returns true on success. An empty `host` (or a null pointer) resolves to
// nothing: false, and the entry is left exactly as it was. Always resolves,
// whatever the current state: callers skip entries already resolved.
// Writes only resolved_ip and resolve_state, without any lock: only the
// thread that owns the entry for the moment may call it.
bool resolve_host_entry(HostEntry* host);

}  // namespace lw

#endif  // LINKWATCH_PROBE_RESOLVE_H_
