// What a `host` text names, told from the text alone: a name, an IPv4 or an
// IPv6 address, or text that can only be meant as an address yet is none.

#ifndef LINKWATCH_CONFIG_HOST_FORM_H_
#define LINKWATCH_CONFIG_HOST_FORM_H_

#include <cstdint>

#include "support/fixed_text.h"

namespace lw {

// How the `host` text names its machine.
enum class HostForm { kName, kIPv4, kIPv6, kNotAnAddress };

// Classifies `text` without any look-up: kIPv4 for four decimal parts of 0
// to 255 without leading zeros, and for every other text the system
// resolver reads as an IPv4 address (platform::read_ipv4_text: "127.1",
// "2130706433", "0x7f000001", "010.0.0.1"); kIPv6 for an IPv6 address, also
// in brackets ("[::1]") or with a zone ("fe80::1%eth0"); kNotAnAddress for
// text that can only be meant as an address (digits and dots only, or
// holding ':', '[' or ']') yet is neither; kName otherwise. `literal` (may
// be null) receives the address without brackets for the two address
// forms, an IPv4 address as "a.b.c.d".
HostForm classify_host(const char* text, FixedText<64>* literal);

// True when a `family` setting (kFamilyAny, kFamilyIPv4, kFamilyIPv6) lets
// an address of this form be probed; a name always may.
bool family_allows(int32_t family, HostForm form);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_HOST_FORM_H_
