#include "notify/cert_notice.h"

#include "notify/alerts.h"
#include "notify/digest.h"

namespace lw {

namespace {

// The smallest threshold of `days` that `left` days have reached; 0: none.
int32_t lowest_reached(const CertDays& days, int32_t left) {
  int32_t lowest = 0;
  for (int i = 0; i < days.count; ++i) {
    if (left <= days.days[i] && (lowest == 0 || days.days[i] < lowest)) lowest = days.days[i];
  }
  return lowest;
}

void start_cert_message(const HostConfig& host, NotifyMessage* message) {
  start_message(kCertNotice, message);
  message->services.push_back(service_key(host.host.c_str(), host.port.c_str()));
  message->facts.host = host.host.c_str();
  message->facts.port = host.port.c_str();
  message->facts.description = host.description.c_str();
}

// Body and chat text: the subject, then the description when there is one.
void finish_cert_message(const HostConfig& host, NotifyMessage* message) {
  message->body.format("%s\n", message->subject.c_str());
  if (!host.description.empty()) message->body.append_format("(%s)\n", host.description.c_str());
  message->chat_text.assign(message->subject.c_str());
}

}  // namespace

int32_t cert_days_left(int64_t expires, int64_t now) {
  const int64_t seconds = expires - now;
  const int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
  return days > 100000 ? 100000 : days < -100000 ? -100000 : static_cast<int32_t>(days);
}

CertOutcome take_cert_finding(HostCert* cert, const CertFinding& finding, const CertDays& days,
                              int64_t now) {
  CertOutcome out;
  if (!finding.read) return out;
  const int32_t left = cert_days_left(finding.expires, now);
  const bool expired = finding.expires <= now;
  const bool was_told = cert->cert_told_days != 0 || cert->cert_expired_told != 0;
  if (was_told && finding.expires > cert->cert_expires) {
    out.news = CertNews::kRenewed;
    cert->cert_told_days = expired ? 0 : lowest_reached(days, left);
    cert->cert_expired_told = expired ? 1 : 0;
  } else if (expired) {
    if (!cert->cert_expired_told) out.news = CertNews::kExpired;
    cert->cert_expired_told = 1;
    cert->cert_told_days = lowest_reached(days, left);
  } else {
    const int32_t reached = lowest_reached(days, left);
    if (reached != 0 && (cert->cert_told_days == 0 || reached < cert->cert_told_days)) {
      out.news = CertNews::kWarning;
      out.days_left = left;
      cert->cert_told_days = reached;
    } else if (reached == 0) {
      cert->cert_told_days = 0;  // a longer chain in place: nothing to remember
    }
    cert->cert_expired_told = 0;
  }
  cert->cert_expires = finding.expires;
  cert->cert_cn = finding.cn;
  cert->cert_checked = now;
  if (finding.trust > 0) cert->cert_untrusted_told = 0;
  if (finding.trust < 0 && !expired && !cert->cert_untrusted_told) {
    out.untrusted = true;
    cert->cert_untrusted_told = 1;
  }
  return out;
}

bool compose_cert_digest(const std::vector<std::unique_ptr<NotifyMessage>>& messages, int threshold,
                         NotifyMessage* digest) {
  const size_t count = messages.size();
  if (threshold < 2 || count < static_cast<size_t>(threshold)) return false;
  start_message(kCertNotice, digest);
  digest->subject.format("CERTIFICATE: %zu services (", count);
  for (size_t i = 0; i < count; ++i) {
    if (i < kDigestSubjectHosts) {
      digest->subject.append_format("%s%s:%s", i ? ", " : "", messages[i]->facts.host.c_str(),
                                    messages[i]->facts.port.c_str());
    }
    digest->services.push_back(messages[i]->services.empty() ? "" : messages[i]->services[0]);
  }
  if (count > kDigestSubjectHosts) {
    digest->subject.append_format(", ... and %zu more", count - kDigestSubjectHosts);
  }
  digest->subject.append(")");
  size_t shown = 0;
  for (; shown < count; ++shown) {
    const FixedText<8192>& line = messages[shown]->subject;
    if (digest->chat_text.size() + line.size() + kDigestNoteRoom + 32 > kTelegramMaxTextBytes) {
      break;
    }
    digest->body.append_format("%s\n", line.c_str());
    digest->chat_text.append_format("%s%s", shown ? "\n" : "", line.c_str());
  }
  if (shown < count) {
    digest->body.append_format("... and %zu more\n", count - shown);
    digest->chat_text.append_format("\n... and %zu more", count - shown);
  }
  digest->card_tone = CardTone::kAttention;
  return true;
}

const CertDays& cert_days_of(const HostConfig& host, const MonitorSettings& settings) {
  return host.cert_days.count > 0 ? host.cert_days : settings.cert_days;
}

std::string format_cert_report(const HostTable& table, const MonitorSettings& settings,
                               int64_t now) {
  std::string out;
  const int count = table.host_count < kMaxHosts ? table.host_count : kMaxHosts;
  for (int i = 1; i <= count; ++i) {
    const HostEntry& host = table.hosts[i];
    if (host.tls == TlsMode::kNone || host.cert_expires == 0) continue;
    const CertDays& days = cert_days_of(host, settings);
    int32_t largest = 0;
    for (int d = 0; d < days.count; ++d) largest = days.days[d] > largest ? days.days[d] : largest;
    const int32_t left = cert_days_left(host.cert_expires, now);
    if (left > largest) continue;
    FixedText<32> date;
    format_cert_date(host.cert_expires, &date);
    FixedText<512> line;
    if (host.cert_expires <= now) {
      line.format("%s:%s EXPIRED on %s, %s\n", host.host.c_str(), host.port.c_str(), date.c_str(),
                  host.cert_cn.c_str());
    } else {
      line.format("%s:%s expires in %d day%s (%s), %s\n", host.host.c_str(), host.port.c_str(),
                  left, left == 1 ? "" : "s", date.c_str(), host.cert_cn.c_str());
    }
    if (out.empty()) out = "\nCertificates:\n";
    out += line.c_str();
  }
  return out;
}

void format_cert_date(int64_t seconds, FixedText<32>* out) {
  // Civil date of a day count (days since 1970-01-01), proleptic Gregorian.
  const int64_t z = (seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400)) + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2);
  out->format("%04d-%02d-%02d", static_cast<int>(y), static_cast<int>(m), static_cast<int>(d));
}

