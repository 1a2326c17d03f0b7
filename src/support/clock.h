// Wall-clock time, replaceable through the environment, and its local-time
// texts.

#ifndef LINKWATCH_SUPPORT_CLOCK_H_
#define LINKWATCH_SUPPORT_CLOCK_H_

#include <cstddef>
#include <cstdint>

namespace lw {

// Seconds since the epoch by the environment's clock (support/environment):
// the real time unless a clock is put in its place.
int64_t now_seconds();

// Days since 1970-01-01 of the proleptic Gregorian date y-m-d (m 1..12).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d);

// Formats `seconds` as local time with strftime format `fmt` into `out`.
// Gives "" when the time cannot be converted.
void format_local_time(int64_t seconds, const char* fmt, char* out, size_t cap);

// Day of the month (1 to 31) of `seconds` in local time; 0 when unknown.
int local_day_of_month(int64_t seconds);

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_CLOCK_H_
