#include "probe/resolve.h"

#include "platform/platform.h"

namespace lw {

bool resolve_host_entry(HostEntry* host) {
  if (!host || host->host.empty()) return false;
  if (platform::resolve_ipv4(host->host.c_str(), host->resolved_ip.data(),
                             host->resolved_ip.capacity())) {
    host->resolve_state = kResolved;
    return true;
  }
  host->resolved_ip.clear();
  host->resolve_state = kResolveFailed;
  return false;
}

}  // namespace lw
