// The daily summary: every host probed once more, mailed to `iamalive`.

#ifndef LINKWATCH_NOTIFY_REPORT_H_
#define LINKWATCH_NOTIFY_REPORT_H_

#include <cstdint>
#include <string>

#include "config/host_config.h"
#include "config/notify_config.h"
#include "probe/history.h"

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
// With `report_uptime` and a kept `history`, the mail adds each service's
// uptime over the past day and its outages (uptime_lines).
void run_daily_report(HostTable* table, const MonitorSettings& settings,
                      const NotifySettings& notify, const HistoryBook* history = nullptr);

// The uptime part of the alive report at `now`: per service of `table` its
// time-weighted uptime over the past 24 hours ("over 5 h 15 min watched"
// when fewer quarter-hours had checks), then each outage that overlaps the
// day: "outage <from> to <to>, <length>", or "outage since <from>, ongoing".
std::string uptime_lines(const HostTable& table, const HistoryBook& history, int64_t now);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_REPORT_H_
