#include "probe/resolve.h"

#include <cctype>
#include <cstring>

#include "support/clock.h"
#include "support/environment.h"
#include "support/output.h"

namespace lw {

namespace {

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
    const ResolverFn resolve = current_environment().resolve;
    count = (resolve ? resolve : platform::resolve_host)(host->host.c_str(), family, found,
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
