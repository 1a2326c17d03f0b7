#include "notify/teams_card.h"

#include <cstring>

#include "notify/teams.h"

namespace lw {

namespace {

constexpr const char kCardHead[] =
    "{\n"
    "  \"type\": \"message\",\n"
    "  \"attachments\": [\n"
    "    {\n"
    "      \"contentType\": \"application/vnd.microsoft.card.adaptive\",\n"
    "      \"content\": {\n"
    "        \"$schema\": \"http://adaptivecards.io/schemas/adaptive-card.json\",\n"
    "        \"type\": \"AdaptiveCard\",\n"
    "        \"version\": \"1.4\",\n"
    "        \"body\": [\n"
    "          {\"type\": \"TextBlock\", \"text\": \"";
constexpr const char kTitleEnd[] =
    "\", \"weight\": \"Bolder\", \"size\": \"Large\", \"wrap\": true}";
constexpr const char kAttentionTitleEnd[] =
    "\", \"weight\": \"Bolder\", \"size\": \"Large\", \"color\": \"attention\", \"wrap\": true}";
constexpr const char kGoodTitleEnd[] =
    "\", \"weight\": \"Bolder\", \"size\": \"Large\", \"color\": \"good\", \"wrap\": true}";
constexpr const char kLineStart[] = ",\n          {\"type\": \"TextBlock\", \"text\": \"";
constexpr const char kFirstLineEnd[] = "\", \"wrap\": true}";
constexpr const char kLineEnd[] = "\", \"spacing\": \"None\", \"wrap\": true}";
constexpr const char kGapLineEnd[] = "\", \"spacing\": \"Medium\", \"wrap\": true}";
constexpr const char kNoteEnd[] =
    "\", \"spacing\": \"Medium\", \"isSubtle\": true, \"wrap\": true}";
constexpr const char kCardTail[] =
    "\n"
    "        ]\n"
    "      }\n"
    "    }\n"
    "  ]\n"
    "}\n";

// U+FFFD, shown for bytes that are not valid UTF-8.
constexpr const char kReplacementChar[] = "\xEF\xBF\xBD";

bool is_ascii_alnum(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_ascii_punct(unsigned char c) { return c > 32 && c < 127 && !is_ascii_alnum(c); }

bool is_blank(unsigned char c) { return c == ' ' || c == '\t'; }

// Length of the valid UTF-8 sequence at s[0..n) (n >= 1, s[0] >= 0x80), or 0.
size_t utf8_sequence_length(const unsigned char* s, size_t n) {
  unsigned char c = s[0];
  size_t len;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (n < len || s[1] < low || s[1] > high) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return len;
}

// True when the `&` at s[0] starts something Markdown reads as an entity.
bool starts_entity(const unsigned char* s, size_t n) {
  if (n > 1 && s[1] == '#') return true;
  size_t i = 1;
  while (i < n && is_ascii_alnum(s[i])) ++i;
  return i > 1 && i < n && s[i] == ';';
}

// True when the (already trimmed) line is a rule of dashes: "---", "- - -".
bool is_dash_rule(const unsigned char* s, size_t n) {
  int dashes = 0;
  for (size_t i = 0; i < n; ++i) {
    if (s[i] == '-') {
      ++dashes;
    } else if (!is_blank(s[i])) {
      return false;
    }
  }
  return dashes >= 3;
}

// Position of the byte at the line start that needs a backslash so the line
// does not start a heading, quote, list or rule; n when there is none.
size_t line_start_escape(const unsigned char* s, size_t n) {
  if (n == 0) return n;
  auto ends_marker = [&](size_t i) { return i >= n || is_blank(s[i]); };
  switch (s[0]) {
    case '#': {
      size_t i = 0;
      while (i < n && s[i] == '#') ++i;
      return i <= 6 && ends_marker(i) ? 0 : n;
    }
    case '>':
      return 0;
    case '-':
      return ends_marker(1) || is_dash_rule(s, n) ? 0 : n;
    case '+':
      return ends_marker(1) ? 0 : n;
    default: {
      size_t i = 0;
      while (i < n && i < 10 && s[i] >= '0' && s[i] <= '9') ++i;
      if (i >= 1 && i <= 9 && i < n && (s[i] == '.' || s[i] == ')') && ends_marker(i + 1)) return i;
      return n;
    }
  }
}

// Hands the escaped line to `emit` in units (an optional backslash and one
// whole character) until `emit` returns false.
template <typename Emit>
void escape_units(const char* line, size_t len, Emit emit) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(line);
  size_t start = 0;
  while (start < len && is_blank(s[start])) ++start;
  s += start;
  len -= start;
  const size_t marker = line_start_escape(s, len);
  char unit[8];
  for (size_t i = 0; i < len;) {
    unsigned char c = s[i];
    size_t n = 0;
    bool escape = false;
    switch (c) {
      case '*':
      case '`':
      case '[':
      case '~':
      case '<':
        escape = true;
        break;
      case '_':
        escape = i == 0 || i + 1 >= len || !is_ascii_alnum(s[i - 1]) || !is_ascii_alnum(s[i + 1]);
        break;
      case '\\':
        escape = i + 1 < len && is_ascii_punct(s[i + 1]);
        break;
      case '&':
        escape = starts_entity(s + i, len - i);
        break;
      default:
        escape = i == marker;
    }
    if (escape) unit[n++] = '\\';
    size_t width = 1;
    if (c >= 0x80) width = utf8_sequence_length(s + i, len - i);
    if (width == 0) {
      std::memcpy(unit + n, kReplacementChar, 3);
      n += 3;
      width = 1;
    } else {
      std::memcpy(unit + n, s + i, width);
      n += width;
    }
    if (!emit(unit, n)) return;
    i += width;
  }
}

// Appends to a buffer up to a limit; what does not fit sets `full` and is
// dropped whole. With a null buffer it only counts.
struct CardWriter {
  char* buf;
  size_t limit;
  size_t len = 0;
  bool full = false;

