#include "config/host_config.h"

#include <cstring>

#include "support/output.h"

namespace lw {

namespace {

// Length of `text` without trailing white space; `len` is its full length.
size_t trimmed_end(const char* text, size_t len) {
  while (len > 0 && is_space_byte(text[len - 1])) --len;
  return len;
}

// Copies text[begin, end) into `dst` with white space removed at both ends,
// cut to cap-1 bytes (and trimmed again where the cut exposes blanks).
void copy_trimmed_range(const char* begin, const char* end, char* dst, size_t cap) {
  while (begin < end && is_space_byte(*begin)) ++begin;
  size_t len = trimmed_end(begin, static_cast<size_t>(end - begin));
  if (len > cap - 1) len = trimmed_end(begin, cap - 1);
  std::memcpy(dst, begin, len);
  dst[len] = '\0';
}

void apply_host_key(const ConfigLine& line, HostTable* table, MonitorSettings* settings) {
  const char* key = line.key.c_str();
  const char* value = line.value.c_str();

  if (std::strcmp(key, "interval") == 0) {
    if (!line.value.empty()) settings->interval.assign(value);
    return;
  }
  if (std::strcmp(key, "fast_retry_interval") == 0) {
    int n = to_int(value);
    settings->fast_retry_interval = n < 1 ? 3 : n;
    return;
  }
  if (std::strcmp(key, "workers") == 0) {
    int n = to_int(value);
    settings->workers = n < 1 ? 2 : (n > 50 ? 50 : n);
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
    entry.timeoutsec = n < 1 ? 10 : n;
  } else if (std::strcmp(key, "alertcount") == 0) {
    int n = to_int(value);
    entry.alertcount = n < 1 ? 30 : n;
    entry.alertcount_text.assign(value);  // as written, even when 30 was used
  }
}

}  // namespace

int port_number(const char* port) {
  if (!port || port[0] == '\0') return 0;
  int value = 0;
  for (const char* p = port; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    value = value * 10 + (*p - '0');
    if (value > kHighestPort) return 0;
  }
  return value >= kLowestPort ? value : 0;
}

bool parse_config_line(const char* line, ConfigLine* out) {
  if (!line || !out) return false;

  const char* first = line;
  while (*first && is_space_byte(*first)) ++first;
  if (*first == '\0' || *first == '*') return false;  // blank or commented out

  // The first ":" separates; "=" only in a line without any ":".
  const char* sep = std::strchr(line, ':');
  if (!sep) sep = std::strchr(line, '=');
  if (!sep) return false;

  const char* open = std::strchr(sep + 1, '"');
  if (!open) return false;
  const char* close = std::strchr(open + 1, '"');
  if (!close) return false;

  copy_trimmed_range(line, sep, out->key.data(), out->key.capacity());
  if (out->key.empty()) return false;
  copy_trimmed_range(open + 1, close, out->value.data(), out->value.capacity());
  return true;
}

size_t read_config_piece(std::FILE* file, char* buf, size_t cap) {
  if (!file || !buf || cap == 0) return 0;
  size_t len = 0;
  while (len + 1 < cap) {
    int c = std::getc(file);
    if (c == EOF) break;
    buf[len++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buf[len] = '\0';
  return len;
}

bool load_host_config(HostTable* table, MonitorSettings* settings) {
  std::FILE* file = std::fopen(kHostFileName, "r");
  if (!file) {
    plain_print("%s is not existed\n", kHostFileName);
    return false;
  }

  table->host_count = 0;
  for (HostEntry& entry : table->hosts) entry = HostEntry{};
  settings->interval.assign("15");
  settings->fast_retry_interval = 3;
  settings->workers = 2;

  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  while (read_config_piece(file, piece.data(), piece.capacity()) > 0) {
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
      entry.timeoutsec = 10;
      entry.alertcount = 30;
      entry.alertcount_text.assign("30");
      continue;
    }
    apply_host_key(line, table, settings);
  }
  std::fclose(file);

  if (settings->interval.empty()) settings->interval.assign("15");
  if (settings->workers < 1) settings->workers = 2;
  if (settings->workers > 50) settings->workers = 50;
  return true;
}

}  // namespace lw
