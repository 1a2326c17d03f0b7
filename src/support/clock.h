// Wall-clock time with a seam for tests, and its local-time texts.

#ifndef LINKWATCH_SUPPORT_CLOCK_H_
#define LINKWATCH_SUPPORT_CLOCK_H_

#include <cstddef>
#include <cstdint>

namespace lw {

// Seconds since the epoch: the real time, or the test clock when one is set.
int64_t now_seconds();

// Replaces the clock (nullptr restores the real one). For tests only; set it
// while no other thread reads the clock.
using ClockFn = int64_t (*)();
void set_clock_for_testing(ClockFn clock);

// Formats `seconds` as local time with strftime format `fmt` into `out`.
// Gives "" when the time cannot be converted.
void format_local_time(int64_t seconds, const char* fmt, char* out, size_t cap);

// Day of the month (1 to 31) of `seconds` in local time; 0 when unknown.
int local_day_of_month(int64_t seconds);

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_CLOCK_H_
