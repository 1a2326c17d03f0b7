#include "support/fixed_text.h"

#include <cctype>
#include <climits>

namespace lw {

size_t copy_bounded(char* dst, size_t cap, const char* src) {
  if (cap == 0) return 0;
  size_t n = 0;
  if (src) {
    while (n + 1 < cap && src[n] != '\0') {
      dst[n] = src[n];
      ++n;
    }
  }
  dst[n] = '\0';
  return n;
}

size_t append_bounded(char* dst, size_t cap, const char* src) {
  if (cap == 0) return 0;
  // Looks for the terminator within cap only: a buffer that has none there is
  // left alone and never read beyond its end.
  const void* end = std::memchr(dst, '\0', cap);
  if (!end) return cap;
  size_t len = static_cast<size_t>(static_cast<const char*>(end) - dst);
  return len + copy_bounded(dst + len, cap - len, src);
}

size_t format_bounded(char* dst, size_t cap, const char* fmt, va_list args) {
  if (cap == 0) return 0;
  int n = std::vsnprintf(dst, cap, fmt ? fmt : "", args);
  if (n < 0) {
    dst[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

int to_int(const char* text) {
  if (!text) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  while (*p >= '0' && *p <= '9') {
    if (value < limit) value = value * 10 + (*p - '0');
    if (value > limit) value = limit;
    ++p;
  }
  return static_cast<int>(negative ? -value : value);
}

}  // namespace lw
