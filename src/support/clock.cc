#include "support/clock.h"

#include <ctime>

#include "platform/platform.h"
#include "support/environment.h"

namespace lw {

int64_t now_seconds() {
  const ClockFn clock = current_environment().clock;
  return clock ? clock() : static_cast<int64_t>(std::time(nullptr));
}

void format_local_time(int64_t seconds, const char* fmt, char* out, size_t cap) {
  if (cap == 0) return;
  out[0] = '\0';
  std::tm tm{};
  if (!platform::local_time(seconds, &tm)) return;
  if (std::strftime(out, cap, fmt, &tm) == 0) out[0] = '\0';
}

int local_day_of_month(int64_t seconds) {
  std::tm tm{};
  return platform::local_time(seconds, &tm) ? tm.tm_mday : 0;
}

int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace lw