  void put(const char* s, size_t n) {
    if (full || len + n > limit) {
      full = true;
      return;
    }
    if (buf) std::memcpy(buf + len, s, n);
    len += n;
  }
  void put(const char* s) { put(s, std::strlen(s)); }
};

// Appends the escaped text of one line, at most `max_bytes` of it (whole
// characters); returns false when the writer filled up.
bool put_text(CardWriter* w, const char* line, size_t len, size_t max_bytes) {
  static const char kHex[] = "0123456789abcdef";
  size_t written = 0;
  escape_units(line, len, [&](const char* unit, size_t n) {
    char json[8 * 6];
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(unit[i]);
      if (c == '"' || c == '\\') {
        json[k++] = '\\';
        json[k++] = static_cast<char>(c);
      } else if (c == '\t') {
        json[k++] = '\\';
        json[k++] = 't';
      } else if (c < 32) {
        std::memcpy(json + k, "\\u00", 4);
        json[k + 4] = kHex[c >> 4];
        json[k + 5] = kHex[c & 0x0F];
        k += 6;
      } else {
        json[k++] = static_cast<char>(c);
      }
    }
    if (written + k > max_bytes) return false;
    written += k;
    w->put(json, k);
    return !w->full;
  });
  return !w->full;
}

bool is_line_end(char c) { return c == '\n' || c == '\r'; }

// Writes one block per non-empty line of [pos, end) until one does not fit;
// that block is taken back. A `first` block keeps the default spacing below
// the title. Returns the end of the last line written (end when all were),
// so the empty lines before the first unwritten one are read again with it.
const char* put_lines(CardWriter* w, const char* pos, const char* end, bool first) {
  const char* written = pos;
  bool gap = false;
  while (pos < end) {
    const char* stop = pos;
    while (stop < end && !is_line_end(*stop)) ++stop;
    const char* next = stop;
    if (next < end && *next == '\r') ++next;
    if (next < end && *next == '\n') ++next;
    const char* text = pos;
    while (text < stop && is_blank(static_cast<unsigned char>(*text))) ++text;
    if (text == stop) {
      gap = true;
    } else {
      const size_t mark = w->len;
      w->put(kLineStart);
      put_text(w, pos, static_cast<size_t>(stop - pos), kTeamsCardMaxBytes);
      w->put(gap ? kGapLineEnd : first ? kFirstLineEnd : kLineEnd);
      if (w->full) {
        w->len = mark;
        w->full = false;
        return written;
      }
      gap = false;
      first = false;
      written = next;
    }
    pos = next;
  }
  return end;
}

}  // namespace

size_t markdown_escape_line(const char* line, size_t len, char* out, size_t cap) {
  if (cap == 0) return 0;
  size_t pos = 0;
  escape_units(line ? line : "", line ? len : 0, [&](const char* unit, size_t n) {
    if (pos + n > cap - 1) return false;
    std::memcpy(out + pos, unit, n);
    pos += n;
    return true;
  });
  out[pos] = '\0';
  return pos;
}

size_t build_teams_card(const char* title, const char* body, char* out, size_t cap, bool* cut,
                        CardTone tone) {
  if (cut) *cut = false;
  if (cap == 0) return 0;
  out[0] = '\0';
  if (!title) title = kTeamsDefaultTitle;
  if (!body) body = "";
  const size_t limit = cap - 1 < kTeamsCardMaxBytes ? cap - 1 : kTeamsCardMaxBytes;
  const size_t tail = std::strlen(kCardTail);
  const size_t note =
      std::strlen(kLineStart) + std::strlen(kTeamsCardCutNote) + std::strlen(kNoteEnd);
  if (limit < tail + note) return 0;

  // Title and body lines leave room for the note and the tail.
  CardWriter w{out, limit - tail - note};
  w.put(kCardHead);
  put_text(&w, title, std::strlen(title), kTeamsCardTitleMaxBytes);
  w.put(tone == CardTone::kAttention ? kAttentionTitleEnd
        : tone == CardTone::kGood    ? kGoodTitleEnd
                                     : kTitleEnd);
  if (w.full) {
    out[0] = '\0';
    return 0;
  }
  const char* end = body + std::strlen(body);
  const char* rest = put_lines(&w, body, end, true);
  if (rest != end) {
    // Without the note the rest may still fit whole.
    CardWriter count{nullptr, limit - tail - w.len};
    w.limit = limit - tail;
    if (put_lines(&count, rest, end, rest == body) == end) {
      put_lines(&w, rest, end, rest == body);
    } else {
      w.put(kLineStart);
      w.put(kTeamsCardCutNote);
      w.put(kNoteEnd);
      if (cut) *cut = true;
    }
  }
  w.limit = limit;
  w.put(kCardTail);
  out[w.len] = '\0';
  return w.len;
}

}  // namespace lw
