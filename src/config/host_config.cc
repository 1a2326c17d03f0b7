#include "config/host_config.h"

#include <cstring>
#include <iterator>

#include "config/config_keys.h"
#include "support/output.h"

namespace lw {

int port_number(const char* port) {
  const int value = parse_whole_number(port, kHighestPort);
  return value >= kLowestPort ? value : 0;
}

void set_host_text(HostConfig* config, const char* text) {
  config->host.assign(text);
  config->form = classify_host(config->host.c_str(), &config->literal);
}

void set_port_text(HostConfig* config, const char* text) {
  config->port.assign(text);
  config->port_number = port_number(config->port.c_str());
}

int parse_status_file(const char* text) {
  return std::strcmp(text, "0") == 0 ? 0 : std::strcmp(text, "1") == 0 ? 1 : -1;
}

int parse_state_file(const char* text) {
  return std::strcmp(text, "0") == 0 ? 0 : std::strcmp(text, "1") == 0 ? 1 : -1;
}

int parse_rolling_workers(const char* text) {
  return std::strcmp(text, "0") == 0 ? 0 : std::strcmp(text, "1") == 0 ? 1 : -1;
}

int parse_alert_text(const char* text) {
  return std::strcmp(text, "classic") == 0 ? 0 : std::strcmp(text, "clear") == 0 ? 1 : -1;
}

bool metrics_file_usable(const char* text) {
  const size_t length = std::strlen(text);
  return length > 5 && length < kMetricsFileSize && std::strcmp(text + length - 5, ".prom") == 0;
}

bool status_html_usable(const char* text) {
  const size_t length = std::strlen(text);
  return length > 5 && length < kMetricsFileSize && std::strcmp(text + length - 5, ".html") == 0;
}

int parse_report_uptime(const char* text) {
  return std::strcmp(text, "0") == 0 ? 0 : std::strcmp(text, "1") == 0 ? 1 : -1;
}

bool site_usable(const char* text) {
  const size_t length = std::strlen(text);
  if (length == 0 || length >= kSiteSize) return false;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == ' ' || c == '.' || c == '_' || c == '-' || c == ':' || c == '/';
    if (!ok) return false;
  }
  return true;
}

bool expect_usable(const char* text) {
  const size_t length = std::strlen(text);
  if (length == 0 || length > kMaxExpectBytes) return false;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

const char* read_send_text(const char* text, char* out, int32_t* length) {
  *length = 0;
  if (text[0] == '\0') return "empty";
  int32_t n = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    char byte = *p;
    const auto c = static_cast<unsigned char>(byte);
    if (c < 0x20 || c == 0x7F) return "a control character";
    if (byte == '\\') {
      ++p;
      if (*p == '\0') return "a backslash at the end";
      if (*p == 'x') {
        const int high = hex_digit_value(p[1]);
        const int low = high < 0 ? -1 : hex_digit_value(p[2]);
        if (low < 0) return "\\x without two hex digits";
        byte = static_cast<char>(high * 16 + low);
        p += 2;
      } else if (*p == 'r' || *p == 'n' || *p == 't' || *p == '\\') {
        byte = *p == 'r' ? '\r' : *p == 'n' ? '\n' : *p == 't' ? '\t' : '\\';
      } else {
        return "an unknown escape";
      }
    }
    if (n == static_cast<int32_t>(kMaxSendBytes)) return "too long";
    out[n++] = byte;
  }
  *length = n;
  return nullptr;
}

int parse_recover_count(const char* text) {
  const int n = parse_whole_number(text, kMaxRecoverCount);
  return n < 1 ? 0 : n;
}

int parse_remind_minutes(const char* text) {
  const int n = parse_whole_number(text, kMaxRemindMinutes);
  return n == 0 || n >= kMinRemindMinutes ? n : -1;
}

int parse_group_alerts(const char* text) {
  const int n = parse_whole_number(text, kMaxHosts);
  return n == 0 || n >= kMinGroupAlerts ? n : -1;
}

