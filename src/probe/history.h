// The uptime history of the services: per service quarter-hour cells for the
// last 48 hours (checks, failures, whether a maintenance window or mute
// held), day cells for the last 35 local days and the last outages. Kept
// only while the status page or the uptime report asks for it (HistoryBook
// is empty otherwise), saved with the state file.

#ifndef LINKWATCH_PROBE_HISTORY_H_
#define LINKWATCH_PROBE_HISTORY_H_

#include <cstdint>
#include <memory>
#include <string>

#include "config/host_config.h"

namespace lw {

constexpr int64_t kQuarterSeconds = 900;
constexpr int kQuarterCells = 192;  // 48 hours
constexpr int kQuartersPerDay = 96;
constexpr int kDayCells = 35;
constexpr int kKeptOutages = 4;
// The down weight of a quarter whose every check failed, in a day cell.
constexpr int kQuarterWeight = 255;

// One service's history; zero is "nothing seen". Counts saturate.
struct ServiceHistory {
  int32_t last_quarter = 0;                     // now / kQuarterSeconds of the newest cell; 0: none
  int32_t last_day = 0;                         // local_day_number of the newest day cell
  uint8_t checks[kQuarterCells] = {};           // by quarter % kQuarterCells; not in maintenance
  uint8_t failures[kQuarterCells] = {};         // failed ones of `checks`
  uint8_t maintenance[kQuarterCells / 8] = {};  // bit: a check fell in maintenance
  // Finished quarters of the day with checks, and their failed shares
  // (kQuarterWeight for a quarter of failures only).
  uint8_t day_quarters[kDayCells] = {};
  uint16_t day_down[kDayCells] = {};
  // The last outages (failed checks in a row), oldest first; `to` 0: ongoing.
  uint32_t outage_from[kKeptOutages] = {};
  uint32_t outage_to[kKeptOutages] = {};
  uint8_t outage_count = 0;
  uint32_t dropped_to = 0;  // end of the newest outage no longer kept; 0: none
};

// What one quarter-hour cell holds.
struct QuarterFigures {
  int checks = 0;
  int failures = 0;
  bool maintenance = false;
};

// An uptime over a span: `quarters` quarter-hours with checks, `percent` up
// (time-weighted: each such quarter counts alike).
struct Uptime {
  int quarters = 0;
  double percent = 0.0;
  bool failures = false;  // any failure in the span
};

// The local calendar day of `seconds` as days since 1970-01-01.
int32_t local_day_number(int64_t seconds);

// Takes in one check at `now`: failed or not, or under maintenance (counted
// apart, never as a failure). Cells that `now` passes are cleared; a
// finished quarter goes into its day. A time before the newest cell counts
// in the newest cell. Opens an outage at a failure, closes it at a success.
void record_check(ServiceHistory* history, int64_t now, bool failed, bool maintenance);

// The cell of quarter `quarter` (seconds / kQuarterSeconds); empty when it
// is not held.
QuarterFigures quarter_figures(const ServiceHistory& history, int64_t quarter);

// The uptime over the `quarters` quarter-hours up to the one of `now`.
Uptime quarter_uptime(const ServiceHistory& history, int64_t now, int quarters);

// The uptime over the last `days` local days up to the one of `now`, its
// running quarter included.
Uptime day_uptime(const ServiceHistory& history, int64_t now, int days);

// "99.95%" (cut, never rounded up to 100 while a failure counted), "100%"
// without failures, `none` without checks.
std::string uptime_text(const Uptime& uptime, const char* none);

// A length of time: "40 s", "45 min", "2 h 5 min".
std::string length_text(int64_t seconds);

// The histories of the table's slots; empty (no memory) until kept.
struct HistoryBook {
  std::unique_ptr<ServiceHistory[]> services;  // kHostTableSlots, or null
  int64_t since = 0;                           // the first check recorded; 0: none
  // The quarter of the last cycle recorded, and whether a cycle moved it
  // on since the book was last saved (whoever saves it clears the flag).
  int64_t recorded_quarter = 0;
  bool quarter_turned = false;

  bool kept() const { return services != nullptr; }
  // Allocates the cells (once).
  void keep();
};

// True when the settings ask for a history (status page or uptime report).
// Inline: a run without either key runs none of this file's code.
inline bool history_wanted(const MonitorSettings& settings) {
  return !settings.status_html.empty() || settings.report_uptime == 1;
}

}  // namespace lw

#endif  // LINKWATCH_PROBE_HISTORY_H_
