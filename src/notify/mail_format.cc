#include "notify/mail_format.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "support/clock.h"
#include "support/fixed_text.h"

namespace lw {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// The moments whose year, shifted by any offset, can lie in 1900..9999.
constexpr int64_t kEarliestDateSeconds = -2208988800LL - kSecondsPerDay;  // 1900-01-01
constexpr int64_t kLatestDateSeconds = 253402300799LL + kSecondsPerDay;   // 9999-12-31
constexpr char kWordStart[] = "=?UTF-8?B?";
constexpr char kWordEnd[] = "?=";
constexpr size_t kWordOverhead = sizeof(kWordStart) - 1 + sizeof(kWordEnd) - 1;
constexpr char kFold[] = "\n ";
constexpr size_t kSubjectPrefixLength = sizeof("Subject: ") - 1;
constexpr size_t kFromPrefixLength = sizeof("From: ") - 1;

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::atomic<uint64_t> message_counter{0};

int64_t floor_div(int64_t a, int64_t b) {
  return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

struct Civil {
  int64_t year;
  int month;  // 1..12
  int day;    // 1..31
  int hour, minute, second;
  int weekday;  // 0 = Sunday
};

// Breaks seconds since the epoch into a calendar time (no zone applied).
Civil civil_from_seconds(int64_t seconds) {
  const int64_t days = floor_div(seconds, kSecondsPerDay);
  const int64_t rest = seconds - days * kSecondsPerDay;
  const int64_t z = days + 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  Civil c;
  c.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  c.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  c.year = yoe + era * 400 + (c.month <= 2 ? 1 : 0);
  c.hour = static_cast<int>(rest / 3600);
  c.minute = static_cast<int>(rest / 60 % 60);
  c.second = static_cast<int>(rest % 60);
  c.weekday = static_cast<int>(days + 4 - floor_div(days + 4, 7) * 7);  // 1970-01-01 was a Thursday
  return c;
}

// The local offset from UTC at `seconds`, in whole minutes (rounded), from
// the calendar fields the system gives for that moment. False when the
// system gives none or nonsense.
bool local_offset_minutes(int64_t seconds, int64_t* minutes) {
  std::tm tm{};
  if (!platform::local_time(seconds, &tm)) return false;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour < 0 ||
      tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 || tm.tm_sec < 0 || tm.tm_sec > 60) {
    return false;
  }
  const int64_t local =
      days_from_civil(tm.tm_year + 1900LL, tm.tm_mon + 1, tm.tm_mday) * kSecondsPerDay +
      tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
  const int64_t offset = local - seconds;
  if (offset <= -kSecondsPerDay || offset >= kSecondsPerDay) return false;
  *minutes = floor_div(offset + 30, 60);
  return true;
}

// Locates the address inside a sender text; see split_mailbox. `open`
// (may be null) receives its '<', or null when there is none.
void find_address(const char* from, const char** begin, const char** end,
                  const char** open_bracket = nullptr) {
  const char* open = nullptr;
  bool quoted = false;
  for (const char* s = from; *s && !open; ++s) {
    if (quoted) {
      if (*s == '\\' && s[1]) {
        ++s;
      } else if (*s == '"') {
        quoted = false;
      }
    } else if (*s == '"') {
      quoted = true;
    } else if (*s == '<') {
      open = s;
    }
  }
  if (!open && quoted) open = std::strchr(from, '<');  // an unclosed quote hides nothing
  if (open_bracket) *open_bracket = open;
  const char* b = open ? open + 1 : from;
  const char* e = open ? std::strchr(b, '>') : nullptr;
  if (!e) e = b + std::strlen(b);
  while (b < e && (*b == ' ' || *b == '\t')) ++b;
  while (e > b && (e[-1] == ' ' || e[-1] == '\t')) --e;
  *begin = b;
  *end = e;
}

// True for a host name: labels of letters, digits and '-' joined by '.'.
bool usable_domain(const char* b, const char* e) {
  const size_t length = static_cast<size_t>(e - b);
  if (length == 0 || length > 253 || *b == '.' || e[-1] == '.') return false;
  for (const char* s = b; s < e; ++s) {
    const char c = *s;
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '-' && !(c == '.' && s[1] != '.')) return false;
  }
  return true;
}

// Bytes of the character starting at `s`: a UTF-8 lead byte with its
// continuation bytes, else the single byte.
size_t character_length(const unsigned char* s, size_t left) {
  if (s[0] < 0xC0) return 1;
  const size_t expected = s[0] >= 0xF0 ? 4 : s[0] >= 0xE0 ? 3 : 2;
  size_t n = 1;
  while (n < expected && n < left && (s[n] & 0xC0) == 0x80) ++n;
  return n;
}

