#include "support/json_check.h"

#include "support/output.h"

namespace lw {

namespace {

class JsonChecker {
 public:
  JsonChecker(const char* text, size_t length) : p_(text), end_(text + length) {}

  bool document() {
    blanks();
    if (!value(0)) return false;
    blanks();
    return p_ == end_;
  }

 private:
  bool at_end() const { return p_ >= end_; }
  unsigned char peek() const { return static_cast<unsigned char>(*p_); }

  void blanks() {
    while (!at_end() && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  bool literal(const char* word) {
    for (; *word; ++word, ++p_) {
      if (at_end() || *p_ != *word) return false;
    }
    return true;
  }

  bool value(int depth) {
    if (at_end()) return false;
    switch (*p_) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1);
      case '"':
        return string();
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default:
        return number();
    }
  }

  bool object(int depth) {
    if (depth > kJsonMaxDepth) return false;
    ++p_;  // {
    blanks();
    if (!at_end() && *p_ == '}') {
      ++p_;
      return true;
    }
    for (;;) {
      blanks();
      if (at_end() || *p_ != '"' || !string()) return false;
      blanks();
      if (at_end() || *p_ != ':') return false;
      ++p_;
      blanks();
      if (!value(depth)) return false;
      blanks();
      if (at_end()) return false;
      if (*p_ == '}') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
    }
  }

  bool array(int depth) {
    if (depth > kJsonMaxDepth) return false;
    ++p_;  // [
    blanks();
    if (!at_end() && *p_ == ']') {
      ++p_;
      return true;
    }
    for (;;) {
      blanks();
      if (!value(depth)) return false;
      blanks();
      if (at_end()) return false;
      if (*p_ == ']') {
        ++p_;
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
    }
  }

  static bool hex(unsigned char c) { return hex_digit_value(static_cast<char>(c)) >= 0; }

  // One UTF-8 sequence of two to four bytes starting at p_ (>= 0x80).
  bool utf8() {
    const unsigned char lead = peek();
    int more = 0;
    unsigned long code = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      code = lead & 0x07;
    } else {
      return false;
    }
    ++p_;
    for (int i = 0; i < more; ++i, ++p_) {
      if (at_end() || (peek() & 0xC0) != 0x80) return false;
      code = (code << 6) | (peek() & 0x3F);
    }
    // Overlong forms, surrogates and code points beyond U+10FFFF.
    if ((more == 2 && code < 0x800) || (more == 3 && code < 0x10000)) return false;
    if (code >= 0xD800 && code <= 0xDFFF) return false;
    return code <= 0x10FFFF;
  }

  bool string() {
    ++p_;  // opening quote
    while (!at_end()) {
      const unsigned char c = peek();
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c < 0x20) return false;
      if (c == '\\') {
        ++p_;
        if (at_end()) return false;
        const char e = *p_++;
        if (e == 'u') {
          for (int i = 0; i < 4; ++i, ++p_) {
            if (at_end() || !hex(peek())) return false;
          }
        } else if (e != '"' && e != '\\' && e != '/' && e != 'b' && e != 'f' && e != 'n' &&
                   e != 'r' && e != 't') {
          return false;
        }
        continue;
      }
      if (c >= 0x80) {
        if (!utf8()) return false;
        continue;
      }
      ++p_;
    }
    return false;
  }

  bool digits() {
    const char* start = p_;
    while (!at_end() && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ != start;
  }

  bool number() {
    if (!at_end() && *p_ == '-') ++p_;
    if (at_end()) return false;
    if (*p_ == '0') {
      ++p_;
    } else if (!digits()) {
      return false;
    }
    if (!at_end() && *p_ == '.') {
      ++p_;
      if (!digits()) return false;
    }
    if (!at_end() && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (!at_end() && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digits()) return false;
    }
    return true;
  }

  const char* p_;
  const char* end_;
};

}  // namespace

bool json_valid(const char* text, size_t length) {
  if (!text) return false;
  return JsonChecker(text, length).document();
}

}  // namespace lw
