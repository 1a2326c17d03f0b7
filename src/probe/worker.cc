#include "probe/worker.h"

#include "probe/resolve.h"
#include "probe/tcp_probe.h"
#include "support/clock.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {

std::mutex host_state_lock;

namespace {

// The failed-check branch of the state machine; called with `lock` held,
// returns with it held.
void record_failure(HostEntry* host, int result, char* error, const WorkerContext& context,
                    std::unique_lock<std::mutex>& lock) {
  const AlertSink& alerts = context.alerts;
  const int64_t now = now_seconds();
  const char* name = host->host.c_str();
  const char* port = host->port.c_str();

  if (host->alert_sent != 0) {
    host->recover_streak = 0;  // a failure in between: still DOWN, no new alert
    host->fail_count = 1;
    host->last_fail_time = now;
    if (result == kProbeTimedOut) {
      console_print("[%s:%s] still DOWN (alert already sent)\n", name, port);
    } else {
      console_print("[%s:%s] still DOWN [%s] (alert already sent)\n", name, port, error);
    }
    if (context.remind_seconds > 0 && now - host->last_reminder >= context.remind_seconds) {
      host->last_reminder = now;
      if (result == kProbeTimedOut) copy_bounded(error, kProbeErrorSize, "Timeout");
      lock.unlock();
      if (alerts.reminder) alerts.reminder(alerts.context, *host, error);
      lock.lock();
    }
    return;
  }

  host->fail_count += 1;
  if (host->fail_count == 1) host->first_fail_time = now;
  host->last_fail_time = now;
  if (result == kProbeTimedOut) {
    copy_bounded(error, kProbeErrorSize, "Timeout");
    console_print("[%s:%s] consecutive TIMEOUT count [%d] of [%d]\n", name, port, host->fail_count,
                  host->alertcount);
  } else {
    console_print("[%s:%s] %s. Consecutive FAIL count [%d] of [%d]\n", name, port, error,
                  host->fail_count, host->alertcount);
  }
  if (host->fail_count < host->alertcount) return;

  // Threshold reached: the alert runs without the lock (it may ping and start
  // programs); alert_sent is set first so that no second DOWN can follow.
  host->alert_sent = 1;
  host->down_since = host->first_fail_time;
  host->last_reminder = now;
  lock.unlock();
  if (alerts.down) alerts.down(alerts.context, *host, error);
  lock.lock();
  host->fail_count = 1;
  host->first_fail_time = now;
  host->last_fail_time = now;
}

}  // namespace

uint32_t check_host_worker(WorkerSlot* slot, const WorkerContext& context) {
  if (!slot) return 0;
  slot->failed = 0;
  slot->error.clear();
  HostTable* table = context.table;
  if (!table || slot->host_index < 1 || slot->host_index > table->host_count ||
      slot->host_index >= kHostTableSlots) {
    return 0;
  }
  HostEntry* host = &table->hosts[slot->host_index];
  const char* name = host->host.c_str();

  // Resolution when it is due (refresh_host_address says when); a failed
  // one probes the last good address, when there is one.
  const HostAddress address = refresh_host_address(host);
  if (address == HostAddress::kInvalid) {
    console_print("Invalid address for host [%s]\n", name);
    log_event("Invalid address for host [%s]", name);
    return 0;
  }
  if (address != HostAddress::kReady) {
    console_print("Unable to resolve Host host[%s]\n", name);
    log_event("Unable to resolve Host host[%s]", name);
    slot->failed = 1;
    if (address == HostAddress::kNone) return 0;
  }

  // Only digits naming 1..65535 are a port; "18O80" is not port 18.
  const int port = port_number(host->port.c_str());
  if (port == 0) {
    console_print("Invalid port for host [%s]\n", name);
    log_event("Invalid port for host [%s]", name);
    return 0;
  }

  char error[kProbeErrorSize] = "";
  double elapsed = 0.0;
  const int result = probe_host_entry(host, static_cast<uint16_t>(port), &elapsed, error);
  // A check cut by a stop found nothing out: no counter moves, nothing is said.
  if (result == kProbeStopped) return 0;

  if (result != kProbeConnected) slot->error.assign(result == kProbeTimedOut ? "Timeout" : error);
  std::unique_lock<std::mutex> lock(host_state_lock);
  if (!context.count_checks) {
    // The own network is down: what the check found says nothing about the host.
    if (result == kProbeConnected) {
      console_print("[%s:%s] connected, not counted (network unreachable)\n", name,
                    host->port.c_str());
    } else {
      console_print("[%s:%s] %s, not counted (network unreachable)\n", name, host->port.c_str(),
                    result == kProbeTimedOut ? "Timeout" : error);
    }
    slot->failed = result != kProbeConnected || host->alert_sent != 0;
    return 0;
  }
  if (result == kProbeConnected) {
    console_print("[%s:%s] connected. Taking [%.2f] seconds\n", name, host->port.c_str(), elapsed);
    if (host->alert_sent == 1 && ++host->recover_streak < context.recover_count) {
      console_print("[%s:%s] %d of %d checks in a row before recovery\n", name, host->port.c_str(),
                    host->recover_streak, context.recover_count);
      slot->failed = 1;  // not recovered yet: fast retry stays on
      return 0;
    }
    host->recover_streak = 0;
    host->fail_count = 0;
    host->first_fail_time = 0;
    host->last_fail_time = 0;
    if (host->alert_sent == 1) {
      host->alert_sent = 0;
      lock.unlock();
      if (context.alerts.recovery) context.alerts.recovery(context.alerts.context, *host);
    }
    return 0;
  }

  slot->failed = 1;
  record_failure(host, result, error, context, lock);
  return 0;
}

}  // namespace lw
