#include "probe/resolve.h"

#include <cctype>
#include <cstring>

#include "support/clock.h"
#include "support/environment.h"
#include "support/output.h"

namespace lw {

namespace {

bool same_text(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

void store_addresses(const HostConfig& config, HostAddresses& addresses,
                     const platform::Address* found, int count) {
  const char* previous = addresses.resolved_ip.c_str();
  bool kept = previous[0] == '\0';
  for (int i = 0; i < count; ++i) kept = kept || same_text(found[i].text, previous);
  if (!kept) {
    console_print("address of %s changed from %s to %s\n", config.host.c_str(), previous,
                  found[0].text);
    log_event("address of %s changed from %s to %s", config.host.c_str(), previous, found[0].text);
  }
  for (int i = 0; i < count; ++i) addresses.addresses[i].assign(found[i].text);
  addresses.address_count = count;
  addresses.resolved_ip.assign(found[0].text);
  addresses.resolve_state = kResolved;
}

}  // namespace

bool resolve_host_entry(const HostConfig& config, HostAddresses& addresses) {
  if (config.host.empty()) return false;
  addresses.resolved_at = now_seconds();
  const HostForm form = config.form;
  platform::Address found[kMaxHostAddresses];
  int count = 0;
  if (!family_allows(config.family, form)) {
    count = 0;
  } else if (form != HostForm::kName) {
    found[0].family =
        form == HostForm::kIPv6 ? platform::AddressFamily::kIPv6 : platform::AddressFamily::kIPv4;
    copy_bounded(found[0].text, sizeof found[0].text, config.literal.c_str());
    count = 1;
  } else {
    const platform::AddressFamily family =
        config.family == kFamilyIPv4   ? platform::AddressFamily::kIPv4
        : config.family == kFamilyIPv6 ? platform::AddressFamily::kIPv6
                                       : platform::AddressFamily::kAny;
    const ResolverFn resolve = current_environment().resolve;
    count = (resolve ? resolve : platform::resolve_host)(config.host.c_str(), family, found,
                                                         kMaxHostAddresses);
  }
  if (count <= 0) {
    addresses.resolve_state = kResolveFailed;
    return false;
  }
  store_addresses(config, addresses, found, count > kMaxHostAddresses ? kMaxHostAddresses : count);
  return true;
}

HostAddress refresh_host_address(HostEntry* host) {
  if (!host || host->host.empty()) return HostAddress::kNone;
  const HostForm form = host->form;
  if (!family_allows(host->family, form)) return HostAddress::kInvalid;
  const bool due =
      host->resolve_state != kResolved ||
      (form == HostForm::kName &&
       (host->last_fail_time != 0 || now_seconds() - host->resolved_at >= kReresolveSeconds));
  if (!due || resolve_host_entry(*host, *host)) return HostAddress::kReady;
  return host->address_count > 0 ? HostAddress::kStale : HostAddress::kNone;
}

}  // namespace lw
