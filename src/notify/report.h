// The daily summary: every host probed once more, mailed to `iamalive`.

#ifndef LINKWATCH_NOTIFY_REPORT_H_
#define LINKWATCH_NOTIFY_REPORT_H_

#include "config/host_config.h"
#include "config/notify_config.h"

namespace lw {

// Probes every host of `table` with at most `workers` threads at once (below
// 1: one), grouped as the monitoring cycle groups them (batches, each joined
// before the next; with rolling_workers, each next host as soon as any probe
// ends; none once a stop is requested); then forms one line per host in
// table order and e-mails the alive report to `iamalive`. Does nothing when
// e-mail or iamalive is not enabled, and sends nothing when a stop request
// cut any of its probes short or left a host unprobed. May resolve hosts
// that have not resolved yet (each on its own probing thread); never touches
// the failure counters or alert state. Runs on the monitoring thread while
// no cycle worker runs; returns after every probe has ended.
void run_daily_report(HostTable* table, const MonitorSettings& settings,
                      const NotifySettings& notify);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_REPORT_H_
