#include "config/config_line.h"

#include <cstdio>
#include <cstring>

#include "support/output.h"

namespace lw {

namespace {

const char* skip_blanks(const char* text) {
  while (*text && is_space_byte(*text)) ++text;
  return text;
}

// Length of `text` without trailing white space; `len` is its full length.
size_t trimmed_end(const char* text, size_t len) {
  while (len > 0 && is_space_byte(text[len - 1])) --len;
  return len;
}

// Copies text[begin, end) into `dst` with white space removed at both ends,
// cut to cap-1 bytes (and trimmed again where the cut exposes blanks).
void copy_trimmed_range(const char* begin, const char* end, char* dst, size_t cap) {
  while (begin < end && is_space_byte(*begin)) ++begin;
  size_t len = trimmed_end(begin, static_cast<size_t>(end - begin));
  if (len > cap - 1) len = trimmed_end(begin, cap - 1);
  std::memcpy(dst, begin, len);
  dst[len] = '\0';
}

}  // namespace

const char* find_config_separator(const char* line) {
  if (!line) return nullptr;
  const char* sep = std::strchr(line, ':');
  return sep ? sep : std::strchr(line, '=');
}

bool is_comment_line(const char* line) {
  if (!line) return true;
  const char* first = skip_blanks(line);
  return *first == '\0' || *first == '*' || *first == '#';
}

bool value_runs_to_last_quote(const char* key) {
  return key && (std::strcmp(key, "webhook_body") == 0 || std::strcmp(key, "webhook_header") == 0);
}

bool parse_config_line(const char* line, ConfigLine* out) {
  if (!line || !out) return false;

  const char* first = skip_blanks(line);
  if (*first == '\0' || *first == '*') return false;  // blank or commented out

  const char* sep = find_config_separator(line);
  if (!sep) return false;
  const char* open = std::strchr(sep + 1, '"');
  if (!open) return false;
  const char* close = std::strchr(open + 1, '"');
  if (!close) return false;

  copy_trimmed_range(line, sep, out->key.data(), out->key.capacity());
  if (out->key.empty()) return false;
  if (value_runs_to_last_quote(out->key.c_str())) close = std::strrchr(close, '"');
  copy_trimmed_range(open + 1, close, out->value.data(), out->value.capacity());
  return true;
}

size_t read_config_piece(std::FILE* file, char* buf, size_t cap, ConfigPieceInfo* info,
                         LongLine long_line) {
  ConfigPieceInfo found;
  if (info) *info = found;
  if (!file || !buf || cap == 0) return 0;
  static constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
  const bool at_start = std::ftell(file) == 0;
  bool dropped_mark = false;
  size_t len = 0;
  int c = EOF;
  while (len + 1 < cap) {
    c = std::getc(file);
    if (c == EOF) break;
    buf[len++] = static_cast<char>(c);
    if (c == '\n') break;
    if (at_start && len == 3 && !dropped_mark && std::memcmp(buf, kByteOrderMark, 3) == 0) {
      dropped_mark = true;
      len = 0;
    }
  }
  buf[len] = '\0';
  if (len + 1 == cap && c != '\n') {
    // The piece is full: see whether the line goes on.
    int next = std::getc(file);
    if (long_line == LongLine::kSplit) {
      found.cut = next != EOF && next != '\n';
      if (next != EOF) std::ungetc(next, file);
    } else {
      // Only a line end left over is no cut.
      for (; next != EOF && next != '\n'; next = std::getc(file)) {
        if (next != '\r') found.cut = true;
      }
    }
  }
  if (info) *info = found;
  return len;
}

namespace {

constexpr unsigned long kReplacementCharacter = 0xFFFD;

// Writes `code` (at most 0x10FFFF) as UTF-8 into `out`; returns its length.
size_t encode_utf8(unsigned long code, char* out) {
  if (code < 0x80) {
    out[0] = static_cast<char>(code);
    return 1;
  }
  if (code < 0x800) {
    out[0] = static_cast<char>(0xC0 | (code >> 6));
    out[1] = static_cast<char>(0x80 | (code & 0x3F));
    return 2;
  }
  if (code < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (code >> 12));
    out[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (code & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (code >> 18));
  out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (code & 0x3F));
  return 4;
}

bool is_high_surrogate(int unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(int unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

ConfigReader::~ConfigReader() { close(); }

void ConfigReader::close() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

bool ConfigReader::open(const char* file_name) {
  close();
  encoding_ = ConfigEncoding::kUtf8;
  held_unit_ = -1;
  has_pending_ = false;
  raw_ = "";
  raw_size_ = 0;
  file_ = file_name ? std::fopen(file_name, "rb") : nullptr;
  if (!file_) return false;
  unsigned char head[3] = {};
  const size_t got = std::fread(head, 1, sizeof head, file_);
  size_t mark = 0;
  if (got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    encoding_ = ConfigEncoding::kUtf8Bom;
    mark = 3;
  } else if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
    encoding_ = ConfigEncoding::kUtf16Le;
    mark = 2;
  } else if (got >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
    encoding_ = ConfigEncoding::kUtf16Be;
    mark = 2;
  }
  if (std::fseek(file_, static_cast<long>(mark), SEEK_SET) != 0) {
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

const char* ConfigReader::byte_order_mark() const {
  switch (encoding_) {
    case ConfigEncoding::kUtf8Bom:
      return "\xEF\xBB\xBF";
    case ConfigEncoding::kUtf16Le:
      return "\xFF\xFE";
    case ConfigEncoding::kUtf16Be:
      return "\xFE\xFF";
    case ConfigEncoding::kUtf8:
      break;
  }
  return "";
}

bool ConfigReader::failed() const { return file_ && std::ferror(file_); }

size_t ConfigReader::next(char* buf, size_t cap, ConfigPieceInfo* info, LongLine long_line) {
  if (info) *info = ConfigPieceInfo{};
  raw_ = "";
  raw_size_ = 0;
  if (!buf || cap == 0) return 0;
  buf[0] = '\0';
  if (cap > kConfigLineSize) cap = kConfigLineSize;
  if (!file_ || encoding_ == ConfigEncoding::kUtf16Be) return 0;
  if (encoding_ == ConfigEncoding::kUtf16Le) return next_utf16(buf, cap, info, long_line);
  // The byte order mark is behind us, so read_config_piece drops nothing.
  const size_t len = read_config_piece(file_, buf, cap, info, long_line);
  if (long_line == LongLine::kSplit) {
    raw_ = buf;
    raw_size_ = len;
  }
  return len;
}

// Reads one character: a unit, a surrogate pair, or U+FFFD for a unit that
// is no character. False at end of file.
bool ConfigReader::read_char16(Char16* ch) {
  *ch = Char16{};
  auto read_unit = [this, ch]() -> int {
    const int low = std::getc(file_);
    if (low == EOF) return -1;
    ch->bytes[ch->size++] = static_cast<unsigned char>(low);
    const int high = std::getc(file_);
    if (high == EOF) return -2;  // a lone last byte
    ch->bytes[ch->size++] = static_cast<unsigned char>(high);
    return low | (high << 8);
  };
  int unit;
  if (held_unit_ >= 0) {
    unit = held_unit_;
    held_unit_ = -1;
    ch->bytes[0] = static_cast<unsigned char>(unit & 0xFF);
    ch->bytes[1] = static_cast<unsigned char>(unit >> 8);
    ch->size = 2;
  } else {
    unit = read_unit();
  }
  if (unit == -1) return false;
  ch->code = kReplacementCharacter;
  ch->bad = true;
  if (unit == -2 || is_low_surrogate(unit)) return true;
  if (!is_high_surrogate(unit)) {
    ch->code = static_cast<unsigned long>(unit);
    ch->bad = false;
    return true;
  }
  const unsigned first_size = ch->size;
  const int second = read_unit();
  if (is_low_surrogate(second)) {
    ch->code = 0x10000 + ((static_cast<unsigned long>(unit) - 0xD800) << 10) +
               (static_cast<unsigned long>(second) - 0xDC00);
    ch->bad = false;
    return true;
  }
  // The high surrogate stands alone; what follows it is read on its own.
  if (second >= 0) held_unit_ = second;
  if (second == -2) std::ungetc(ch->bytes[first_size], file_);
  ch->size = first_size;
  return true;
}

size_t ConfigReader::next_utf16(char* buf, size_t cap, ConfigPieceInfo* info, LongLine long_line) {
  ConfigPieceInfo found;
  const bool split = long_line == LongLine::kSplit;
  size_t len = 0;
  Char16 ch;
  for (;;) {
    if (has_pending_) {
      ch = pending_;
      has_pending_ = false;
    } else if (!read_char16(&ch)) {
      break;
    }
    char encoded[4];
    const size_t n = encode_utf8(ch.code, encoded);
    if (len + n + 1 > cap) {
      // The piece is full. A line end left over is no cut.
      if (split) {
        pending_ = ch;
        has_pending_ = true;
        found.cut = ch.code != '\n';
        break;
      }
      for (bool more = true; more && ch.code != '\n'; more = read_char16(&ch)) {
        if (ch.code != '\r') found.cut = true;
        if (ch.bad) found.bad_character = true;
      }
      break;
    }
    if (ch.bad) found.bad_character = true;
    std::memcpy(buf + len, encoded, n);
    len += n;
    if (split) {
      std::memcpy(raw16_ + raw_size_, ch.bytes, ch.size);
      raw_size_ += ch.size;
    }
    if (ch.code == '\n') break;
  }
  buf[len] = '\0';
  if (split) raw_ = raw16_;
  if (info) *info = found;
  return len;
}

int parse_whole_number(const char* text, int max) {
  if (!text || text[0] == '\0') return -1;
  int n = 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    n = n * 10 + (*p - '0');
    if (n > max) return -1;
  }
  return n;
}

bool file_readable(const char* path) {
  std::FILE* f = std::fopen(path, "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

}  // namespace lw
