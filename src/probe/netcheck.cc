#include "probe/netcheck.h"

#include <atomic>
#include <memory>

#include "probe/resolve.h"
#include "probe/tcp_probe.h"
#include "support/fanout.h"

namespace lw {

namespace {

bool reference_answers(const NetReference& ref, int timeout_sec) {
  auto entry = std::make_unique<HostEntry>();
  set_host_text(entry.get(), ref.host.c_str());
  entry->timeoutsec = timeout_sec;
  if (!resolve_host_entry(*entry, *entry)) return false;
  return probe_host_entry(*entry, *entry, ref.port, nullptr, nullptr) == kProbeConnected;
}

}  // namespace

int netcheck_timeout_seconds(const HostTable& table) {
  int shortest = kNetcheckMaxTimeoutSeconds;
  for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
    if (table.hosts[i].timeoutsec < shortest) shortest = table.hosts[i].timeoutsec;
  }
  return shortest < kNetcheckMinTimeoutSeconds ? kNetcheckMinTimeoutSeconds : shortest;
}

bool any_reference_answers(const NetReference* refs, int count, int timeout_sec) {
  if (count > kMaxNetReferences) count = kMaxNetReferences;
  struct Guard {
    const NetReference* refs;
    int timeout_sec;
    std::atomic<bool> answered{false};
  } guard{refs, timeout_sec};
  FanOutJob job;
  // No no_thread: a reference whose thread cannot be had is probed on the
  // calling thread.
  job.check = [](void* context, int index) {
    Guard& guard = *static_cast<Guard*>(context);
    if (reference_answers(guard.refs[index], guard.timeout_sec)) guard.answered = true;
  };
  job.context = &guard;
  // All at once: the grouping does not matter with one group.
  fan_out(job, 0, count - 1, count, FanOutMode::kRolling);
  return guard.answered;
}

}  // namespace lw
