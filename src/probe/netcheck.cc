#include "probe/netcheck.h"

#include <atomic>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>

#include "probe/resolve.h"
#include "probe/tcp_probe.h"

namespace lw {

namespace {

bool reference_answers(const NetReference& ref, int timeout_sec) {
  auto entry = std::make_unique<HostEntry>();
  entry->host.assign(ref.host.c_str());
  entry->timeoutsec = timeout_sec;
  if (!resolve_host_entry(entry.get())) return false;
  return probe_host_entry(entry.get(), ref.port, nullptr, nullptr) == kProbeConnected;
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
  std::atomic<bool> answered{false};
  std::thread threads[kMaxNetReferences];
  auto probe = [&answered, timeout_sec](const NetReference* ref) {
    if (reference_answers(*ref, timeout_sec)) answered = true;
  };
  for (int i = 0; i < count; ++i) {
    // The thread library reports a missing thread as an exception.
    try {
      threads[i] = std::thread(probe, &refs[i]);
    } catch (const std::system_error&) {
      probe(&refs[i]);
    }
  }
  for (std::thread& thread : threads) {
    if (thread.joinable()) thread.join();
  }
  return answered;
}

}  // namespace lw
