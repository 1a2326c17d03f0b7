// The check of one host in one monitoring cycle, run on a worker thread.

#ifndef LINKWATCH_PROBE_WORKER_H_
#define LINKWATCH_PROBE_WORKER_H_

#include <cstdint>
#include <mutex>

#include "config/host_config.h"
#include "probe/tcp_probe.h"
#include "support/fixed_text.h"

namespace lw {

// Guards the HostState of every host (fail_count, alert_sent, the failure
// times), with the worker's console line about them. Never held while
// alerting.
extern std::mutex host_state_lock;

struct WorkerSlot {
  int32_t host_index = 0;
  int32_t failed = 0;  // 1: unresolved host or failed check
  // The error of this cycle's failed probe ("Timeout", "Connection
  // refused", ...); "" when the probe connected or did not run.
  FixedText<kProbeErrorSize> error;
  // This check's connect time in seconds; negative when it did not connect.
  double connect_seconds = -1.0;
};

// Where a worker reports that a host crossed its alert threshold. Both
// functions are called on the worker thread without any lock held: `down`
// after alert_sent has been set to 1 (with the error text of the failed
// check, never null), `recovery` after it has been cleared. `host` stays
// valid for the call only. A null function drops that crossing.
struct AlertSink {
  void (*down)(void* context, const HostEntry& host, const char* error) = nullptr;
  void (*recovery)(void* context, const HostEntry& host) = nullptr;
  // A host still DOWN after remind seconds since its DOWN alert or last
  // reminder, with the error of this check; called like `down`.
  void (*reminder)(void* context, const HostEntry& host, const char* error) = nullptr;
  void* context = nullptr;
};

// What a worker works on: the process-wide table and the alert sink,
// passed explicitly.
struct WorkerContext {
  HostTable* table = nullptr;
  AlertSink alerts;
  // Successful checks in a row before an alerted host recovers (1: the first).
  int32_t recover_count = 1;
  // Seconds between reminders of a host that stays DOWN; 0: none.
  int64_t remind_seconds = 0;
  // False while the monitor's own network is unreachable: checks run and
  // print, but move no counter and raise nothing.
  bool count_checks = true;
};

// Checks the host at slot->host_index once: resolves it when needed, probes
// its port, moves its alert state and reports DOWN / RECOVERY crossings to
// context.alerts. An alerted host recovers after context.recover_count
// successful checks in a row; until then each success sets slot->failed, so
// that fast retry stays on. With context.count_checks false the probe's
// outcome is printed "not counted" and the host's state is left as it was.
// A probe cut by a stop request (kProbeStopped) prints nothing and leaves
// the host's state as it was. While host.silenced is set (a maintenance
// window or mute) the state moves as always, the console marks the check
// "(maintenance)" and nothing reaches the sink; at the first check after,
// only changes are told: a host that crossed its threshold meanwhile and
// fails this check gets its DOWN, a host told DOWN before that is up gets
// its RECOVERY, a host told DOWN before that still fails gets nothing new.
// Sets slot->failed. Returns 0 (also for a null slot).
uint32_t check_host_worker(WorkerSlot* slot, const WorkerContext& context);

}  // namespace lw

#endif  // LINKWATCH_PROBE_WORKER_H_
