// Bounded copies into caller buffers: the text primitives below every other
// layer. Nothing here allocates, and a destination of `cap` bytes always ends
// up terminated unless `cap` is 0. Depends on the C library only.

#ifndef LINKWATCH_PLATFORM_BOUNDED_TEXT_H_
#define LINKWATCH_PLATFORM_BOUNDED_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace lw {

// Copies `src` (may be null: gives "") into `dst` of `cap` bytes, cut to
// cap-1 bytes. Returns the number of bytes stored. Nothing happens for cap 0.
inline size_t copy_bounded(char* dst, size_t cap, const char* src) {
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

// Appends `src` to the terminated text in `dst` of `cap` bytes, cut to fit.
// Returns the new length. A `dst` with no terminator within `cap` bytes is
// left unchanged and never read beyond `cap` (the result is then `cap`).
inline size_t append_bounded(char* dst, size_t cap, const char* src) {
  if (cap == 0) return 0;
  const void* end = std::memchr(dst, '\0', cap);
  if (!end) return cap;
  size_t len = static_cast<size_t>(static_cast<const char*>(end) - dst);
  return len + copy_bounded(dst + len, cap - len, src);
}

// vsnprintf that never fails: a format error leaves "". Returns the stored
// length (not the untruncated one).
inline size_t format_bounded(char* dst, size_t cap, const char* fmt, va_list args) {
  if (cap == 0) return 0;
  int n = std::vsnprintf(dst, cap, fmt ? fmt : "", args);
  if (n < 0) {
    dst[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

}  // namespace lw

#endif  // LINKWATCH_PLATFORM_BOUNDED_TEXT_H_