// Writes "=?UTF-8?B?<base64 of bytes>?=" into `out` (large enough).
size_t encoded_word(const unsigned char* bytes, size_t count, char* out) {
  size_t n = 0;
  for (const char* s = kWordStart; *s; ++s) out[n++] = *s;
  for (size_t i = 0; i < count; i += 3) {
    const unsigned v = (bytes[i] << 16) | (i + 1 < count ? bytes[i + 1] << 8 : 0) |
                       (i + 2 < count ? bytes[i + 2] : 0);
    out[n++] = kBase64[(v >> 18) & 63];
    out[n++] = kBase64[(v >> 12) & 63];
    out[n++] = i + 1 < count ? kBase64[(v >> 6) & 63] : '=';
    out[n++] = i + 2 < count ? kBase64[v & 63] : '=';
  }
  for (const char* s = kWordEnd; *s; ++s) out[n++] = *s;
  out[n] = '\0';
  return n;
}

// Appends to a terminated buffer; a piece that does not fit is not written
// at all and leaves the writer failed.
class Appender {
 public:
  Appender(char* out, size_t cap) : out_(out), cap_(cap) {
    if (cap_) out_[0] = '\0';
  }
  void put(const char* s, size_t n) {
    if (!ok_ || len_ + n >= cap_) {
      ok_ = false;
      return;
    }
    std::memcpy(out_ + len_, s, n);
    len_ += n;
    out_[len_] = '\0';
  }
  void put(const char* s) { put(s, std::strlen(s)); }
  // Writes `s` (null: nothing) with every control byte as a space.
  void put_single_line(const char* s) {
    for (; s && *s; ++s) {
      const unsigned char c = static_cast<unsigned char>(*s);
      put(c < 0x20 || c == 0x7F ? " " : s, 1);
    }
  }
  // Accounts for `n` bytes written directly at end().
  void grew(size_t n) { len_ += n; }
  char* end() { return out_ + len_; }
  size_t room() const { return cap_ - len_; }
  size_t length() const { return len_; }
  bool ok() const { return ok_; }

 private:
  char* out_;
  size_t cap_;
  size_t len_ = 0;
  bool ok_ = true;
};

}  // namespace

size_t rfc5322_date(int64_t seconds, char* out, size_t cap) {
  if (cap) out[0] = '\0';
  if (seconds < kEarliestDateSeconds || seconds > kLatestDateSeconds) return 0;
  int64_t offset = 0;
  const bool known = local_offset_minutes(seconds, &offset);
  const Civil c = civil_from_seconds(seconds + offset * 60);
  if (c.year < 1900 || c.year > 9999) return 0;
  const int64_t magnitude = offset < 0 ? -offset : offset;
  const int n =
      std::snprintf(out, cap, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", kDayNames[c.weekday],
                    c.day, kMonthNames[c.month - 1], static_cast<int>(c.year), c.hour, c.minute,
                    c.second, (offset < 0 || !known) ? '-' : '+', static_cast<int>(magnitude / 60),
                    static_cast<int>(magnitude % 60));
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    if (cap) out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n);
}

size_t make_message_id(const char* sender, int64_t seconds, char* out, size_t cap) {
  if (cap) out[0] = '\0';
  const char* domain = kMailFallbackDomain;
  size_t domain_length = sizeof(kMailFallbackDomain) - 1;
  if (sender) {
    const char* b;
    const char* e;
    find_address(sender, &b, &e);
    const char* at = nullptr;
    for (const char* s = b; s < e; ++s) {
      if (*s == '@') at = s;
    }
    if (at && usable_domain(at + 1, e)) {
      domain = at + 1;
      domain_length = static_cast<size_t>(e - domain);
    }
  }
  const uint64_t count = message_counter.fetch_add(1, std::memory_order_relaxed) + 1;
  const Civil c = civil_from_seconds(seconds);
  const int n = std::snprintf(out, cap, "<%04lld%02d%02d%02d%02d%02d.%lu.%llu@%.*s>",
                              static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute,
                              c.second, static_cast<unsigned long>(platform::current_pid()),
                              static_cast<unsigned long long>(count),
                              static_cast<int>(domain_length), domain);
  if (n < 0 || static_cast<size_t>(n) >= cap) {
    if (cap) out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n);
}

bool split_mailbox(const char* from, char* header, size_t header_cap, char* address,
                   size_t address_cap) {
  if (header_cap) header[0] = '\0';
  if (address_cap) address[0] = '\0';
  if (!from) return false;
  const char* b;
  const char* e;
  find_address(from, &b, &e);
  const size_t length = static_cast<size_t>(e - b);
  if (length == 0 || length >= address_cap || std::strlen(from) >= header_cap) return false;
  copy_bounded(header, header_cap, from);
  std::memcpy(address, b, length);
  address[length] = '\0';
  return true;
}

