#include "config/host_form.h"

#include <cctype>
#include <cstring>

#include "config/host_config.h"
#include "platform/platform.h"

namespace lw {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Four decimal parts of 0..255, no leading zeros, nothing else in [begin, end).
bool is_ipv4(const char* begin, const char* end) {
  int parts = 0;
  for (const char* p = begin; parts < 4; ++p) {
    const char* start = p;
    int value = 0;
    while (p < end && is_digit(*p) && p - start < 3) value = value * 10 + (*p++ - '0');
    const long digits = p - start;
    if (digits == 0 || value > 255 || (digits > 1 && *start == '0')) return false;
    ++parts;
    if (p == end) return parts == 4;
    if (*p != '.') return false;
  }
  return false;
}

// Eight groups of one to four hex digits, "::" standing for one or more
// groups of zeros (at most once), the last two groups possibly written as
// an IPv4 address.
bool is_ipv6(const char* begin, const char* end) {
  int groups = 0;
  bool gap = false;
  const char* p = begin;
  if (end - p >= 2 && p[0] == ':' && p[1] == ':') {
    gap = true;
    p += 2;
    if (p == end) return true;
  }
  for (;;) {
    const char* start = p;
    while (p < end && std::isxdigit(static_cast<unsigned char>(*p)) && p - start < 5) ++p;
    if (p < end && *p == '.') {  // an IPv4 tail
      if (!is_ipv4(start, end)) return false;
      groups += 2;
      break;
    }
    if (p == start || p - start > 4) return false;
    ++groups;
    if (p == end) break;
    if (*p != ':') return false;
    ++p;
    if (p < end && *p == ':') {
      if (gap) return false;
      gap = true;
      ++p;
      if (p == end) break;
    } else if (p == end) {
      return false;  // a single trailing ':'
    }
  }
  return gap ? groups <= 7 : groups == 8;
}

}  // namespace

HostForm classify_host(const char* text, FixedText<64>* literal) {
  if (literal) literal->clear();
  if (!text) return HostForm::kName;
  const char* begin = text;
  const char* end = text + std::strlen(text);
  const bool bracketed = *begin == '[';
  if (bracketed) {
    if (end - begin < 2 || end[-1] != ']') return HostForm::kNotAnAddress;
    ++begin;
    --end;
  }
  const char* colon = static_cast<const char*>(std::memchr(begin, ':', end - begin));
  if (bracketed || colon || std::strchr(text, ']')) {
    // An IPv6 address, with an optional zone of letters, digits, '-', '_', '.'.
    const char* zone = static_cast<const char*>(std::memchr(begin, '%', end - begin));
    bool zone_ok = !zone || zone + 1 < end;
    for (const char* z = zone ? zone + 1 : end; z < end; ++z) {
      zone_ok = zone_ok && (std::isalnum(static_cast<unsigned char>(*z)) || *z == '-' ||
                            *z == '_' || *z == '.');
    }
    if (!zone_ok || !is_ipv6(begin, zone ? zone : end) || end - begin >= 64) {
      return HostForm::kNotAnAddress;
    }
    if (literal) literal->format("%.*s", static_cast<int>(end - begin), begin);
    return HostForm::kIPv6;
  }
  if (is_ipv4(begin, end)) {
    if (literal) literal->assign(text);
    return HostForm::kIPv4;
  }
  // The other forms the system resolver reads as an IPv4 address ("127.1",
  // "2130706433", "0x7f000001"): a digit first, then digits, dots, 'x' and
  // hex digits only.
  bool digits_and_dots = begin < end;
  bool number_like = begin < end && is_digit(*begin);
  for (const char* p = begin; p < end; ++p) {
    digits_and_dots = digits_and_dots && (is_digit(*p) || *p == '.');
    number_like = number_like && (std::isxdigit(static_cast<unsigned char>(*p)) || *p == '.' ||
                                  *p == 'x' || *p == 'X');
  }
  platform::Address read;
  if (number_like && platform::read_ipv4_text(text, &read)) {
    if (literal) literal->assign(read.text);
    return HostForm::kIPv4;
  }
  return digits_and_dots ? HostForm::kNotAnAddress : HostForm::kName;
}

bool family_allows(int32_t family, HostForm form) {
  if (form == HostForm::kNotAnAddress) return false;
  if (family == kFamilyIPv4) return form != HostForm::kIPv6;
  if (family == kFamilyIPv6) return form != HostForm::kIPv4;
  return true;
}

}  // namespace lw
