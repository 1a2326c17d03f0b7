// The monitoring run: start-up, the check cycle and the orderly end.
//
// The cycle works on whatever tables a MonitorRun points at and calls its
// work through replaceable functions, so it can be driven without the
// process-wide tables, real probes, real reports or real waits. For example,
// one cycle over a table of 255 hosts with 50 workers:
//
//   lw::HostTable table;          // hosts in slots 1..host_count
//   lw::MonitorSettings settings;  // settings.workers = 50
//   lw::NotifySettings notify;     // nothing enabled: alerts only log
//   lw::MonitorRun run;
//   run.table = &table;
//   run.settings = &settings;
//   run.notify = &notify;
//   lw::resolve_all_hosts(&table);  // once, like the run's start-up
//   int failed = lw::run_cycle(run);
//
// run_cycle returns when every worker it started has been joined; it does
// not wait for the next cycle (wait_for_next_cycle does). The first run_cycle
// of a MonitorRun only records the day; a later one whose day of the month
// differs calls `report` once after its checks.

#ifndef LINKWATCH_APP_MONITOR_H_
#define LINKWATCH_APP_MONITOR_H_

#include <cstdint>

#include "app/cert_watch.h"
#include "app/quiet.h"
#include "app/status.h"
#include "config/host_config.h"
#include "config/notify_config.h"
#include "notify/delivery.h"
#include "notify/digest.h"
#include "notify/heartbeat.h"
#include "probe/history.h"
#include "probe/worker.h"

namespace lw {

// Body of one worker thread: checks the host of `slot`, sets slot->failed.
using CheckFunction = uint32_t (*)(WorkerSlot* slot, const WorkerContext& context);
// The daily report, run on the calling thread after a cycle's checks.
using ReportFunction = void (*)(HostTable* table, const MonitorSettings& settings,
                                const NotifySettings& notify);
// Waits `ms` milliseconds; returns true (possibly early) when the run is
// asked to stop.
using WaitFunction = bool (*)(uint32_t ms);
// Returns true to make the start of the worker thread of `host_index` fail,
// as if the system had no thread to give.
using ThreadStartFault = bool (*)(int32_t host_index);
// Whether any network reference answers (any_reference_answers).
using NetcheckFunction = bool (*)(const NetReference* refs, int count, int timeout_sec);

// Everything one monitoring run works on. The defaults are the real
// functions; tests and benchmarks replace them.
struct MonitorRun {
  HostTable* table = nullptr;
  MonitorSettings* settings = nullptr;
  NotifySettings* notify = nullptr;
  // Where the workers' alerts go; null: sent on the worker threads.
  // run_monitor sets it to the run's delivery thread.
  Delivery* delivery = nullptr;

  CheckFunction check = nullptr;                  // null: check_host_worker
  ReportFunction report = nullptr;                // null: run_daily_report
  WaitFunction wait = nullptr;                    // null: platform::wait_for_stop
  ThreadStartFault thread_start_fault = nullptr;  // null: no injected faults
  NetcheckFunction netcheck = nullptr;            // null: any_reference_answers

  // One slot per host index, handed to that host's worker.
  WorkerSlot slots[kHostTableSlots];
  // Day of the month at which the previous cycle started; -1 before the
  // first cycle.
  int previous_day = -1;
  // With group_alerts set: the alerts of the running cycle, released as
  // singles or digests once its batches are joined.
  CycleAlerts cycle_alerts;
  // With netcheck set: when the current outage of the own network was
  // first seen; 0 while the network answers.
  int64_t network_down_since = 0;
  // What the status and metrics files show, and the heartbeat; both are
  // looked after by after_cycle (status.h) at the end of every cycle.
  StatusBoard status;
  Heartbeat heartbeat;
  // The services' uptime history: cells only while history_wanted (the
  // status page or the uptime report); taken in by after_cycle.
  HistoryBook history;
  // Set when a wait ended for a reload request (platform::take_reload_request);
  // run_monitor reloads the files before the next cycle and clears it.
  bool reload_requested = false;
  // The mutes read before every cycle (refresh_mutes), with the
  // maintenance windows deciding which hosts are silenced.
  QuietState quiet;
  // The certificate checks of the hosts with `tls` (run_monitor only).
  CertWatch certs;
};

// The normal wait in seconds: `interval` read as a decimal number (leading
// blanks, a sign, digits up to the first other character); below 1 gives
// kDefaultIntervalSeconds.
int normal_wait_seconds(const MonitorSettings& settings);

// The wait after a cycle: fast_retry_interval when `failure_mark` is set,
// else the normal wait.
int next_wait_seconds(const MonitorSettings& settings, int failure_mark);

// Clears the failure counters, alert flag and failure times of hosts
// 1..host_count and resolves every host with a name once, one after the
// other. Prints and logs nothing.
void resolve_all_hosts(HostTable* table);

// One cycle: prints the time line (unless silent); with netcheck set, probes
// the references first (all failing: "network unreachable, checks not
// counted" once per outage, and this cycle's checks count nothing; the first
// answer after an outage sends the network notice); checks hosts
// 1..host_count with at most `workers` threads at once: in batches, each
// joined before the next starts (none starts once a stop is requested), or
// with rolling_workers set each next host as soon as any check ends (none
// once a stop is requested); with
// group_alerts set, hands on the cycle's alerts (digests or singles); then
// after_cycle (status file, metrics file, heartbeat); then calls the report when the day of the
// month differs from the previous cycle's (never on the first cycle). A thread that cannot be
// started is logged, its slot marked failed and its host left unchecked. Returns the failure mark:
// 1 when any slot failed, else 0. Requires table, settings and notify to be set.
int run_cycle(MonitorRun& run);

// Prints the wait line and separator (unless silent) and waits the chosen
// time through `run.wait`. Returns true when a stop was requested. A reload
// request ends the wait early and sets `run.reload_requested`.
bool wait_for_next_cycle(MonitorRun& run, int failure_mark);

// The whole run on the tables of `run`: loads the host file, takes the
// single-instance lock and writes the pid file, waits the random start
// delay, prints the banner, logs the start, loads both files again, prints
// the settings, resolves the hosts and cycles until a stop is requested.
// Returns 1 when start-up is refused (messages already printed) and 0 after
// an orderly stop, which rewrites the metrics file (write_stopped_metrics),
// releases the lock and deletes the pid file.
int run_monitor(MonitorRun& run);

// run_monitor on the process-wide tables, with the stop handler installed
// (Ctrl+C and termination requests end the run in order).
int run_monitor();

}  // namespace lw

#endif  // LINKWATCH_APP_MONITOR_H_