bool parse_netcheck(const char* text, NetReference* refs, int32_t* count) {
  *count = 0;
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '\0') return true;
  int found = 0;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    const char* end = p;
    while (*end != '\0' && *end != ',') ++end;
    const char* last = end;
    while (last > p && (last[-1] == ' ' || last[-1] == '\t')) --last;
    // host:port, or [address]:port; the port follows the last colon.
    const char* colon = last;
    while (colon > p && colon[-1] != ':') --colon;
    if (colon == p || found == kMaxNetReferences) return false;
    const char* host = p;
    const char* host_end = colon - 1;
    if (*host == '[') {
      if (host_end - host < 3 || host_end[-1] != ']') return false;
      ++host;
      --host_end;
    } else if (std::memchr(host, ':', static_cast<size_t>(host_end - host)) != nullptr) {
      return false;  // an IPv6 address needs its brackets
    }
    char port[16];
    const size_t port_len = static_cast<size_t>(last - colon);
    if (host_end == host || port_len == 0 || port_len >= sizeof port) return false;
    std::memcpy(port, colon, port_len);
    port[port_len] = '\0';
    const int number = port_number(port);
    if (number == 0) return false;
    refs[found].host.format("%.*s", static_cast<int>(host_end - host), host);
    refs[found].port = static_cast<uint16_t>(number);
    ++found;
    if (*end == '\0') break;
    p = end + 1;
  }
  *count = found;
  return true;
}

int parse_host_family(const char* text) {
  if (std::strcmp(text, "4") == 0) return kFamilyIPv4;
  if (std::strcmp(text, "6") == 0) return kFamilyIPv6;
  return std::strcmp(text, "any") == 0 ? kFamilyAny : -1;
}

namespace {
constexpr const char* kTlsModeNames[] = {"", "direct", "smtp", "imap", "pop3", "ftp"};
}  // namespace

int parse_tls_mode(const char* text) {
  for (int i = 1; i < static_cast<int>(std::size(kTlsModeNames)); ++i) {
    if (std::strcmp(text, kTlsModeNames[i]) == 0) return i;
  }
  return -1;
}

const char* tls_mode_name(TlsMode mode) {
  const int i = static_cast<int>(mode);
  return i > 0 && i < static_cast<int>(std::size(kTlsModeNames)) ? kTlsModeNames[i] : "";
}

bool parse_cert_days(const char* text, CertDays* out) {
  CertDays read;
  const char* p = text;
  for (;;) {
    while (*p == ' ') ++p;
    int n = 0, digits = 0;
    for (; *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits) n = n * 10 + (*p - '0');
    while (*p == ' ') ++p;
    if (digits == 0 || n < 1 || n > kMaxCertDaysValue || (*p != ',' && *p != '\0')) return false;
    bool repeated = false;
    for (int i = 0; i < read.count; ++i) repeated = repeated || read.days[i] == n;
    if (!repeated) {
      if (read.count == kMaxCertDays) return false;
      read.days[read.count++] = n;
    }
    if (*p == '\0') break;
    ++p;
  }
  *out = read;
  return true;
}

void format_cert_days(const CertDays& days, FixedText<64>* out) {
  out->clear();
  for (int i = 0; i < days.count; ++i) out->append_format(i ? ",%d" : "%d", days.days[i]);
}

bool load_host_config(HostTable* table, MonitorSettings* settings) {
  ConfigReader file;
  if (!file.open(kHostFileName)) {
    plain_print("%s is not existed\n", kHostFileName);
    return false;
  }

  table->host_count = 0;
  for (HostEntry& entry : table->hosts) entry = HostEntry{};
  *settings = MonitorSettings{};

  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  HostLoadTarget to{settings, nullptr};
  while (file.next(piece.data(), piece.capacity()) > 0) {
    if (!parse_config_line(piece.c_str(), &line)) continue;

    const HostKeyRow* row = find_host_key(line.key.c_str());
    if (!row) continue;
    if (row->scope == KeyScope::kBlock) {
      if (table->host_count >= kMaxHosts) {
        // Nothing after the 256th host is read, global keys included.
        plain_print("Too many hosts in %s\n", kHostFileName);
        break;
      }
      // A new host starts with every per-host default.
      HostEntry& entry = table->hosts[++table->host_count];
      entry = HostEntry{};
      to.host = &entry;
      for (const HostKeyRow& key : host_key_rows()) {
        if (key.scope == KeyScope::kPerHost)
          key.store(key.default_text, key.parse(key.default_text), &to);
      }
    }
    load_host_key(*row, line, &to);
  }

  if (settings->interval.empty()) settings->interval.assign(kDefaultIntervalText);
  if (settings->workers < 1) settings->workers = kDefaultWorkers;
  if (settings->workers > kMaxWorkers) settings->workers = kMaxWorkers;
  return true;
}

}  // namespace lw
