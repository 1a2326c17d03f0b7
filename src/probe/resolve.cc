#include "probe/resolve.h"

#include <cctype>
#include <cstring>

#include "support/clock.h"
#include "support/output.h"

namespace lw {

namespace {

ResolverFn g_resolver = nullptr;

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

bool same_text(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

void store_addresses(HostEntry* host, const platform::Address* found, int count) {
  const char* previous = host->resolved_ip.c_str();
  bool kept = previous[0] == '\0';
  for (int i = 0; i < count; ++i) kept = kept || same_text(found[i].text, previous);
  if (!kept) {
    console_print("address of %s changed from %s to %s\n", host->host.c_str(), previous,
                  found[0].text);
    log_event("address of %s changed from %s to %s", host->host.c_str(), previous, found[0].text);
  }
  for (int i = 0; i < count; ++i) host->addresses[i].assign(found[i].text);
  host->address_count = count;
  host->resolved_ip.assign(found[0].text);
  host->resolve_state = kResolved;
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
  bool digits_and_dots = begin < end;
  for (const char* p = begin; p < end; ++p)
    digits_and_dots = digits_and_dots && (is_digit(*p) || *p == '.');
  if (!digits_and_dots) return HostForm::kName;
  if (!is_ipv4(begin, end)) return HostForm::kNotAnAddress;
  if (literal) literal->assign(text);
  return HostForm::kIPv4;
}

bool family_allows(int32_t family, HostForm form) {
  if (form == HostForm::kNotAnAddress) return false;
  if (family == kFamilyIPv4) return form != HostForm::kIPv6;
  if (family == kFamilyIPv6) return form != HostForm::kIPv4;
  return true;
}

void set_resolver_for_testing(ResolverFn resolver) { g_resolver = resolver; }

bool resolve_host_entry(HostEntry* host) {
  if (!host || host->host.empty()) return false;
  host->resolved_at = now_seconds();
  FixedText<64> literal;
  const HostForm form = classify_host(host->host.c_str(), &literal);
  platform::Address found[kMaxHostAddresses];
  int count = 0;
  if (!family_allows(host->family, form)) {
    count = 0;
  } else if (form != HostForm::kName) {
    found[0].family =
        form == HostForm::kIPv6 ? platform::AddressFamily::kIPv6 : platform::AddressFamily::kIPv4;
    copy_bounded(found[0].text, sizeof found[0].text, literal.c_str());
    count = 1;
  } else {
    const platform::AddressFamily family =
        host->family == kFamilyIPv4   ? platform::AddressFamily::kIPv4
        : host->family == kFamilyIPv6 ? platform::AddressFamily::kIPv6
                                      : platform::AddressFamily::kAny;
    count = (g_resolver ? g_resolver : platform::resolve_host)(host->host.c_str(), family, found,
                                                               kMaxHostAddresses);
  }
  if (count <= 0) {
    host->resolve_state = kResolveFailed;
    return false;
  }
  store_addresses(host, found, count > kMaxHostAddresses ? kMaxHostAddresses : count);
  return true;
}

HostAddress refresh_host_address(HostEntry* host) {
  if (!host || host->host.empty()) return HostAddress::kNone;
  const HostForm form = classify_host(host->host.c_str(), nullptr);
  if (!family_allows(host->family, form)) return HostAddress::kInvalid;
  const bool due =
      host->resolve_state != kResolved ||
      (form == HostForm::kName &&
       (host->last_fail_time != 0 || now_seconds() - host->resolved_at >= kReresolveSeconds));
  if (!due || resolve_host_entry(host)) return HostAddress::kReady;
  return host->address_count > 0 ? HostAddress::kStale : HostAddress::kNone;
}

}  // namespace lw
