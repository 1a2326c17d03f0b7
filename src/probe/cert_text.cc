#include "probe/cert_text.h"

#include <cstring>

#include "support/clock.h"

namespace lw {

namespace {

// A view of one line, without its line end.
struct Span {
  const char* p;
  size_t n;
};

bool starts_with(Span s, const char* prefix) {
  const size_t len = std::strlen(prefix);
  return s.n >= len && std::memcmp(s.p, prefix, len) == 0;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Reads exactly `width` digits at s[*at] (width 0: one or more, at most 9).
bool read_number(Span s, size_t* at, size_t width, int64_t* out) {
  int64_t n = 0;
  size_t i = *at, count = 0;
  while (i < s.n && is_digit(s.p[i]) && (width == 0 ? count < 9 : count < width)) {
    n = n * 10 + (s.p[i++] - '0');
    ++count;
  }
  if (count == 0 || (width != 0 && count != width)) return false;
  *at = i;
  *out = n;
  return true;
}

bool read_char(Span s, size_t* at, char c) {
  if (*at >= s.n || s.p[*at] != c) return false;
  ++*at;
  return true;
}

void skip_blanks(Span s, size_t* at) {
  while (*at < s.n && s.p[*at] == ' ') ++*at;
}

// "HH:MM:SS" at s[*at].
bool read_clock(Span s, size_t* at, int64_t* h, int64_t* mi, int64_t* sec) {
  return read_number(s, at, 2, h) && read_char(s, at, ':') && read_number(s, at, 2, mi) &&
         read_char(s, at, ':') && read_number(s, at, 2, sec);
}

// Blanks and "GMT" at s[at]; then the seconds of the whole date.
bool finish_date(Span s, size_t at, const int64_t (&f)[6], int64_t* seconds) {
  skip_blanks(s, &at);
  if (s.n - at < 3 || std::memcmp(s.p + at, "GMT", 3) != 0) return false;
  const int64_t y = f[0], mo = f[1], d = f[2], h = f[3], mi = f[4], sec = f[5];
  if (y < 1950 || y > 9999 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
      sec > 60) {
    return false;
  }
  *seconds = days_from_civil(y, mo, d) * 86400 + h * 3600 + mi * 60 + sec;
  return true;
}

Span trimmed_line(const char* text, size_t size, size_t* pos) {
  const size_t start = *pos;
  size_t end = start;
  while (end < size && text[end] != '\n') ++end;
  *pos = end < size ? end + 1 : end;
  size_t n = end - start;
  if (n > 0 && text[start + n - 1] == '\r') --n;
  return Span{text + start, n};
}

// The CN of a subject line's value ("C = US, O = x, CN = name" or
// "CN=name/O=x"): up to a comma, a slash or the end, blanks trimmed.
void read_common_name(Span s, FixedText<kCertNameSize>* out) {
  out->clear();
  for (size_t i = 0; i + 1 < s.n; ++i) {
    if (s.p[i] != 'C' || s.p[i + 1] != 'N') continue;
    if (i > 0 && s.p[i - 1] != ' ' && s.p[i - 1] != ',' && s.p[i - 1] != '/') continue;
    size_t at = i + 2;
    skip_blanks(s, &at);
    if (!read_char(s, &at, '=')) continue;
    skip_blanks(s, &at);
    size_t end = at;
    while (end < s.n && s.p[end] != ',' && s.p[end] != '/') ++end;
    while (end > at && s.p[end - 1] == ' ') --end;
    const size_t n = end - at < kCertNameSize - 1 ? end - at : kCertNameSize - 1;
    std::memcpy(out->data(), s.p + at, n);
    out->data()[n] = '\0';
    return;
  }
}

}  // namespace

bool parse_cert_date(const char* text, size_t size, int64_t* seconds) {
  const Span s{text, size};
  size_t at = 0;
  int64_t f[6] = {};                   // year, month, day, hour, minute, second
  if (s.n >= 4 && is_digit(s.p[0])) {  // 2026-12-27 19:27:41 GMT
    if (!read_number(s, &at, 4, &f[0]) || !read_char(s, &at, '-') ||
        !read_number(s, &at, 2, &f[1]) || !read_char(s, &at, '-') ||
        !read_number(s, &at, 2, &f[2])) {
      return false;
    }
    skip_blanks(s, &at);
    return read_clock(s, &at, &f[3], &f[4], &f[5]) && finish_date(s, at, f, seconds);
  }
  // Dec 27 19:27:41 2026 GMT (the day of one digit after two blanks).
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (s.n < 4) return false;
  for (int m = 0; m < 12 && f[1] == 0; ++m) {
    if (std::memcmp(s.p, kMonths + 3 * m, 3) == 0) f[1] = m + 1;
  }
  at = 3;
  skip_blanks(s, &at);
  if (f[1] == 0 || at == 3 || !read_number(s, &at, 0, &f[2])) return false;
  skip_blanks(s, &at);
  if (!read_clock(s, &at, &f[3], &f[4], &f[5])) return false;
  skip_blanks(s, &at);
  return read_number(s, &at, 4, &f[0]) && finish_date(s, at, f, seconds);
}

bool parse_cert_chain(const char* text, size_t size, CertChain* chain) {
  *chain = CertChain{};
  if (!text) return false;
  // curl's error line ("curl: (52) Empty reply from server") may come first.
  size_t pos = 0;
  int64_t count = 0;
  for (;;) {
    if (pos >= size) return false;
    const Span line = trimmed_line(text, size, &pos);
    size_t at = 0;
    if (read_number(line, &at, 0, &count) && at == line.n) break;
  }
  chain->count = static_cast<int32_t>(count);
  FixedText<kCertNameSize> subject;
  while (pos < size) {
    const Span line = trimmed_line(text, size, &pos);
    if (starts_with(line, "Subject:")) {
      read_common_name(Span{line.p + 8, line.n - 8}, &subject);
    } else if (starts_with(line, "Expire date:")) {
      Span value{line.p + 12, line.n - 12};
      while (value.n > 0 && value.p[0] == ' ') ++value.p, --value.n;
      int64_t seconds = 0;
      if (!parse_cert_date(value.p, value.n, &seconds)) continue;
      ++chain->dates;
      if (chain->dates == 1 || seconds < chain->expires) {
        chain->expires = seconds;
        chain->subject_cn = subject;
      }
    }
  }
  return chain->count > 0 && chain->dates > 0;
}

bool parse_curl_version(const char* text, int32_t* version, FixedText<32>* text_out) {
  if (!text || std::strncmp(text, "curl ", 5) != 0) return false;
  const Span s{text, std::strlen(text)};
  size_t at = 5;
  int64_t field[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && !read_char(s, &at, '.')) {
      if (i == 1) return false;
      break;  // "curl 8.10" without a patch number
    }
    if (!read_number(s, &at, 0, &field[i]) || field[i] > 99) return false;
  }
  *version = static_cast<int32_t>(field[0] * 10000 + field[1] * 100 + field[2]);
  text_out->format("%d.%d.%d", static_cast<int>(field[0]), static_cast<int>(field[1]),
                   static_cast<int>(field[2]));
  return true;
}

}  // namespace lw
