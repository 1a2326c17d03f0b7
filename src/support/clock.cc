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

}  // namespace lw
