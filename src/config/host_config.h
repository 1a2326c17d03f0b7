// The host file "linkwatch_host.txt": the host table and the monitoring
// settings.

#ifndef LINKWATCH_CONFIG_HOST_CONFIG_H_
#define LINKWATCH_CONFIG_HOST_CONFIG_H_

#include <cstddef>
#include <cstdint>

#include "config/config_line.h"
#include "config/host_form.h"
#include "config/maintenance.h"
#include "support/fixed_text.h"

namespace lw {

constexpr const char kHostFileName[] = "linkwatch_host.txt";
constexpr int kMaxHosts = 255;                  // hosts occupy slots 1..255
constexpr int kHostTableSlots = kMaxHosts + 1;  // slot 0 is never used

// Defaults and limits of the host file, used by the loader, "-check" and the
// monitoring run alike.
constexpr int kDefaultIntervalSeconds = 15;  // `interval` missing, empty or below 1
constexpr const char kDefaultIntervalText[] = "15";
constexpr int kDefaultFastRetrySeconds = 3;  // `fast_retry_interval` below 1
constexpr int kDefaultWorkers = 2;           // `workers` below 1
constexpr int kMaxWorkers = 50;              // `workers` above this is clamped
constexpr int kDefaultRecoverCount = 1;      // `recovercount` absent: recover at once
constexpr int kMaxRecoverCount = 100;
constexpr int kMinRemindMinutes = 5;        // `remind_minutes` other than 0
constexpr int kMaxRemindMinutes = 10080;    // a week
constexpr int kMinGroupAlerts = 2;          // `group_alerts` other than 0
constexpr int kMaxNetReferences = 4;        // `netcheck` references
constexpr int kDefaultTimeoutSeconds = 10;  // `timeoutsec` missing or below 1
constexpr int kDefaultAlertCount = 30;      // `alertcount` missing or below 1
constexpr const char kDefaultAlertCountText[] = "30";
constexpr size_t kMetricsFileSize = 512;  // path of `metrics_file`, terminator included
constexpr size_t kSiteSize = 64;          // `site`, terminator included
// `expect` and `send` (after its escapes are read), in bytes; kept small,
// as every slot of the host table holds room for both.
constexpr size_t kMaxExpectBytes = 63;
constexpr size_t kMaxSendBytes = 127;
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

// The TCP port that the text `port` names: 1 to 65535 written with decimal
// digits only (no sign, no blanks, nothing after the digits). Returns 0 for
// anything else ("", "0", "-5", "abc", "18O80", "70000"): an invalid port.
int port_number(const char* port);

// Monitoring state of a host's name resolution.
enum ResolveState : int32_t { kNotResolved = 0, kResolved = 1, kResolveFailed = 2 };

// The per-host `family` key: which addresses of the host are probed.
enum HostFamily : int32_t { kFamilyAny = 0, kFamilyIPv4 = 4, kFamilyIPv6 = 6 };
// Addresses of one host kept from its last resolution, in the resolver's order.
constexpr int kMaxHostAddresses = 4;

// The value of a `family` text: "4", "6" or "any". Returns -1 for anything else.
int parse_host_family(const char* text);

// The per-host `tls` key: where the certificate check meets TLS. kDirect
// speaks TLS at once; the others ask for it with STARTTLS on their protocol.
enum class TlsMode : int32_t { kNone = 0, kDirect, kSmtp, kImap, kPop3, kFtp };

// The mode of a `tls` text ("direct", "smtp", "imap", "pop3", "ftp");
// -1 for anything else. tls_mode_name gives the text back ("" for kNone).
int parse_tls_mode(const char* text);
const char* tls_mode_name(TlsMode mode);

// `cert_days`: the days before a certificate's expiry at which to warn.
constexpr int kMaxCertDays = 4;
constexpr int kMaxCertDaysValue = 365;
constexpr const char kDefaultCertDaysText[] = "21,7";
struct CertDays {
  int32_t days[kMaxCertDays] = {};  // as written
  int32_t count = 0;                // 0: not set
};

// Reads 1 to kMaxCertDays whole numbers 1..kMaxCertDaysValue separated by
// commas (blanks allowed around them) into `out`, in their order, a number
// given twice kept once. False, with `out` unchanged, for anything else.
bool parse_cert_days(const char* text, CertDays* out);
// "21,7".
void format_cert_days(const CertDays& days, FixedText<64>* out);

// What the host file says about one host, fixed once the file is read.
// The loader keeps `port_number` and `form` in step with the texts (through
// set_host_text and set_port_text); nothing at check time writes here.
struct HostConfig {
  FixedText<128> host;
  FixedText<128> description;
  FixedText<16> port;  // as written
  // The port that `port` names (port_number), 0 when it names none.
  int32_t port_number = 0;
  // What `host` names (classify_host), and for the two address forms the
  // address itself, without brackets; an IPv4 address as "a.b.c.d" ("127.1"
  // gives "127.0.0.1"). Empty for a name.
  HostForm form = HostForm::kName;
  FixedText<64> literal;
  int32_t timeoutsec = 0;
  int32_t alertcount = 0;
  FixedText<16> alertcount_text;
  int32_t family = kFamilyAny;
  // `maintenance` lines of the host's block: its own windows, besides the
  // global ones.
  HostWindows maintenance;
  // `expect`: what the service must send within `timeoutsec` for the check
  // to pass; "": the connect alone is the check.
  FixedText<kMaxExpectBytes + 1> expect;
  // `send`: the bytes sent after the connect, before reading (read_send_text).
  char send[kMaxSendBytes] = {};
  int32_t send_length = 0;
  // `tls`: check the host's certificate (kNone: no check).
  TlsMode tls = TlsMode::kNone;
  // `cert_days` of the host's block; count 0: the global one.
  CertDays cert_days;
};

// The resolver's side of one host: the addresses of the last good
// resolution in the resolver's order, the time of the last attempt and the
// address probed last (resolved_ip). Written by the resolver and the probe
// only, by the thread that checks the host.
struct HostAddresses {
  FixedText<128> resolved_ip;
  int32_t resolve_state = kNotResolved;
  int32_t address_count = 0;
  FixedText<64> addresses[kMaxHostAddresses];
  int64_t resolved_at = 0;
};

// The alert state machine of one host: moved by its check under
// host_state_lock, and kept (saved, restored) as a whole.
struct HostState {
  int32_t fail_count = 0;
  int32_t alert_sent = 0;
  int64_t first_fail_time = 0;
  int64_t last_fail_time = 0;
  // Successful checks in a row of a host whose DOWN alert was sent.
  int32_t recover_streak = 0;
  // While alerted: the first failure of the outage and the last DOWN alert
  // or reminder.
  int64_t down_since = 0;
  int64_t last_reminder = 0;
  // Set by a restart that restored an alerted service (state_file): the
  // last time it was seen down before the restart. The first check after
  // the restart clears it; a RECOVERY composed while it is set says that
  // the service recovered while linkwatch was stopped.
  int64_t down_seen_before_restart = 0;
  // 1 while alert_sent differs from what the channels were last told (a
  // crossing kept back by a maintenance window or mute); 0 when they agree.
  int32_t held = 0;
};

// Maintenance windows and mutes of one host, set by the cycle before the
// host's check (what they kept back is HostState::held).
struct HostSilence {
  // 1 while a maintenance window or mute holds: the check counts, nothing is sent.
  int32_t silenced = 0;
  // The end of the mute that silences the host; 0: none (a window may).
  int64_t muted_until = 0;
};

// What the certificate checks (`tls`) found of one host and what the
// channels were told; written on the monitoring thread only.
struct HostCert {
  int64_t cert_expires = 0;         // the chain's earliest expiry (UTC seconds); 0: not known
  int64_t cert_checked = 0;         // when the chain was last read
  FixedText<128> cert_cn;           // subject CN of the certificate that expires first
  int32_t cert_told_days = 0;       // the smallest threshold told for cert_expires; 0: none
  int32_t cert_expired_told = 0;    // 1: "CERTIFICATE EXPIRED" was sent for cert_expires
  int32_t cert_untrusted_told = 0;  // 1: "CERTIFICATE NOT TRUSTED" was sent
};

// One slot of the host table: the parts under their own names
// (`entry.port`, `entry.resolved_ip`, `entry.fail_count`). HostEntry{} is
// an empty slot, every field zero.
struct HostEntry : HostConfig, HostAddresses, HostState, HostSilence, HostCert {};

// Stores `text` as the host (cut to its size) and classifies what is
// stored into `form` and `literal`. Every writer of `host` goes through it.
void set_host_text(HostConfig* config, const char* text);

// Stores `text` as the port (cut to its size) and `port_number` of what is
// stored. Every writer of `port` goes through it.
void set_port_text(HostConfig* config, const char* text);

// The `alert_text` key: how the DOWN, RECOVERY and reminder messages read.
// kClassic (the key absent) keeps the long texts of old; kClear gives short
// subjects that say what broke ("DOWN web01:443 (shop): Connection
// refused") and bodies with the description, error, start and downtime.
enum class AlertText : int32_t { kClassic = 0, kClear = 1 };

// The value of an `alert_text` text: "classic" or "clear". Returns -1 for
// anything else.
int parse_alert_text(const char* text);

// One reference of the own-network guard: a service that answers whenever
// the monitor's own network works.
struct NetReference {
  FixedText<128> host;
  uint16_t port = 0;
};

struct HostTable {
  HostEntry hosts[kHostTableSlots];
  int32_t host_count = 0;
};

struct MonitorSettings {
  FixedText<16> interval{kDefaultIntervalText};
  int32_t fast_retry_interval = kDefaultFastRetrySeconds;
  int32_t workers = kDefaultWorkers;
  // Successful checks in a row an alerted host needs before its RECOVERY.
  int32_t recover_count = kDefaultRecoverCount;
  // Minutes between reminders while a host stays DOWN; 0: none.
  int32_t remind_minutes = 0;
  // Hosts crossing the same way in one cycle that make one digest; 0: off.
  int32_t group_alerts = 0;
  // References probed before each cycle; none: every check counts.
  NetReference netcheck[kMaxNetReferences];
  int32_t netcheck_count = 0;
  // `status_file : "1"`: the status table is written after every cycle.
  int32_t status_file = 0;
  // `rolling_workers : "1"`: the next host's check starts as soon as any
  // running check ends; 0: batches of `workers`, each joined before the next.
  int32_t rolling_workers = 0;
  // `metrics_file`: where the metrics go after every cycle; "": nowhere.
  FixedText<kMetricsFileSize> metrics_file;
  // `status_html`: where the status page goes after every cycle; "": nowhere.
  FixedText<kMetricsFileSize> status_html;
  // `report_uptime : "1"`: the daily alive report adds each service's
  // uptime and outages of the past day.
  int32_t report_uptime = 0;
  // `site`: the name of this instance's network or location, shown on the
  // status page and given as a label to every metric; "": none.
  FixedText<kSiteSize> site;
  // `alert_text`: how the host alerts read; passed on to their composers.
  AlertText alert_text = AlertText::kClassic;
  // `state_file : "1"`: the alert states and the waiting messages are kept
  // in linkwatch_state.txt and taken back at start.
  int32_t state_file = 0;
  // `maintenance` lines before the first host block: windows of every host.
  GlobalWindows maintenance;
  // `cert_days` before the first host block: every host's warning days.
  CertDays cert_days{{21, 7}, 2};
};

// True when `text` can be an `expect`: 1 to kMaxExpectBytes bytes, none of
// them a control character.
bool expect_usable(const char* text);

// Reads a `send` text into the bytes it names: the escapes \r \n \t \\ and
// \xHH (two hex digits) give one byte each, every other byte stands for
// itself. Stores the bytes in `out` (kMaxSendBytes) and their count in
// `*length`, and returns null; or returns what is wrong ("empty", "an
// unknown escape", "\x without two hex digits", "a backslash at the end",
// "a control character", "too long"), with `*length` 0.
const char* read_send_text(const char* text, char* out, int32_t* length);

// The value of a `status_file` text: "0" or "1". Returns -1 for anything else.
int parse_status_file(const char* text);

// The value of a `state_file` text: "0" or "1". Returns -1 for anything else.
int parse_state_file(const char* text);

// The value of a `rolling_workers` text: "0" or "1". Returns -1 for anything else.
int parse_rolling_workers(const char* text);

// True when `text` can name the metrics file: it ends in ".prom" (what the
// node exporter's textfile collector reads), has something before that and
// fits kMetricsFileSize.
bool metrics_file_usable(const char* text);

// True when `text` can name the status page: it ends in ".html", has
// something before that and fits kMetricsFileSize.
bool status_html_usable(const char* text);

// The value of a `report_uptime` text: "0" or "1". Returns -1 for anything else.
int parse_report_uptime(const char* text);

// True when `text` can be a `site`: 1 to kSiteSize - 1 bytes of letters,
// digits, spaces and . _ - : / (nothing a label or a page must escape).
bool site_usable(const char* text);

// The value of a `recovercount` text: digits only, 1..kMaxRecoverCount.
// Returns 0 for anything else.
int parse_recover_count(const char* text);

// The value of a `remind_minutes` text: digits only, 0 or
// kMinRemindMinutes..kMaxRemindMinutes. Returns -1 for anything else.
int parse_remind_minutes(const char* text);

// The value of a `group_alerts` text: digits only, 0 or
// kMinGroupAlerts..kMaxHosts. Returns -1 for anything else.
int parse_group_alerts(const char* text);

// Reads a `netcheck` text, "host:port, host:port" (an IPv6 address in
// brackets: "[::1]:53"), into `refs` (kMaxNetReferences entries) and
// `*count`. "" (or only blanks) is no reference. Returns false, with
// `*count` 0, for more than kMaxNetReferences references, an empty entry, a
// missing host, or a port that port_number refuses.
bool parse_netcheck(const char* text, NetReference* refs, int32_t* count);

// Reads the host file afresh into `table` and `settings`, applying every
// default, clamp and cut. Returns true when the file was read; when it cannot
// be opened, prints "linkwatch_host.txt is not existed" and returns false
// (the caller ends with exit code 1). Prints "Too many hosts in ..." and
// stops reading at the 256th host.
bool load_host_config(HostTable* table, MonitorSettings* settings);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_HOST_CONFIG_H_
