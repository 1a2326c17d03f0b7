#include "config/host_config.h"

#include <cstring>

#include "support/output.h"

namespace lw {

namespace {

void apply_host_key(const ConfigLine& line, HostTable* table, MonitorSettings* settings) {
  const char* key = line.key.c_str();
  const char* value = line.value.c_str();

  if (std::strcmp(key, "interval") == 0) {
    if (!line.value.empty()) settings->interval.assign(value);
    return;
  }
  if (std::strcmp(key, "fast_retry_interval") == 0) {
    int n = to_int(value);
    settings->fast_retry_interval = n < 1 ? kDefaultFastRetrySeconds : n;
    return;
  }
  if (std::strcmp(key, "workers") == 0) {
    int n = to_int(value);
    settings->workers = n < 1 ? kDefaultWorkers : (n > kMaxWorkers ? kMaxWorkers : n);
    return;
  }

  if (std::strcmp(key, "recovercount") == 0) {
    const int n = parse_recover_count(value);
    if (n == 0) {
      print_and_log("recovercount in %s must be a number from 1 to %d; recovering at once",
                    kHostFileName, kMaxRecoverCount);
    }
    settings->recover_count = n == 0 ? kDefaultRecoverCount : n;
    return;
  }

  if (std::strcmp(key, "remind_minutes") == 0) {
    const int n = parse_remind_minutes(value);
    if (n < 0) {
      print_and_log("remind_minutes in %s must be 0 or a number from %d to %d; no reminders",
                    kHostFileName, kMinRemindMinutes, kMaxRemindMinutes);
    }
    settings->remind_minutes = n < 0 ? 0 : n;
    return;
  }

  if (std::strcmp(key, "group_alerts") == 0) {
    const int n = parse_group_alerts(value);
    if (n < 0) {
      print_and_log("group_alerts in %s must be 0 or a number from %d to %d; no digests",
                    kHostFileName, kMinGroupAlerts, kMaxHosts);
    }
    settings->group_alerts = n < 0 ? 0 : n;
    return;
  }

  if (std::strcmp(key, "netcheck") == 0) {
    if (!parse_netcheck(value, settings->netcheck, &settings->netcheck_count)) {
      print_and_log("netcheck in %s must be up to %d host:port references; every check counts",
                    kHostFileName, kMaxNetReferences);
    }
    return;
  }

  if (std::strcmp(key, "status_file") == 0) {
    const int on = parse_status_file(value);
    if (on < 0) print_and_log("status_file in %s must be 0 or 1; no status file", kHostFileName);
    settings->status_file = on == 1;
    return;
  }
  if (std::strcmp(key, "rolling_workers") == 0) {
    const int on = parse_rolling_workers(value);
    if (on < 0)
      print_and_log("rolling_workers in %s must be 0 or 1; checks run in batches", kHostFileName);
    settings->rolling_workers = on == 1;
    return;
  }
  if (std::strcmp(key, "metrics_file") == 0) {
    const bool usable = metrics_file_usable(value);
    settings->metrics_file.assign(usable ? value : "");
    if (!usable) {
      print_and_log("metrics_file in %s must be a file name ending in .prom; no metrics file",
                    kHostFileName);
    }
    return;
  }

  // Per-host keys belong to the most recent host; before the first one they
  // have nowhere to go.
  if (table->host_count < 1) return;
  HostEntry& entry = table->hosts[table->host_count];
  if (std::strcmp(key, "port") == 0) {
    entry.port.assign(value);
  } else if (std::strcmp(key, "description") == 0) {
    entry.description.assign(value);
  } else if (std::strcmp(key, "timeoutsec") == 0) {
    int n = to_int(value);
    entry.timeoutsec = n < 1 ? kDefaultTimeoutSeconds : n;
  } else if (std::strcmp(key, "alertcount") == 0) {
    int n = to_int(value);
    entry.alertcount = n < 1 ? kDefaultAlertCount : n;
    entry.alertcount_text.assign(value);  // as written, even when the default was used
  } else if (std::strcmp(key, "family") == 0) {
    const int family = parse_host_family(value);
    if (family < 0) {
      print_and_log("family of host %s in %s must be 4, 6 or any; using any", entry.host.c_str(),
                    kHostFileName);
    }
    entry.family = family < 0 ? kFamilyAny : family;
  }
}

}  // namespace

int port_number(const char* port) {
  const int value = parse_whole_number(port, kHighestPort);
  return value >= kLowestPort ? value : 0;
}

int parse_status_file(const char* text) {
  return std::strcmp(text, "0") == 0 ? 0 : std::strcmp(text, "1") == 0 ? 1 : -1;
}

int parse_rolling_workers(const char* text) {
  return std::strcmp(text, "0") == 0 ? 0 : std::strcmp(text, "1") == 0 ? 1 : -1;
}

bool metrics_file_usable(const char* text) {
  const size_t length = std::strlen(text);
  return length > 5 && length < kMetricsFileSize && std::strcmp(text + length - 5, ".prom") == 0;
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
  while (file.next(piece.data(), piece.capacity()) > 0) {
    if (!parse_config_line(piece.c_str(), &line)) continue;

    if (line.key == "host") {
      if (table->host_count >= kMaxHosts) {
        // Nothing after the 256th host is read, global keys included.
        plain_print("Too many hosts in %s\n", kHostFileName);
        break;
      }
      HostEntry& entry = table->hosts[++table->host_count];
      entry = HostEntry{};
      entry.host.assign(line.value.c_str());
      entry.timeoutsec = kDefaultTimeoutSeconds;
      entry.alertcount = kDefaultAlertCount;
      entry.alertcount_text.assign(kDefaultAlertCountText);
      continue;
    }
    apply_host_key(line, table, settings);
  }

  if (settings->interval.empty()) settings->interval.assign(kDefaultIntervalText);
  if (settings->workers < 1) settings->workers = kDefaultWorkers;
  if (settings->workers > kMaxWorkers) settings->workers = kMaxWorkers;
  return true;
}

}  // namespace lw
