// The host file "linkwatch_host.txt": the shared configuration line syntax,
// the host table and the monitoring settings.

#ifndef LINKWATCH_CONFIG_HOST_CONFIG_H_
#define LINKWATCH_CONFIG_HOST_CONFIG_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "support/fixed_text.h"

namespace lw {

constexpr const char kHostFileName[] = "linkwatch_host.txt";
constexpr int kMaxHosts = 255;            // hosts occupy slots 1..255
constexpr int kHostTableSlots = 256;      // slot 0 is never used
constexpr size_t kConfigLineSize = 8192;  // one read: at most 8191 characters
constexpr size_t kConfigKeySize = 128;
constexpr size_t kConfigValueSize = 8192;

// Defaults and limits of the host file, used by the loader, "-check" and the
// monitoring run alike.
constexpr int kDefaultIntervalSeconds = 15;   // `interval` missing, empty or below 1
constexpr const char kDefaultIntervalText[] = "15";
constexpr int kDefaultFastRetrySeconds = 3;   // `fast_retry_interval` below 1
constexpr int kDefaultWorkers = 2;            // `workers` below 1
constexpr int kMaxWorkers = 50;               // `workers` above this is clamped
constexpr int kDefaultTimeoutSeconds = 10;    // `timeoutsec` missing or below 1
constexpr int kDefaultAlertCount = 30;        // `alertcount` missing or below 1
constexpr const char kDefaultAlertCountText[] = "30";
constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;

// The TCP port that the text `port` names: 1 to 65535 written with decimal
// digits only (no sign, no blanks, nothing after the digits). Returns 0 for
// anything else ("", "0", "-5", "abc", "18O80", "70000"): an invalid port.
int port_number(const char* port);

// Monitoring state of a host's name resolution.
enum ResolveState : int32_t { kNotResolved = 0, kResolved = 1, kResolveFailed = 2 };

struct HostEntry {
  FixedText<128> host;
  FixedText<128> resolved_ip;
  FixedText<128> description;
  int32_t resolve_state = kNotResolved;
  FixedText<16> port;
  int32_t timeoutsec = 0;
  int32_t fail_count = 0;
  int32_t alertcount = 0;
  FixedText<16> alertcount_text;
  int32_t alert_sent = 0;
  int64_t first_fail_time = 0;
  int64_t last_fail_time = 0;
};

struct HostTable {
  HostEntry hosts[kHostTableSlots];
  int32_t host_count = 0;
};

struct MonitorSettings {
  FixedText<16> interval{"15"};
  int32_t fast_retry_interval = 3;
  int32_t workers = 2;
};

// One configuration line taken apart: `key : "value"`.
struct ConfigLine {
  FixedText<kConfigKeySize> key;
  FixedText<kConfigValueSize> value;
};

// Parses one line (a piece of at most 8191 characters, line end included or
// not). Returns true and fills `out` when the line carries a setting: not
// blank, not starting with "*", a separator (the first ":", or the first "="
// when the line has no ":"), a non-empty key, and a value between the first
// two double quotes after the separator. Key and value are trimmed and cut
// to 127 and 8191 characters.
bool parse_config_line(const char* line, ConfigLine* out);

// Reads the next piece of a configuration file opened in text mode: the
// rest of the current line up to and including its line end, but at most
// cap-1 bytes (8191 for kConfigLineSize), so a longer line arrives in several
// pieces. Stores the piece terminated in `buf` and returns its length in
// bytes (a NUL byte inside the line is kept and counted); 0 at end of file.
size_t read_config_piece(std::FILE* file, char* buf, size_t cap);

// Reads the host file afresh into `table` and `settings`, applying every
// default, clamp and cut. Returns true when the file was read; when it cannot
// be opened, prints "linkwatch_host.txt is not existed" and returns false
// (the caller ends with exit code 1). Prints "Too many hosts in ..." and
// stops reading at the 256th host.
bool load_host_config(HostTable* table, MonitorSettings* settings);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_HOST_CONFIG_H_
