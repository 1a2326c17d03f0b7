#include "support/clock.h"

#include <atomic>
#include <ctime>

#include "platform/platform.h"

namespace lw {

namespace {
std::atomic<ClockFn> test_clock{nullptr};
}  // namespace

int64_t now_seconds() {
  ClockFn clock = test_clock.load(std::memory_order_relaxed);
  return clock ? clock() : static_cast<int64_t>(std::time(nullptr));
}

void set_clock_for_testing(ClockFn clock) { test_clock.store(clock); }

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
