#include "config/config_line.h"

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
  size_t len = 0;
  int c = EOF;
  while (len + 1 < cap) {
    c = std::getc(file);
    if (c == EOF) break;
    buf[len++] = static_cast<char>(c);
    if (c == '\n') break;
    if (at_start && len == 3 && !found.byte_order_mark &&
        std::memcmp(buf, kByteOrderMark, 3) == 0) {
      found.byte_order_mark = true;
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

}  // namespace lw
