// The certificate messages of one host: what a fresh look at its chain
// means against what the channels were told before (HostCert), and the
// texts. Pure: no I/O.

#ifndef LINKWATCH_NOTIFY_CERT_NOTICE_H_
#define LINKWATCH_NOTIFY_CERT_NOTICE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/host_config.h"
#include "notify/dispatch.h"
#include "support/fixed_text.h"

namespace lw {

// What one check of a host's chain found.
struct CertFinding {
  bool read = false;  // the chain was read (expires and cn hold)
  int64_t expires = 0;
  FixedText<128> cn;
  // The check for trust: 0 not known (not run, or it failed for another
  // reason), 1 trusted, -1 not trusted with curl's `reason`.
  int32_t trust = 0;
  FixedText<256> reason;
};

enum class CertNews { kNone, kWarning, kExpired, kRenewed };

// What changed for a host after `finding` at `now` with warning `days`.
struct CertOutcome {
  CertNews news = CertNews::kNone;
  int32_t days_left = 0;   // kWarning: whole days to expiry
  bool untrusted = false;  // also "CERTIFICATE NOT TRUSTED"
};

// Whole days from `now` to `expires`, rounded down (negative once passed).
int32_t cert_days_left(int64_t expires, int64_t now);

// Moves `cert` with `finding` and returns what to tell:
// - a later expiry after a warning or expiry message: kRenewed, and the
//   thresholds the new expiry has already crossed count as told;
// - an expiry reached and not yet told: kExpired;
// - else the smallest threshold of `days` reached (days_left <= threshold)
//   that is below the one told: kWarning, for the smallest only;
// - untrusted once until a check finds the chain trusted again; an expired
//   chain is not also called untrusted.
// A finding whose chain was not read changes nothing.
CertOutcome take_cert_finding(HostCert* cert, const CertFinding& finding, const CertDays& days,
                              int64_t now);

// Message kind of the certificate messages (dispatch.h).
// "CERTIFICATE: web:443 expires in 5 days (2026-12-27), web.example",
// "CERTIFICATE EXPIRED: web:443 expired on 2026-12-27, web.example",
// "CERTIFICATE renewed: web:443 now valid until 2027-03-27".
void compose_cert_message(const HostConfig& host, const HostCert& cert, CertNews news,
                          int32_t days_left, NotifyMessage* message);
// "CERTIFICATE NOT TRUSTED: web:443: <reason>".
void compose_cert_untrusted(const HostConfig& host, const char* reason, NotifyMessage* message);

// With `group_alerts` (threshold at least 2) and that many certificate
// messages or more at once, one digest replaces them: subject
// "CERTIFICATE: 12 services (a:443, b:993, c:25, ... and 9 more)", then
// one line per message (its subject) in the body and chat text, cut to
// their room with "... and K more". Returns false (nothing written) below
// the threshold.
bool compose_cert_digest(const std::vector<std::unique_ptr<NotifyMessage>>& messages, int threshold,
                         NotifyMessage* digest);

// The warning days of `host`: its own `cert_days`, else the global ones.
const CertDays& cert_days_of(const HostConfig& host, const MonitorSettings& settings);

// The alive report's certificate lines: "Certificates:" and one line per
// host whose certificate has expired or expires within its largest
// warning threshold at `now` ("web:443 expires in 5 days (2026-12-27),
// web.example"; "web:443 EXPIRED on 2026-12-27, web.example"), each ended
// by "\n". "" when there is none.
std::string format_cert_report(const HostTable& table, const MonitorSettings& settings,
                               int64_t now);

// The date of `seconds` as the messages show it: "2026-12-27" (UTC).
void format_cert_date(int64_t seconds, FixedText<32>* out);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_CERT_NOTICE_H_