size_t encode_header_text(const char* text, char* out, size_t cap, size_t first_line_used) {
  if (cap == 0) return 0;
  out[0] = '\0';
  if (!text) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const size_t length = std::strlen(text);
  bool plain = true;
  for (size_t i = 0; i < length && plain; ++i) plain = bytes[i] >= 0x20 && bytes[i] < 0x7F;
  if (plain) return copy_bounded(out, cap, text);

  Appender w(out, cap);
  size_t line_used = first_line_used;
  bool new_line = false;  // the next word starts a continuation line
  size_t pos = 0;
  while (pos < length) {
    const size_t line_room =
        new_line ? kMailHeaderLineMax - 1
                 : (line_used < kMailHeaderLineMax ? kMailHeaderLineMax - line_used : 0);
    const size_t word_room = line_room < kMailEncodedWordMax ? line_room : kMailEncodedWordMax;
    const size_t max_bytes = word_room > kWordOverhead ? (word_room - kWordOverhead) / 4 * 3 : 0;
    size_t take = 0;
    while (pos + take < length) {
      const size_t c = character_length(bytes + pos + take, length - pos - take);
      if (take + c > max_bytes) break;
      take += c;
    }
    if (take == 0) {  // not even one character fits beside the first line's text
      new_line = true;
      continue;
    }
    char piece[sizeof(kFold) + kMailEncodedWordMax + 1];
    size_t n = 0;
    if (new_line) {
      std::memcpy(piece, kFold, sizeof(kFold) - 1);
      n = sizeof(kFold) - 1;
    }
    n += encoded_word(bytes + pos, take, piece + n);
    w.put(piece, n);
    if (!w.ok()) break;  // keeps only the whole words written so far
    pos += take;
    new_line = true;
  }
  return w.length();
}

size_t encode_mailbox_header(const char* from, char* out, size_t cap, size_t first_line_used) {
  if (cap == 0) return 0;
  out[0] = '\0';
  if (!from) return 0;
  const char* b;
  const char* e;
  const char* open = nullptr;
  find_address(from, &b, &e, &open);
  bool eight_bit = false;
  for (const char* s = from; open && s < open && !eight_bit; ++s) {
    eight_bit = static_cast<unsigned char>(*s) >= 0x80;
  }
  Appender w(out, cap);
  if (!eight_bit) {
    w.put_single_line(from);
    if (!w.ok()) out[0] = '\0';
    return w.ok() ? w.length() : 0;
  }
  // The display name, trimmed, out of its quotes, control bytes as spaces.
  const char* nb = from;
  const char* ne = open;
  while (nb < ne && (*nb == ' ' || *nb == '\t')) ++nb;
  while (ne > nb && (ne[-1] == ' ' || ne[-1] == '\t')) --ne;
  const bool quoted = ne - nb >= 2 && *nb == '"' && ne[-1] == '"';
  if (quoted) {
    ++nb;
    --ne;
  }
  std::string name;
  for (const char* s = nb; s < ne; ++s) {
    if (quoted && *s == '\\' && s + 1 < ne) ++s;
    const unsigned char c = static_cast<unsigned char>(*s);
    name.push_back(c < 0x20 || c == 0x7F ? ' ' : *s);
  }
  // Words of at most 75 characters and their folds for at most 45 bytes each.
  std::string words(2 * name.size() + 2 * kMailHeaderLineMax, '\0');
  const size_t length =
      encode_header_text(name.c_str(), words.data(), words.size(), first_line_used);
  w.put(words.c_str(), length);
  // The address part as written: on the last line when it fits there.
  const char* last = std::strrchr(words.c_str(), '\n');
  const size_t last_used =
      last ? length - static_cast<size_t>(last - words.c_str()) - 1 : first_line_used + length;
  if (last_used + 1 + std::strlen(open) > kMailHeaderLineMax) {
    w.put(kFold);
  } else {
    w.put(" ");
  }
  w.put_single_line(open);
  if (!w.ok()) {
    out[0] = '\0';
    return 0;
  }
  return w.length();
}

size_t format_mail_headers(const MailHeaderInput& input, char* out, size_t cap) {
  if (cap) out[0] = '\0';
  char tail[512];
  Appender t(tail, sizeof(tail));
  char date[40];
  if (rfc5322_date(input.seconds, date, sizeof(date)) > 0) {
    t.put("Date: ");
    t.put(date);
    t.put("\n");
  }
  char id[300];
  if (make_message_id(input.from, input.seconds, id, sizeof(id)) > 0) {
    t.put("Message-ID: ");
    t.put(id);
    t.put("\n");
  }
  t.put(
      "MIME-Version: 1.0\nContent-Type: text/plain; charset=UTF-8\n"
      "Content-Transfer-Encoding: 8bit\n\n");

  Appender w(out, cap);
  w.put("From: ");
  {
    const size_t from_length = input.from ? std::strlen(input.from) : 0;
    std::string from(3 * from_length + 4 * kMailHeaderLineMax, '\0');
    w.put(from.c_str(),
          encode_mailbox_header(input.from, from.data(), from.size(), kFromPrefixLength));
  }
  w.put("\nTo: ");
  w.put_single_line(input.to);
  w.put("\nSubject: ");
  const size_t reserve = 1 + t.length();  // the subject's line end and the lines after it
  if (!t.ok() || !w.ok() || w.room() <= reserve) {
    if (cap) out[0] = '\0';
    return 0;
  }
  w.grew(encode_header_text(input.subject, w.end(), w.room() - reserve, kSubjectPrefixLength));
  w.put("\n");
  w.put(tail, t.length());
  return w.length();
}

}  // namespace lw
