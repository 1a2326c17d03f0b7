#include "probe/history.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

#include "support/clock.h"

namespace lw {

namespace {

int cell_of(int64_t quarter) { return static_cast<int>(quarter % kQuarterCells); }
int day_cell_of(int64_t day) { return static_cast<int>(day % kDayCells); }

void add_saturating(uint8_t* count) {
  if (*count < 255) ++*count;
}

bool maintenance_bit(const ServiceHistory& h, int cell) {
  return (h.maintenance[cell / 8] >> (cell % 8)) & 1;
}

void clear_quarter(ServiceHistory* h, int cell) {
  h->checks[cell] = 0;
  h->failures[cell] = 0;
  h->maintenance[cell / 8] &= static_cast<uint8_t>(~(1u << (cell % 8)));
}

// Moves the day cells on to `day`, clearing the days passed.
void advance_day(ServiceHistory* h, int32_t day) {
  if (h->last_day != 0 && day <= h->last_day) return;
  const int32_t from =
      h->last_day == 0 || day - h->last_day > kDayCells ? day - kDayCells : h->last_day;
  for (int32_t d = from + 1; d <= day; ++d) {
    h->day_quarters[day_cell_of(d)] = 0;
    h->day_down[day_cell_of(d)] = 0;
  }
  h->last_day = day;
}

// A finished quarter goes into its local day.
void fold_quarter(ServiceHistory* h, int64_t quarter) {
  const int cell = cell_of(quarter);
  if (h->checks[cell] == 0) return;
  const int32_t day = local_day_number(quarter * kQuarterSeconds);
  advance_day(h, day);
  if (day + kDayCells <= h->last_day) return;
  const int d = day_cell_of(day);
  if (h->day_quarters[d] < 255) ++h->day_quarters[d];
  const int down = (h->failures[cell] * kQuarterWeight + h->checks[cell] / 2) / h->checks[cell];
  h->day_down[d] = static_cast<uint16_t>(h->day_down[d] + down);
}

void open_outage(ServiceHistory* h, int64_t now) {
  if (h->outage_count == kKeptOutages) {
    h->dropped_to = h->outage_to[0];
    for (int i = 1; i < kKeptOutages; ++i) {
      h->outage_from[i - 1] = h->outage_from[i];
      h->outage_to[i - 1] = h->outage_to[i];
    }
    --h->outage_count;
  }
  h->outage_from[h->outage_count] = static_cast<uint32_t>(now);
  h->outage_to[h->outage_count] = 0;
  ++h->outage_count;
}

// Adds a quarter's share to a running sum.
void add_share(int checks, int failures, double* up, Uptime* uptime) {
  if (checks == 0) return;
  ++uptime->quarters;
  *up += static_cast<double>(checks - failures) / checks;
  uptime->failures = uptime->failures || failures > 0;
}

}  // namespace

int32_t local_day_number(int64_t seconds) {
  char text[16];
  format_local_time(seconds, "%Y %m %d", text, sizeof text);
  int y = 1970, m = 1, d = 1;
  if (std::sscanf(text, "%d %d %d", &y, &m, &d) != 3) return static_cast<int32_t>(seconds / 86400);
  return static_cast<int32_t>(days_from_civil(y, m, d));
}

void record_check(ServiceHistory* h, int64_t now, bool failed, bool maintenance) {
  int64_t quarter = now / kQuarterSeconds;
  if (h->last_quarter != 0 && quarter < h->last_quarter) quarter = h->last_quarter;
  if (h->last_quarter == 0) {
    for (int c = 0; c < kQuarterCells; ++c) clear_quarter(h, c);
    advance_day(h, local_day_number(now));
  } else if (quarter > h->last_quarter) {
    fold_quarter(h, h->last_quarter);
    const int64_t first = quarter - h->last_quarter > kQuarterCells ? quarter - kQuarterCells + 1
                                                                    : h->last_quarter + 1;
    for (int64_t q = first; q <= quarter; ++q) clear_quarter(h, cell_of(q));
    advance_day(h, local_day_number(now));
  }
  h->last_quarter = static_cast<int32_t>(quarter);
  const int cell = cell_of(quarter);
  const bool open = h->outage_count > 0 && h->outage_to[h->outage_count - 1] == 0;
  if (maintenance) {
    h->maintenance[cell / 8] |= static_cast<uint8_t>(1u << (cell % 8));
    return;
  }
  if (h->checks[cell] == 255) {
    // Saturated: keep the cell's share as it stands.
  } else {
    add_saturating(&h->checks[cell]);
    if (failed) add_saturating(&h->failures[cell]);
  }
  if (failed && !open) open_outage(h, now);
  if (!failed && open) h->outage_to[h->outage_count - 1] = static_cast<uint32_t>(now);
}

QuarterFigures quarter_figures(const ServiceHistory& h, int64_t quarter) {
  QuarterFigures figures;
  if (h.last_quarter == 0 || quarter > h.last_quarter || quarter + kQuarterCells <= h.last_quarter)
    return figures;
  const int cell = cell_of(quarter);
  figures.checks = h.checks[cell];
  figures.failures = h.failures[cell];
  figures.maintenance = maintenance_bit(h, cell);
  return figures;
}

Uptime quarter_uptime(const ServiceHistory& h, int64_t now, int quarters) {
  Uptime uptime;
  double up = 0.0;
  const int64_t last = now / kQuarterSeconds;
  for (int64_t q = last - quarters + 1; q <= last; ++q) {
    const QuarterFigures f = quarter_figures(h, q);
    add_share(f.checks, f.failures, &up, &uptime);
  }
  if (uptime.quarters > 0) uptime.percent = 100.0 * up / uptime.quarters;
  return uptime;
}

Uptime day_uptime(const ServiceHistory& h, int64_t now, int days) {
  Uptime uptime;
  if (h.last_quarter == 0) return uptime;
  const int32_t today = local_day_number(now);
  int64_t down = 0;
  for (int32_t d = today - days + 1; d <= today; ++d) {
    if (d > h.last_day || d + kDayCells <= h.last_day) continue;
    uptime.quarters += h.day_quarters[day_cell_of(d)];
    down += h.day_down[day_cell_of(d)];
  }
  double up = static_cast<double>(uptime.quarters) - static_cast<double>(down) / kQuarterWeight;
  uptime.failures = down > 0;
  // The running quarter is not in its day yet.
  const int32_t running_day =
      local_day_number(static_cast<int64_t>(h.last_quarter) * kQuarterSeconds);
  if (running_day > today - days && running_day <= today) {
    const QuarterFigures f = quarter_figures(h, h.last_quarter);
    add_share(f.checks, f.failures, &up, &uptime);
  }
  if (uptime.quarters > 0) uptime.percent = 100.0 * up / uptime.quarters;
  return uptime;
}

std::string uptime_text(const Uptime& uptime, const char* none) {
  if (uptime.quarters == 0) return none;
  if (!uptime.failures) return "100%";
  char text[16];
  std::snprintf(text, sizeof text, "%.2f%%", std::floor(uptime.percent * 100.0) / 100.0);
  return text;
}

std::string length_text(int64_t seconds) {
  char text[48];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%d s", static_cast<int>(seconds < 0 ? 0 : seconds));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%d min", static_cast<int>(seconds / 60));
  } else {
    std::snprintf(text, sizeof text, "%" PRId64 " h %d min", seconds / 3600,
                  static_cast<int>(seconds % 3600 / 60));
  }
  return text;
}

void HistoryBook::keep() {
  if (!services) services = std::make_unique<ServiceHistory[]>(kHostTableSlots);
}

}  // namespace lw
