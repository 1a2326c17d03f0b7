#include "config/recipients.h"

#include <cstring>

#include "support/output.h"

namespace lw {

void split_mail_recipients(const char* list, MailRecipients* out) {
  out->count = 0;
  out->refused_count = 0;
  const char* whole = list ? list : "";
  out->text.assign(whole);
  // Whether the cut, if any, goes through the last piece.
  const size_t kept = out->text.size();
  const char* after = whole + kept;
  while (*after && is_space_byte(*after)) ++after;
  const bool last_cut = kept < std::strlen(whole) && *after != ',' && *after != '\0';
  char* p = out->text.data();
  while (*p) {
    if (*p == ',') {
      ++p;
      continue;
    }
    char* piece = p;
    while (*p && *p != ',') ++p;
    const bool last = *p == '\0';
    if (*p == ',') *p++ = '\0';  // p now starts the rest of the list
    while (*piece && is_space_byte(*piece)) ++piece;
    size_t len = std::strlen(piece);
    while (len > 0 && is_space_byte(piece[len - 1])) piece[--len] = '\0';
    if (len == 0 || (last && last_cut)) continue;
    bool control = false;
    for (const char* c = piece; *c; ++c) {
      control = control || static_cast<unsigned char>(*c) < 32 || *c == 0x7F;
    }
    if (control) {
      if (out->refused_count < kMaxMailRecipients) out->refused[out->refused_count++] = piece;
    } else if (out->count < kMaxMailRecipients) {
      out->address[out->count++] = piece;
    }
  }
}

void escape_control_bytes(const char* text, char* out, size_t cap) {
  static const char kHex[] = "0123456789ABCDEF";
  if (cap == 0) return;
  size_t n = 0;
  for (const char* s = text ? text : ""; *s; ++s) {
    const unsigned char c = static_cast<unsigned char>(*s);
    char shown[5] = {static_cast<char>(c), '\0'};
    if (c == '\r' || c == '\n' || c == '\t') {
      shown[0] = '\\';
      shown[1] = c == '\r' ? 'r' : c == '\n' ? 'n' : 't';
      shown[2] = '\0';
    } else if (c < 32 || c == 0x7F) {
      shown[0] = '\\';
      shown[1] = 'x';
      shown[2] = kHex[c >> 4];
      shown[3] = kHex[c & 0x0F];
      shown[4] = '\0';
    }
    const size_t width = std::strlen(shown);
    if (n + width >= cap) break;
    std::memcpy(out + n, shown, width);
    n += width;
  }
  out[n] = '\0';
}

}  // namespace lw
