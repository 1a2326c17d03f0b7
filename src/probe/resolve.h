// Name resolution of one host entry, shared by the run's start-up, the
// host check worker and the daily report.

#ifndef LINKWATCH_PROBE_RESOLVE_H_
#define LINKWATCH_PROBE_RESOLVE_H_

#include <cstdint>

#include "config/host_config.h"
#include "config/host_form.h"
#include "platform/platform.h"
#include "support/fixed_text.h"

namespace lw {

// A host given by name is resolved again at least this often.
constexpr int64_t kReresolveSeconds = 600;

// Resolves `config.host` afresh, for the families `config.family` allows,
// by its stored form: an address literal gives itself (`config.literal`), a
// name the resolver's addresses in order (names go to the environment's
// resolver, support/environment; by default platform::resolve_host). On
// success stores them in `addresses.addresses`, the first in `resolved_ip`,
// and sets `resolve_state` to kResolved; when the address probed last is not among
// them, prints and logs "address of <host> changed from A to B" once. On
// failure (nothing resolves, or the text is no usable address) sets
// `resolve_state` to kResolveFailed and keeps the last good addresses.
// Records the time of the attempt in `resolved_at`. Returns true on success.
// An empty `host` resolves to nothing: false, and `addresses` is left
// exactly as it was. Writes only `addresses`, without any lock: only the
// thread that owns the entry may call it.
bool resolve_host_entry(const HostConfig& config, HostAddresses& addresses);

// What a check has to probe after refresh_host_address.
enum class HostAddress {
  kReady,    // resolved (again, when it was due)
  kStale,    // resolving failed; the last good addresses are kept and probed
  kNone,     // resolving failed and there is no address yet
  kInvalid,  // an address literal of neither family, or of a family not allowed
};

// Brings the entry's addresses up to date before a check: resolves when it
// never succeeded, when the previous check failed (last_fail_time set), and
// at least every kReresolveSeconds by the clock of support/clock. An
// address literal is never resolved again. Same thread rule as above.
HostAddress refresh_host_address(HostEntry* host);

}  // namespace lw

#endif  // LINKWATCH_PROBE_RESOLVE_H_
