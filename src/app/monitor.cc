#include "app/monitor.h"

#include <cstdlib>
#include <memory>

#include "app/entry.h"
#include "app/globals.h"
#include "app/instance.h"
#include "app/reload.h"
#include "app/state_file.h"
#include "notify/alerts.h"
#include "notify/report.h"
#include "notify/send_files.h"
#include "platform/platform.h"
#include "probe/netcheck.h"
#include "probe/resolve.h"
#include "support/clock.h"
#include "support/fanout.h"
#include "support/output.h"
#include "support/transfer.h"

namespace lw {

namespace {

// Longest single wait handed to the wait function, so that long intervals
// never overflow a 32-bit millisecond count.
constexpr uint64_t kLongestWaitMs = 3600u * 1000u;

// The first cycle starts after a random delay of 0 to this many seconds less one.
constexpr int kStartDelaySpreadSeconds = 10;

const char kSeparator[] =
    "========================================================================";
static_assert(sizeof kSeparator == 73, "72 equals signs");

WaitFunction wait_of(const MonitorRun& run) {
  return run.wait ? run.wait : platform::wait_for_stop;
}

// Waits `ms` in pieces; true as soon as a piece reports a stop request. A
// reload request ends the wait, with run.reload_requested set.
bool wait_ms(MonitorRun& run, uint64_t ms) {
  WaitFunction wait = wait_of(run);
  do {
    const uint64_t piece = ms < kLongestWaitMs ? ms : kLongestWaitMs;
    if (wait(static_cast<uint32_t>(piece))) return true;
    if (platform::take_reload_request()) {
      run.reload_requested = true;
      return false;
    }
    ms -= piece;
  } while (ms > 0);
  return false;
}

static_assert(kMaxWorkers <= kMaxFanOutThreads, "every worker can have its thread");

// What the cycle's fan-out works on.
struct CycleFanOut {
  MonitorRun* run;
  CheckFunction check;
  const WorkerContext* context;
};

// The worker thread of host `index`: its slot is set afresh, then checked.
void check_in_slot(void* job, int index) {
  const CycleFanOut& cycle = *static_cast<CycleFanOut*>(job);
  WorkerSlot& slot = cycle.run->slots[index];
  slot.host_index = index;
  slot.failed = 0;
  slot.connect_seconds = -1.0;
  cycle.check(&slot, *cycle.context);
}

// A host whose worker thread cannot be had is logged and left unchecked; its
// slot is marked failed.
void no_worker_thread(void* job, int index) {
  const CycleFanOut& cycle = *static_cast<CycleFanOut*>(job);
  const HostEntry& host = cycle.run->table->hosts[index];
  log_event("Unable to create worker thread for %s:%s", host.host.c_str(), host.port.c_str());
  WorkerSlot& slot = cycle.run->slots[index];
  slot.host_index = index;
  slot.failed = 1;
  slot.connect_seconds = -1.0;
}

bool worker_thread_fault(void* job, int index) {
  const MonitorRun& run = *static_cast<CycleFanOut*>(job)->run;
  return run.thread_start_fault && run.thread_start_fault(index);
}

// The alert sink of the cycle's workers: the alerts go to the run's
// delivery, or out through its channels at once when it has none.
// With group_alerts set they are held for the cycle's end instead.
int32_t index_of(const MonitorRun& run, const HostEntry& host) {
  const HostEntry* first = run.table->hosts;
  return &host >= first && &host < first + kHostTableSlots ? static_cast<int32_t>(&host - first)
                                                           : 0;
}
void down_alert(void* context, const HostEntry& host, const char* error) {
  MonitorRun& run = *static_cast<MonitorRun*>(context);
  if (run.settings->group_alerts > 0) {
    run.cycle_alerts.hold(kDownAlert, index_of(run, host), host, error, now_seconds(),
                          run.settings->alert_text);
  } else {
    raise_down_alert(host, error, *run.notify, run.delivery, run.settings->alert_text);
  }
}
void reminder_alert(void* context, const HostEntry& host, const char* error) {
  MonitorRun& run = *static_cast<MonitorRun*>(context);
  if (run.settings->group_alerts > 0) {
    run.cycle_alerts.hold(kReminderAlert, index_of(run, host), host, error, now_seconds(),
                          run.settings->alert_text);
  } else {
    raise_reminder_alert(host, error, *run.notify, run.delivery, run.settings->alert_text);
  }
}
void recovery_alert(void* context, const HostEntry& host) {
  MonitorRun& run = *static_cast<MonitorRun*>(context);
  if (run.settings->group_alerts > 0) {
    run.cycle_alerts.hold(kRecoveryAlert, index_of(run, host), host, "", now_seconds(),
                          run.settings->alert_text);
  } else {
    raise_recovery_alert(host, *run.notify, run.delivery, run.settings->alert_text);
  }
}

// The own-network guard before a cycle at `now`: false when no reference
// answers, so that the cycle's checks do not count.
bool own_network_answers(MonitorRun& run, int64_t now) {
  const MonitorSettings& settings = *run.settings;
  const NetcheckFunction probe = run.netcheck ? run.netcheck : any_reference_answers;
  if (!probe(settings.netcheck, settings.netcheck_count, netcheck_timeout_seconds(*run.table))) {
    // Probes cut by a stop say nothing about the network; no check follows.
    if (platform::stop_requested()) return false;
    if (run.network_down_since == 0) {
      run.network_down_since = now;
      print_and_log("network unreachable, checks not counted");
    }
    return false;
  }
  if (run.network_down_since != 0) {
    auto notice = new_message();
    compose_network_notice(run.network_down_since, now, notice.get());
    hand_on_message(*notice, now, true, *run.notify, run.delivery);
    run.network_down_since = 0;
  }
  return true;
}

// The orderly end of a run that holds its claim, logged with its reason.
int end_run(InstanceClaim* claim, const char* reason) {
  log_event("------ linkwatch is stopped: %s ------", reason);
  release_instance(claim, true);
  return 0;
}

}  // namespace

int normal_wait_seconds(const MonitorSettings& settings) {
  const int seconds = to_int(settings.interval.c_str());
  return seconds < 1 ? kDefaultIntervalSeconds : seconds;
}

int next_wait_seconds(const MonitorSettings& settings, int failure_mark) {
  return failure_mark ? settings.fast_retry_interval : normal_wait_seconds(settings);
}

void resolve_all_hosts(HostTable* table) {
  for (int i = 1; i <= table->host_count && i <= kMaxHosts; ++i) {
    HostEntry& host = table->hosts[i];
    host.fail_count = 0;
    host.recover_streak = 0;
    host.alert_sent = 0;
    host.first_fail_time = 0;
    host.last_fail_time = 0;
    if (host.host.empty()) continue;
    resolve_host_entry(host, host);
  }
}

int run_cycle(MonitorRun& run) {
  const int64_t now = now_seconds();
  const uint64_t started_ms = platform::monotonic_ms();
  const int today = local_day_of_month(now);
  int failure_mark = 0;

  if (!silent_mode()) {
    char stamp[32];
    format_local_time(now, "%Y-%m-%d %H:%M:%S", stamp, sizeof stamp);
    plain_print("%s\n", stamp);
  }

  HostTable* table = run.table;
  const int count = table->host_count < kMaxHosts ? table->host_count : kMaxHosts;
  const int workers = run.settings->workers < 1 ? 1 : run.settings->workers;
  const CheckFunction check = run.check ? run.check : check_host_worker;
  const bool counted = run.settings->netcheck_count < 1 || own_network_answers(run, now);
  refresh_mutes(&run.quiet, now);
  mark_silenced_hosts(table, *run.settings, run.quiet, now);
  const WorkerContext context{table,
                              {down_alert, recovery_alert, reminder_alert, &run},
                              run.settings->recover_count,
                              static_cast<int64_t>(run.settings->remind_minutes) * 60,
                              counted};
  CycleFanOut cycle{&run, check, &context};
  FanOutJob job;
  job.check = check_in_slot;
  job.no_thread = no_worker_thread;
  job.thread_fault = worker_thread_fault;
  job.context = &cycle;
  // Once a stop is requested no new batch (or, rolling, no new check)
  // starts: the run ends soon after.
  const int handed =
      fan_out(job, 1, count, workers,
              run.settings->rolling_workers ? FanOutMode::kRolling : FanOutMode::kBatches);
  for (int i = 1; i <= handed; ++i) {
    if (run.slots[i].failed == 1) failure_mark = 1;
  }
  if (run.settings->group_alerts > 0) {
    run.cycle_alerts.release(run.settings->group_alerts, *run.notify, run.delivery);
  }
  after_cycle(run, now, platform::monotonic_ms() - started_ms);

  // Only the day of the month counts; the first cycle just records it.
  if (run.previous_day == -1) {
    run.previous_day = today;
  } else if (today != run.previous_day) {
    run.previous_day = today;
    if (run.report) {
      run.report(table, *run.settings, *run.notify);
    } else {
      run_daily_report(table, *run.settings, *run.notify, &run.history);
    }
  }
  return failure_mark;
}

bool wait_for_next_cycle(MonitorRun& run, int failure_mark) {
  const int seconds = next_wait_seconds(*run.settings, failure_mark);
  if (!silent_mode()) {
    plain_print("Wait %d seconds for next time check ...\n", seconds);
    plain_print("%s\n", kSeparator);
  }
  return wait_ms(run, seconds > 0 ? static_cast<uint64_t>(seconds) * 1000u : 0);
}

int run_monitor(MonitorRun& run) {
  if (!load_host_config(run.table, run.settings)) return 1;

  InstanceClaim claim;
  if (!claim_instance(&claim)) return 1;

  // Several instances started together (e.g. at log-on) spread their first
  // cycles over a few seconds.
  std::srand(platform::current_pid() ^ static_cast<uint32_t>(now_seconds()));
  const int delay_seconds = std::rand() % kStartDelaySpreadSeconds;
  if (wait_ms(run, static_cast<uint64_t>(delay_seconds) * 1000u)) {
    write_stopped_metrics(run);  // a file left by an earlier run says so
    return end_run(&claim, "stop requested during the start delay");
  }

  if (!silent_mode()) print_banner();
  log_event("------ linkwatch is started ------");
  log_curl_in_use();

  // Read afresh: changes made during the delay count.
  if (!load_host_config(run.table, run.settings)) {
    log_event("------ linkwatch is stopped: %s cannot be read ------", kHostFileName);
    release_instance(&claim, false);
    return 1;
  }
  load_notify_config(run.notify);
  if (any_tls_host(*run.table)) run.certs.look_at_curl(!silent_mode());
  remove_stale_send_files();  // mail and card files of ended processes
  // What a reload compares with; a request during the start delay is met
  // by the reading above.
  SettingLines loaded = read_setting_lines();
  run.reload_requested = false;

  const int normal_wait = normal_wait_seconds(*run.settings);
  if (!silent_mode()) {
    plain_print("Mail alert will send to [%s]\n", run.notify->to.c_str());
    plain_print("Normal interval [%d] sec, fast retry [%d] sec, ping count [%d], workers [%d]\n",
                normal_wait, run.settings->fast_retry_interval, kPingCount, run.settings->workers);
  }

  if (run.table->host_count == 0) {
    plain_print("No valid host in %s\n", kHostFileName);
    log_event("No valid host in %s", kHostFileName);
    log_event("------ linkwatch is stopped: no valid host ------");
    release_instance(&claim, false);  // the record stays; "-status" finds it stale
    return 1;
  }

  resolve_all_hosts(run.table);
  run.previous_day = -1;

  Delivery delivery(run.notify);
  // A copy of its own, so that a reload can rewrite *run.notify while a
  // send runs.
  delivery.replace_settings(*run.notify, false);
  // state_file: the states and waiting messages of the last run come back.
  const bool keep_state = run.settings->state_file == 1;
  StateKeeper keeper;
  if (keep_state) {
    SavedState saved;
    load_state_file(&saved);
    const int services = restore_services(saved, run.table);
    if (history_wanted(*run.settings)) {
      run.history.keep();
      restore_history(saved, *run.table, &run.history);
    }
    const int messages =
        restore_messages(saved, run.notify->retry_minutes, now_seconds(), &delivery);
    if (!saved.services.empty() || !saved.messages.empty()) {
      log_event("%s read: %d services and %d waiting alerts taken back", kStateFileName, services,
                messages);
    }
  }
  if (delivery.start()) {
    run.delivery = &delivery;
  } else {
    log_event("Unable to create the alert delivery thread: alerts are sent by the workers");
  }
  if (keep_state && !keeper.start(run.delivery)) {
    log_event("Unable to create the state file thread: %s is written after cycles only",
              kStateFileName);
  }
  if (!platform::stop_requested()) {
    for (;;) {
      const int failure_mark = run_cycle(run);
      run.certs.after_cycle(run, now_seconds());
      if (keep_state) {
        // The history goes with the file once a quarter-hour (and at the stop).
        std::string history;
        const bool turned = run.history.kept() && run.history.quarter_turned;
        if (turned) history = format_state_history(*run.table, run.history);
        run.history.quarter_turned = false;
        keeper.after_cycle(*run.table, turned ? &history : nullptr);
      }
      if (wait_for_next_cycle(run, failure_mark)) break;
      if (run.reload_requested) {
        run.reload_requested = false;
        ReloadChanges changes;
        reload_run(run, &loaded, &changes);
        run.certs.recheck_all();
      }
    }
  }
  // A send in flight gets a short grace from the command runner; what is
  // still waiting is logged as not delivered, or with state_file kept.
  run.certs.stop();
  std::vector<HeldMessage> kept;
  delivery.stop(keep_state ? &kept : nullptr);
  if (keep_state) {
    const std::string history = format_state_history(*run.table, run.history);
    keeper.finish(*run.table, kept, &history);
  }
  write_stopped_metrics(run);
  run.delivery = nullptr;
  run.heartbeat.wait();
  return end_run(&claim, "stop requested");
}

int run_monitor() {
  platform::install_stop_handler();
  static MonitorRun run;
  run.table = &process_host_table();
  run.settings = &process_monitor_settings();
  run.notify = &process_notify_settings();
  return run_monitor(run);
}

}  // namespace lw
