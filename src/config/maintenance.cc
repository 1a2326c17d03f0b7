#include "config/maintenance.h"

#include <cctype>
#include <cstring>
#include <ctime>

#include "platform/platform.h"

namespace lw {
namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr uint8_t kEveryDay = 0x7f;

// True when `p` begins with `word`, letters in any case.
bool starts_with_word(const char* p, const char* word, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    if (std::tolower(static_cast<unsigned char>(p[i])) !=
        std::tolower(static_cast<unsigned char>(word[i]))) {
      return false;
    }
  }
  return true;
}

const char* skip_blanks(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

// The weekday named by the three letters at `p`, or -1.
int weekday_at(const char* p) {
  for (int d = 0; d < 7; ++d) {
    if (starts_with_word(p, kDayNames[d], 3)) return d;
  }
  return -1;
}

// Reads "HH:MM" at `*p` (hours up to `max_hour`, 24 only as 24:00) into
// minutes, moving `*p` past it.
bool read_clock(const char** p, int max_hour, int* minutes) {
  const char* s = *p;
  if (!isdigit(static_cast<unsigned char>(s[0])) || !isdigit(static_cast<unsigned char>(s[1])) ||
      s[2] != ':' || !isdigit(static_cast<unsigned char>(s[3])) ||
      !isdigit(static_cast<unsigned char>(s[4]))) {
    return false;
  }
  const int h = (s[0] - '0') * 10 + (s[1] - '0');
  const int m = (s[3] - '0') * 10 + (s[4] - '0');
  if (h > max_hour || m > 59 || (h == 24 && m != 0)) return false;
  *minutes = h * 60 + m;
  *p = s + 5;
  return true;
}

// True when the day `day` of a month of `days_in_month` days is the nth
// (1 first, -1 last, 0 any) of its weekday.
bool nth_matches(int nth, int day, int days_in_month) {
  if (nth == 1) return day <= 7;
  if (nth == -1) return day + 7 > days_in_month;
  return true;
}

}  // namespace

bool parse_maintenance_window(const char* text, MaintenanceWindow* out) {
  MaintenanceWindow w;
  const char* p = skip_blanks(text);
  if (starts_with_word(p, "daily", 5) && (p[5] == ' ' || p[5] == '\t')) {
    w.days = kEveryDay;
    p += 5;
  } else {
    if (starts_with_word(p, "first", 5) && (p[5] == ' ' || p[5] == '\t')) {
      w.nth = 1;
      p = skip_blanks(p + 5);
    } else if (starts_with_word(p, "last", 4) && (p[4] == ' ' || p[4] == '\t')) {
      w.nth = -1;
      p = skip_blanks(p + 4);
    }
    for (;;) {
      const int d = weekday_at(p);
      if (d < 0 || (w.days & (1u << d))) return false;
      w.days = static_cast<uint8_t>(w.days | (1u << d));
      p += 3;
      if (*p != ',') break;
      if (w.nth != 0) return false;  // "first Tue,Wed" reads two ways: refused
      ++p;
    }
  }
  if (*p != ' ' && *p != '\t') return false;
  p = skip_blanks(p);
  int start = 0, end = 0;
  if (!read_clock(&p, 23, &start) || *p++ != '-' || !read_clock(&p, 24, &end)) return false;
  if (*skip_blanks(p) != '\0' || start == end) return false;
  w.start = static_cast<int16_t>(start);
  w.end = static_cast<int16_t>(end);
  *out = w;
  return true;
}

bool parse_maintenance_list(const char* text, MaintenanceWindow* out, int32_t* count) {
  *count = 0;
  int n = 0;
  const char* p = text;
  for (;;) {
    const char* stop = std::strchr(p, ';');
    const size_t len = stop ? static_cast<size_t>(stop - p) : std::strlen(p);
    FixedText<128> piece;
    if (len >= piece.capacity()) return false;
    std::memcpy(piece.data(), p, len);
    piece.data()[len] = '\0';
    const bool blank = *skip_blanks(piece.c_str()) == '\0';
    if (blank && (stop || n > 0)) return false;  // an empty entry between or after ';'
    if (!blank) {
      if (n == kMaxGlobalWindows || !parse_maintenance_window(piece.c_str(), &out[n])) return false;
      ++n;
    }
    if (!stop) break;
    p = stop + 1;
  }
  *count = n;
  return true;
}

void format_maintenance_window(const MaintenanceWindow& w, FixedText<64>* out) {
  out->assign(w.nth == 1 ? "first " : w.nth == -1 ? "last " : "");
  if (w.days == kEveryDay && w.nth == 0) {
    out->append("daily");
  } else {
    bool first = true;
    for (int d = 0; d < 7; ++d) {
      if (!(w.days & (1u << d))) continue;
      out->append_format("%s%s", first ? "" : ",", kDayNames[d]);
      first = false;
    }
  }
  out->append_format(" %02d:%02d-%02d:%02d", w.start / 60, w.start % 60, w.end / 60, w.end % 60);
}

bool local_moment(int64_t seconds, LocalMoment* out) {
  std::tm tm{};
  if (!platform::local_time(seconds, &tm)) return false;
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int year = tm.tm_year + 1900;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  auto days_of = [leap](int month) { return kDays[month] + (month == 1 && leap ? 1 : 0); };
  out->weekday = tm.tm_wday;
  out->day = tm.tm_mday;
  out->days_in_month = days_of(tm.tm_mon);
  out->days_in_prev_month = days_of((tm.tm_mon + 11) % 12);
  out->minute = tm.tm_hour * 60 + tm.tm_min;
  return true;
}

bool window_holds(const MaintenanceWindow& w, const LocalMoment& at) {
  const bool crosses = w.end <= w.start;
  // Today's window: from its start to its end or midnight.
  if ((w.days & (1u << at.weekday)) && nth_matches(w.nth, at.day, at.days_in_month) &&
      at.minute >= w.start && (crosses || at.minute < w.end)) {
    return true;
  }
  if (!crosses || at.minute >= w.end) return false;
  // Yesterday's window running past midnight.
  const int weekday = (at.weekday + 6) % 7;
  const bool new_month = at.day == 1;
  const int day = new_month ? at.days_in_prev_month : at.day - 1;
  const int days_in_month = new_month ? at.days_in_prev_month : at.days_in_month;
  return (w.days & (1u << weekday)) && nth_matches(w.nth, day, days_in_month);
}

bool any_window_holds(const MaintenanceWindow* windows, int count, const LocalMoment& at) {
  for (int i = 0; i < count; ++i) {
    if (window_holds(windows[i], at)) return true;
  }
  return false;
}

}  // namespace lw
