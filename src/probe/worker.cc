#include "probe/worker.h"

#include "probe/resolve.h"
#include "probe/tcp_probe.h"
#include "support/clock.h"
#include "support/fixed_text.h"
#include "support/output.h"

namespace lw {

std::mutex host_state_lock;

namespace {

// What a failed check did to the alert state.
enum class FailureStep {
  kCounted,    // one more failure below the threshold
  kCrossed,    // the threshold is reached: alert_sent is set, DOWN is due
  kStillDown,  // already alerted
  kRemind,     // already alerted, and a reminder is due
};

// The alert state machine on a failed check at `now`.
FailureStep count_failure(HostState& state, int32_t alertcount, int64_t remind_seconds,
                          int64_t now) {
  if (state.alert_sent != 0) {
    state.recover_streak = 0;  // a failure in between: still DOWN, no new alert
    state.fail_count = 1;
    state.last_fail_time = now;
    if (remind_seconds <= 0 || now - state.last_reminder < remind_seconds) {
      return FailureStep::kStillDown;
    }
    state.last_reminder = now;
    return FailureStep::kRemind;
  }
  state.fail_count += 1;
  if (state.fail_count == 1) state.first_fail_time = now;
  state.last_fail_time = now;
  if (state.fail_count < alertcount) return FailureStep::kCounted;
  // alert_sent is set before the alert goes out so that no second DOWN can follow.
  state.alert_sent = 1;
  state.down_since = state.first_fail_time;
  state.last_reminder = now;
  return FailureStep::kCrossed;
}

// After the DOWN alert: counting starts again from this failure.
void restart_count(HostState& state, int64_t now) {
  state.fail_count = 1;
  state.first_fail_time = now;
  state.last_fail_time = now;
}

// What a successful check did to the alert state.
enum class SuccessStep {
  kUp,          // not alerted: the failure count is cleared
  kRecovering,  // alerted, fewer than recover_count successes in a row yet
  kRecovered,   // alerted and now recovered: alert_sent is cleared, RECOVERY is due
};

// The alert state machine on a successful check.
SuccessStep count_success(HostState& state, int32_t recover_count) {
  if (state.alert_sent == 1 && ++state.recover_streak < recover_count) {
    return SuccessStep::kRecovering;
  }
  state.recover_streak = 0;
  state.fail_count = 0;
  state.first_fail_time = 0;
  state.last_fail_time = 0;
  if (state.alert_sent != 1) return SuccessStep::kUp;
  state.alert_sent = 0;
  return SuccessStep::kRecovered;
}

// True when the channels were last told that `host` is DOWN: a DOWN that
// no RECOVERY has followed.
bool told_down(const HostEntry& host) { return (host.alert_sent != 0) != (host.held != 0); }

// Records what the channels now know of `host`.
void set_told(HostEntry* host, bool down) { host->held = (host->alert_sent != 0) != down; }

// The mark of a check whose alerts a maintenance window or mute keeps back.
void print_silenced(const HostEntry& host) {
  console_print("[%s:%s] (maintenance) no alert is sent\n", host.host.c_str(), host.port.c_str());
}

// The failed-check branch: moves the state, prints, and alerts without the
// lock; called with `lock` held, returns with it held. While the host is
// silenced nothing is sent; after it, a crossing kept back is told as DOWN
// when the host is still failing (and a host told DOWN before gets nothing new).
void record_failure(HostEntry* host, int result, char* error, const WorkerContext& context,
                    std::unique_lock<std::mutex>& lock) {
  const AlertSink& alerts = context.alerts;
  const int64_t now = now_seconds();
  const char* name = host->host.c_str();
  const char* port = host->port.c_str();
  const bool told = told_down(*host);

  const FailureStep step = count_failure(*host, host->alertcount, context.remind_seconds, now);
  if (host->down_seen_before_restart != 0) {
    // Alerted before a restart and still failing: no new DOWN.
    host->down_seen_before_restart = 0;
    char since[32];
    format_local_time(host->down_since, "%Y-%m-%d %H:%M:%S", since, sizeof since);
    console_print("[%s:%s] still DOWN since %s (before the restart)\n", name, port, since);
    log_event("[%s:%s] still DOWN since %s (before the restart)", name, port, since);
  }
  if (host->silenced != 0) {
    if (result == kProbeTimedOut) {
      console_print("[%s:%s] TIMEOUT count [%d] of [%d]\n", name, port, host->fail_count,
                    host->alertcount);
    } else {
      console_print("[%s:%s] %s. FAIL count [%d] of [%d]\n", name, port, error, host->fail_count,
                    host->alertcount);
    }
    print_silenced(*host);
    set_told(host, told);
    return;
  }
  if ((step == FailureStep::kStillDown || step == FailureStep::kRemind) && !told) {
    // It crossed its threshold while silenced and is still failing.
    if (result == kProbeTimedOut) copy_bounded(error, kProbeErrorSize, "Timeout");
    console_print("[%s:%s] still DOWN [%s] after maintenance\n", name, port, error);
    lock.unlock();
    if (alerts.down) alerts.down(alerts.context, *host, error);
    lock.lock();
    set_told(host, true);
    return;
  }
  if (step == FailureStep::kStillDown || step == FailureStep::kRemind) {
    if (result == kProbeTimedOut) {
      console_print("[%s:%s] still DOWN (alert already sent)\n", name, port);
    } else {
      console_print("[%s:%s] still DOWN [%s] (alert already sent)\n", name, port, error);
    }
    if (step == FailureStep::kRemind) {
      if (result == kProbeTimedOut) copy_bounded(error, kProbeErrorSize, "Timeout");
      lock.unlock();
      if (alerts.reminder) alerts.reminder(alerts.context, *host, error);
      lock.lock();
    }
    return;
  }

  if (result == kProbeTimedOut) {
    copy_bounded(error, kProbeErrorSize, "Timeout");
    console_print("[%s:%s] consecutive TIMEOUT count [%d] of [%d]\n", name, port, host->fail_count,
                  host->alertcount);
  } else {
    console_print("[%s:%s] %s. Consecutive FAIL count [%d] of [%d]\n", name, port, error,
                  host->fail_count, host->alertcount);
  }
  if (step != FailureStep::kCrossed) return;

  // The alert runs without the lock (it may ping and start programs). A host
  // told DOWN before a window and down again after it gets no second DOWN.
  if (!told) {
    lock.unlock();
    if (alerts.down) alerts.down(alerts.context, *host, error);
    lock.lock();
  }
  restart_count(*host, now);
  set_told(host, true);
}

}  // namespace

uint32_t check_host_worker(WorkerSlot* slot, const WorkerContext& context) {
  if (!slot) return 0;
  slot->failed = 0;
  slot->error.clear();
  slot->connect_seconds = -1.0;
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
  const int port = host->port_number;
  if (port == 0) {
    console_print("Invalid port for host [%s]\n", name);
    log_event("Invalid port for host [%s]", name);
    return 0;
  }

  char error[kProbeErrorSize] = "";
  double elapsed = 0.0;
  const int result = probe_host_entry(*host, *host, static_cast<uint16_t>(port), &elapsed, error);
  // A check cut by a stop found nothing out: no counter moves, nothing is said.
  if (result == kProbeStopped) return 0;
  if (result == kProbeConnected) slot->connect_seconds = elapsed;

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
    const bool told = told_down(*host);
    const SuccessStep step = count_success(*host, context.recover_count);
    if (host->silenced != 0) {
      print_silenced(*host);
      set_told(host, told);
      slot->failed = step == SuccessStep::kRecovering;
      return 0;
    }
    if (step == SuccessStep::kRecovering) {
      console_print("[%s:%s] %d of %d checks in a row before recovery\n", name, host->port.c_str(),
                    host->recover_streak, context.recover_count);
      slot->failed = 1;  // not recovered yet: fast retry stays on
      return 0;
    }
    // A RECOVERY is due to a host told DOWN, also when it recovered while
    // silenced; none to a host whose DOWN was kept back.
    if (host->alert_sent == 0 && told) {
      set_told(host, false);
      lock.unlock();
      if (context.alerts.recovery) context.alerts.recovery(context.alerts.context, *host);
      lock.lock();
    } else {
      set_told(host, told);
    }
    // The RECOVERY (composed above) was the only one to say "while stopped".
    if (step != SuccessStep::kRecovering) host->down_seen_before_restart = 0;
    return 0;
  }

  slot->failed = 1;
  record_failure(host, result, error, context, lock);
  return 0;
}

}  // namespace lw