void compose_cert_message(const HostConfig& host, const HostCert& cert, CertNews news,
                          int32_t days_left, NotifyMessage* message) {
  if (!message) return;
  start_cert_message(host, message);
  FixedText<32> date;
  format_cert_date(cert.cert_expires, &date);
  const char* name = host.host.c_str();
  const char* port = host.port.c_str();
  const char* cn = cert.cert_cn.c_str();
  switch (news) {
    case CertNews::kWarning:
      message->subject.format("CERTIFICATE: %s:%s expires in %d day%s (%s), %s", name, port,
                              days_left, days_left == 1 ? "" : "s", date.c_str(), cn);
      message->card_tone = CardTone::kAttention;
      break;
    case CertNews::kExpired:
      message->subject.format("CERTIFICATE EXPIRED: %s:%s expired on %s, %s", name, port,
                              date.c_str(), cn);
      message->card_tone = CardTone::kAttention;
      break;
    case CertNews::kRenewed:
    case CertNews::kNone:
      message->subject.format("CERTIFICATE renewed: %s:%s now valid until %s", name, port,
                              date.c_str());
      message->card_tone = CardTone::kGood;
      break;
  }
  finish_cert_message(host, message);
}

void compose_cert_untrusted(const HostConfig& host, const char* reason, NotifyMessage* message) {
  if (!message) return;
  start_cert_message(host, message);
  message->subject.format("CERTIFICATE NOT TRUSTED: %s:%s: %s", host.host.c_str(),
                          host.port.c_str(), reason && reason[0] ? reason : "no reason given");
  message->card_tone = CardTone::kAttention;
  finish_cert_message(host, message);
}

}  // namespace lw
