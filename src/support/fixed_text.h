// Fixed-capacity text: every text field and work buffer of the system.
// A FixedText<N> holds at most N-1 bytes and is always NUL-terminated;
// whatever does not fit is cut, never an error. No heap is used. The
// bounded copy, append and format functions come from platform/bounded_text.h.

#ifndef LINKWATCH_SUPPORT_FIXED_TEXT_H_
#define LINKWATCH_SUPPORT_FIXED_TEXT_H_

#include <cstdarg>
#include <cstddef>
#include <cstring>

#include "platform/bounded_text.h"

namespace lw {

template <size_t N>
class FixedText {
  static_assert(N >= 1, "room for the terminator");

 public:
  FixedText() { buf_[0] = '\0'; }
  explicit FixedText(const char* s) { assign(s); }

  static constexpr size_t capacity() { return N; }  // bytes, terminator included
  static constexpr size_t max_length() { return N - 1; }

  const char* c_str() const { return buf_; }
  // Writable storage of capacity() bytes, for functions that fill a buffer.
  char* data() { return buf_; }
  size_t size() const { return std::strlen(buf_); }
  bool empty() const { return buf_[0] == '\0'; }
  void clear() { buf_[0] = '\0'; }

  void assign(const char* s) { copy_bounded(buf_, N, s); }
  void append(const char* s) { append_bounded(buf_, N, s); }

  __attribute__((format(gnu_printf, 2, 3))) void format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    format_bounded(buf_, N, fmt, args);
    va_end(args);
  }

  __attribute__((format(gnu_printf, 2, 3))) void append_format(const char* fmt, ...) {
    size_t len = size();
    va_list args;
    va_start(args, fmt);
    format_bounded(buf_ + len, N - len, fmt, args);
    va_end(args);
  }

  bool operator==(const char* s) const { return std::strcmp(buf_, s ? s : "") == 0; }

 private:
  char buf_[N];
};

// Converts text like the C library's atoi: leading white space, one optional
// sign, then decimal digits up to the first other byte; 0 when there are no
// digits. A value beyond the 32-bit signed range is clamped to that range.
int to_int(const char* text);

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_FIXED_TEXT_H_
