#include "config/webhook_template.h"

#include <cstring>

#include "support/json_check.h"

namespace lw {

namespace {

bool name_byte(char c) { return (c >= 'a' && c <= 'z') || c == '_'; }

// The index in kTemplateNames of the `length` bytes at `name`, or -1.
int find_name(const char* name, size_t length) {
  for (size_t i = 0; i < kTemplateNameCount; ++i) {
    if (std::strlen(kTemplateNames[i]) == length &&
        std::strncmp(kTemplateNames[i], name, length) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// Length of the well-formed UTF-8 sequence at `s` (lead byte >= 0x80), or 0.
size_t utf8_length(const unsigned char* s) {
  int more;
  unsigned long code;
  if (s[0] >= 0xC2 && s[0] <= 0xDF) {
    more = 1;
    code = s[0] & 0x1F;
  } else if (s[0] >= 0xE0 && s[0] <= 0xEF) {
    more = 2;
    code = s[0] & 0x0F;
  } else if (s[0] >= 0xF0 && s[0] <= 0xF4) {
    more = 3;
    code = s[0] & 0x07;
  } else {
    return 0;
  }
  for (int i = 1; i <= more; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;  // a terminator ends the check too
    code = (code << 6) | (s[i] & 0x3F);
  }
  if ((more == 2 && code < 0x800) || (more == 3 && code < 0x10000)) return 0;
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return static_cast<size_t>(more) + 1;
}

void append_value(const char* value, WebhookFormat format, std::string* out) {
  if (format == WebhookFormat::kJson) {
    append_json_escaped(value, out);
  } else {
    out->append(value);
  }
}

// The word of a map "A=x,B=y,*=z" (the `length` bytes at `map`) for
// `value`; false when no entry matches.
bool map_word(const char* map, size_t length, const char* value, std::string* word) {
  const char* end = map + length;
  for (const char* entry = map; entry <= end;) {
    const char* comma =
        static_cast<const char*>(std::memchr(entry, ',', static_cast<size_t>(end - entry)));
    const char* entry_end = comma ? comma : end;
    const char* equals =
        static_cast<const char*>(std::memchr(entry, '=', static_cast<size_t>(entry_end - entry)));
    if (equals) {
      const size_t key_length = static_cast<size_t>(equals - entry);
      const bool any = key_length == 1 && entry[0] == '*';
      if (any ||
          (std::strlen(value) == key_length && std::strncmp(entry, value, key_length) == 0)) {
        word->assign(equals + 1, entry_end);
        return true;
      }
    }
    if (!comma) break;
    entry = comma + 1;
  }
  return false;
}

}  // namespace

const char* template_value(const TemplateValues& v, size_t index) {
  const char* const all[] = {v.kind,     v.host, v.port,    v.description, v.error,      v.since,
                             v.duration, v.ping, v.subject, v.text,        v.event_time, v.key};
  static_assert(sizeof all / sizeof all[0] == kTemplateNameCount, "one value per name");
  const char* value = index < kTemplateNameCount ? all[index] : nullptr;
  return value ? value : "";
}

std::string cut_at_line(const char* text, size_t limit) {
  const size_t length = text ? std::strlen(text) : 0;
  if (limit == 0 || length <= limit) return std::string(text ? text : "", length);
  size_t cut = limit;
  while (cut > 0 && text[cut] != '\n') --cut;
  if (cut == 0) {
    // One line longer than the limit: keep whole characters.
    cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  }
  return std::string(text, cut);
}

void append_json_escaped(const char* value, std::string* out) {
  static const char kHex[] = "0123456789abcdef";
  for (const unsigned char* s = reinterpret_cast<const unsigned char*>(value ? value : ""); *s;) {
    const unsigned char c = *s;
    if (c >= 0x80) {
      const size_t n = utf8_length(s);
      if (n == 0) {
        out->append("\\ufffd");
        ++s;
      } else {
        out->append(reinterpret_cast<const char*>(s), n);
        s += n;
      }
      continue;
    }
    ++s;
    switch (c) {
      case '\\':
        out->append("\\\\");
        break;
      case '"':
        out->append("\\\"");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      default:
        if (c < 0x20) {
          const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F], '\0'};
          out->append(escaped);
        } else {
          out->push_back(static_cast<char>(c));
        }
    }
  }
}

void expand_webhook_template(const char* body, const TemplateValues& values, WebhookFormat format,
                             size_t text_limit, std::string* out) {
  out->clear();
  const size_t text_index = 9;  // "text" in kTemplateNames
  std::string word;
  for (const char* s = body ? body : ""; *s;) {
    if (*s != '{') {
      out->push_back(*s++);
      continue;
    }
    const char* name = s + 1;
    const char* p = name;
    while (name_byte(*p)) ++p;
    const int index = find_name(name, static_cast<size_t>(p - name));
    const char* close = index >= 0 && (*p == '}' || *p == ':') ? std::strchr(p, '}') : nullptr;
    if (!close) {
      out->push_back(*s++);
      continue;
    }
    const size_t i = static_cast<size_t>(index);
    std::string cut;
    const char* value = template_value(values, i);
    if (i == text_index && text_limit > 0) {
      cut = cut_at_line(value, text_limit);
      value = cut.c_str();
    }
    if (*p == ':' && map_word(p + 1, static_cast<size_t>(close - p - 1), value, &word)) {
      out->append(word);
    } else {
      append_value(value, format, out);
    }
    s = close + 1;
  }
}

const char* default_webhook_body(WebhookFormat format) {
  return format == WebhookFormat::kJson ? "{\"kind\":\"{kind}\",\"key\":\"{key}\",\"subject\":\"{"
                                          "subject}\",\"text\":\"{text}\"}"
                                        : "{subject}\n\n{text}";
}

bool webhook_template_usable(const char* body, WebhookFormat format, const char** kind_out) {
  if (format != WebhookFormat::kJson) return true;
  static const char* const kKinds[] = {"DOWN",    "RECOVERY", "REMINDER",   "DIGEST",
                                       "NETWORK", "TEST",     "CERTIFICATE"};
  // Every byte a value may bring: quotes, a backslash, line ends, a tab, a
  // control byte, UTF-8 and a malformed byte. Inside a JSON string each is
  // escaped; a placeholder outside one puts a backslash where JSON never
  // has one, so such a template is always refused, whatever its values.
  static const char kTricky[] = "443 \"q\" \\ b\r\nc\td\x01 \xC3\xA9 \xE2\x82\xAC \xFF end";
  TemplateValues values;
  values.host = values.port = values.description = values.error = values.since = values.duration =
      values.ping = values.subject = values.text = values.event_time = values.key = kTricky;
  std::string out;
  for (const char* kind : kKinds) {
    values.kind = kind;
    expand_webhook_template(body, values, format, 0, &out);
    if (!json_valid(out.data(), out.size())) {
      if (kind_out) *kind_out = kind;
      return false;
    }
  }
  return true;
}

}  // namespace lw
