#include "support/fixed_text.h"

#include <cctype>
#include <climits>

namespace lw {

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
