// Maintenance windows: the `maintenance` key of the host file, read into
// windows and asked whether a local time lies inside one of them.

#ifndef LINKWATCH_CONFIG_MAINTENANCE_H_
#define LINKWATCH_CONFIG_MAINTENANCE_H_

#include <cstdint>

#include "support/fixed_text.h"

namespace lw {

constexpr int kMaxHostWindows = 4;    // per host block
constexpr int kMaxGlobalWindows = 8;  // before the first host block
constexpr int kMinutesPerDay = 1440;

// One window: on the days of `days` (bit 0 Sunday .. bit 6 Saturday), from
// `start` to `end` minutes after midnight. An `end` not after `start` runs
// past midnight into the next day ("Mon 22:00-02:00" holds Monday 22:00 to
// Tuesday 02:00). `nth` 1 keeps only the first such weekday of the month,
// -1 only the last, 0 every one; a window past midnight belongs to the day
// it starts on.
struct MaintenanceWindow {
  uint8_t days = 0;
  int8_t nth = 0;
  int16_t start = 0;
  int16_t end = 0;
};

template <int N>
struct MaintenanceWindows {
  MaintenanceWindow window[N];
  int32_t count = 0;
};
using HostWindows = MaintenanceWindows<kMaxHostWindows>;
using GlobalWindows = MaintenanceWindows<kMaxGlobalWindows>;

// Reads one window: "<days> HH:MM-HH:MM" where <days> is "daily", a weekday
// ("Sun" .. "Sat", any case), weekdays joined by commas ("Mon,Wed"), or
// "first"/"last" and one weekday. HH:MM is 00:00 to 23:59; the end may also
// be 24:00. Start and end may not be equal. Returns false for anything else.
bool parse_maintenance_window(const char* text, MaintenanceWindow* out);

// Reads a `maintenance` value: windows separated by ';' (blanks around them
// ignored) into `out` (kMaxGlobalWindows entries). "" (or blanks) is no
// window. Returns false, with *count 0, when a window is refused or there
// are more than kMaxGlobalWindows.
bool parse_maintenance_list(const char* text, MaintenanceWindow* out, int32_t* count);

// The window as parse_maintenance_window reads it back ("Mon,Wed 22:00-02:00").
void format_maintenance_window(const MaintenanceWindow& window, FixedText<64>* out);

// What a window needs to know of a local time.
struct LocalMoment {
  int weekday = 0;              // 0 Sunday .. 6 Saturday
  int day = 1;                  // of the month, 1..31
  int days_in_month = 31;       // of this month
  int days_in_prev_month = 31;  // of the month before
  int minute = 0;               // after midnight, 0..1439
};

// `seconds` since the epoch as a local time; false when it cannot be converted.
bool local_moment(int64_t seconds, LocalMoment* out);

// True when `at` lies inside `window`.
bool window_holds(const MaintenanceWindow& window, const LocalMoment& at);

// True when `at` lies inside any of the `count` windows.
bool any_window_holds(const MaintenanceWindow* windows, int count, const LocalMoment& at);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_MAINTENANCE_H_
