#include "app/status.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/monitor.h"
#include "platform/platform.h"
#include "support/clock.h"
#include "support/output.h"

namespace lw {

namespace {

// Whether a channel's row is listed; without settings only the fixed ones.
bool listed(const ChannelRow& row, const NotifySettings* notify) {
  static const NotifySettings kNone;
  return channel_listed(row, notify ? *notify : kNone);
}

// How often, and how far apart, a rename held up by a reader is tried.
constexpr int kReplaceTries = 20;
constexpr uint32_t kReplaceRetryMs = 10;

constexpr const char kTimeFormat[] = "%Y-%m-%d %H:%M:%S";
constexpr size_t kTimeWidth = 19;

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

size_t characters(const char* text) {
  size_t n = 0;
  for (; *text; ++text) n += !is_continuation(*text);
  return n;
}

// Appends `text` in a cell of `width` characters: cut to width - 1 and "~"
// when longer, padded with blanks unless `last`, control bytes as blanks.
void put_cell(std::string* out, const char* text, size_t width, bool last) {
  const bool cut = characters(text) > width;
  const size_t shown = cut ? width - 1 : width;
  size_t count = 0;
  for (const char* p = text; *p; ++p) {
    if (!is_continuation(*p)) {
      if (count == shown) break;
      ++count;
    }
    out->push_back(static_cast<unsigned char>(*p) < 0x20 || *p == 0x7F ? ' ' : *p);
  }
  if (cut) {
    out->push_back('~');
    ++count;
  }
  if (!last) out->append(width - count + 2, ' ');
}

std::string time_text(int64_t seconds) {
  if (seconds == 0) return "-";
  char text[32];
  format_local_time(seconds, kTimeFormat, text, sizeof text);
  return text;
}

std::string state_text(const HostEntry& host) {
  if (host.resolve_state != kResolved) return "NOT RESOLVED";
  if (host.port_number == 0) return "INVALID";
  if (host.muted_until != 0) {
    char end[32];
    format_local_time(host.muted_until, "%Y-%m-%d %H:%M", end, sizeof end);
    return std::string("MUTED until ") + end;
  }
  if (host.silenced != 0) return "MAINTENANCE";
  if (host.alert_sent != 0) return "DOWN since " + time_text(host.down_since);
  if (host.fail_count > 0) {
    char text[48];
    std::snprintf(text, sizeof text, "FAILING %d/%d", static_cast<int>(host.fail_count),
                  static_cast<int>(host.alertcount));
    return text;
  }
  return "UP";
}

void put_label_value(std::string* out, const char* value) {
  for (const char* p = value; *p; ++p) {
    if (*p == '\\' || *p == '"') {
      out->push_back('\\');
      out->push_back(*p);
    } else if (*p == '\n') {
      out->append("\\n");
    } else {
      out->push_back(*p);
    }
  }
}

void put_metric_head(std::string* out, const char* name, const char* type, const char* help) {
  out->append("# HELP ").append(name).append(" ").append(help).append("\n");
  out->append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

bool repeats_earlier(const HostTable& table, int index) {
  const HostEntry& host = table.hosts[index];
  for (int i = 1; i < index; ++i) {
    if (table.hosts[i].host == host.host.c_str() && table.hosts[i].port == host.port.c_str()) {
      return true;
    }
  }
  return false;
}

int host_count(const HostTable& table) {
  return table.host_count < kMaxHosts ? table.host_count : kMaxHosts;
}

// Writes one of the two files; a failure is logged once per outage.
void write_logged(const char* path, const std::string& text, bool text_mode, bool* failing) {
  const bool written = write_file_atomically(path, text, text_mode);
  if (!written && !*failing)
    log_event("Cannot write %s (logged again only after a write worked)", path);
  *failing = !written;
}

}  // namespace

void note_cycle(StatusBoard* board, const HostTable& table, const WorkerSlot* slots,
                int64_t started, uint64_t elapsed_ms) {
  if (board->cycles == 0) board->first_cycle = started;
  ++board->cycles;
  board->last_cycle = started;
  board->last_cycle_ms = elapsed_ms;
  for (int i = 1; i <= host_count(table); ++i) {
    const HostEntry& host = table.hosts[i];
    HostView& view = board->hosts[i];
    view.last_check = started;
    // A check that connected clears the failure count, or, for an alerted
    // host, counts towards its recovery.
    const bool usable = host.resolve_state == kResolved && host.port_number != 0;
    view.up = usable && (slots[i].failed == 0 || (host.alert_sent != 0 && host.recover_streak > 0));
    if (view.up) {
      view.last_connect = started;
      view.fails_in_row = 0;
    } else {
      ++view.fails_in_row;
      if (host.resolve_state != kResolved) {
        view.error.assign("name not resolved");
      } else if (!usable) {
        view.error.format("invalid port \"%s\"", host.port.c_str());
      } else if (!slots[i].error.empty()) {
        view.error.assign(slots[i].error.c_str());
      } else if (view.error.empty()) {
        view.error.assign("connect failed");
      }
    }
  }
}

std::string format_status_table(const StatusBoard& board, const HostTable& table,
                                const ChannelRecord* records, uint32_t pid,
                                const NotifySettings* notify) {
  std::string out;
  char line[160];
  std::snprintf(line, sizeof line, kStatusFirstLine, static_cast<unsigned long>(pid));
  out.append(line).append("\n");
  out.append("First cycle: ").append(time_text(board.first_cycle)).append("\n");
  out.append("Last cycle:  ").append(time_text(board.last_cycle));
  std::snprintf(line, sizeof line, ", took %" PRIu64 ".%03u s, cycle %" PRIu64 "\n\n",
                board.last_cycle_ms / 1000, static_cast<unsigned>(board.last_cycle_ms % 1000),
                board.cycles);
  out.append(line);

  struct Column {
    const char* title;
    size_t width;
  };
  static const Column kHostColumns[] = {{"HOST", 28},
                                        {"PORT", 5},
                                        {"DESCRIPTION", 24},
                                        {"STATE", 30},
                                        {"LAST CHECK", kTimeWidth},
                                        {"LAST ERROR", 32},
                                        {"LAST CONNECT", kTimeWidth}};
  constexpr size_t kHostColumnCount = sizeof kHostColumns / sizeof kHostColumns[0];
  for (size_t c = 0; c < kHostColumnCount; ++c) {
    put_cell(&out, kHostColumns[c].title, kHostColumns[c].width, c + 1 == kHostColumnCount);
  }
  out.append("\n");
  for (int i = 1; i <= host_count(table); ++i) {
    const HostEntry& host = table.hosts[i];
    const HostView& view = board.hosts[i];
    const std::string cells[] = {
        host.host.c_str(),           host.port.c_str(),
        host.description.c_str(),    state_text(host),
        time_text(view.last_check),  view.error.empty() ? "-" : view.error.c_str(),
        time_text(view.last_connect)};
    for (size_t c = 0; c < kHostColumnCount; ++c) {
      put_cell(&out, cells[c].c_str(), kHostColumns[c].width, c + 1 == kHostColumnCount);
    }
    out.append("\n");
  }

  out.append("\n");
  put_cell(&out, "CHANNEL", 8, false);
  put_cell(&out, "LAST SEND", kTimeWidth, false);
  put_cell(&out, "OUTCOME", 40, false);
  put_cell(&out, "FAILURES", 8, true);
  out.append("\n");
  for (size_t c = 0; c < kChannelCount; ++c) {
    if (!listed(kChannelRows[c], notify)) continue;
    const ChannelRecord record = records ? records[c] : ChannelRecord{};
    std::string outcome = "-";
    if (record.last_time != 0) {
      outcome = record.last_delivered ? "sent" : "not sent";
      if (!record.last_detail.empty())
        outcome.append(" (").append(record.last_detail.c_str()).append(")");
    }
    std::snprintf(line, sizeof line, "%" PRIu64, record.failures);
    put_cell(&out, kChannelRows[c].name, 8, false);
    put_cell(&out, time_text(record.last_time).c_str(), kTimeWidth, false);
    put_cell(&out, outcome.c_str(), 40, false);
    put_cell(&out, line, 8, true);
    out.append("\n");
  }
  append_cert_status(&out, table, board.last_cycle);
  return out;
}

std::string format_metrics(const StatusBoard& board, const HostTable& table,
                           const ChannelRecord* records, const NotifySettings* notify) {
  std::string out;
  enum class Value { kUp, kFailCount, kSilenced };
  const struct {
    const char* name;
    const char* help;
    Value value;
  } kHostMetrics[] = {
      {"linkwatch_host_up", "Whether the last check of the host connected (1) or not (0).",
       Value::kUp},
      {"linkwatch_host_fail_count", "Failed checks of the host since the last that connected.",
       Value::kFailCount},
      {"linkwatch_host_silenced",
       "Whether a maintenance window or mute keeps the host's alerts back (1) or not (0).",
       Value::kSilenced}};
  for (const auto& metric : kHostMetrics) {
    put_metric_head(&out, metric.name, "gauge", metric.help);
    for (int i = 1; i <= host_count(table); ++i) {
      if (repeats_earlier(table, i)) continue;
      const HostView& view = board.hosts[i];
      out.append(metric.name).append("{host=\"");
      put_label_value(&out, table.hosts[i].host.c_str());
      out.append("\",port=\"");
      put_label_value(&out, table.hosts[i].port.c_str());
      out.append("\"} ");
      const int32_t value = metric.value == Value::kUp          ? (view.up ? 1 : 0)
                            : metric.value == Value::kFailCount ? view.fails_in_row
                                                                : table.hosts[i].silenced;
      out.append(std::to_string(value)).append("\n");
    }
  }
  char value[48];
  put_metric_head(&out, "linkwatch_last_cycle_seconds", "gauge",
                  "Duration of the last check cycle in seconds.");
  std::snprintf(value, sizeof value, "%" PRIu64 ".%03u\n", board.last_cycle_ms / 1000,
                static_cast<unsigned>(board.last_cycle_ms % 1000));
  out.append("linkwatch_last_cycle_seconds ").append(value);
  put_metric_head(&out, "linkwatch_delivery_failures_total", "counter",
                  "Alert sends that were tried and not delivered, per channel.");
  for (size_t c = 0; c < kChannelCount; ++c) {
    if (!listed(kChannelRows[c], notify)) continue;
    const uint64_t failures = records ? records[c].failures : 0;
    std::snprintf(value, sizeof value, "%" PRIu64 "\n", failures);
    out.append("linkwatch_delivery_failures_total{channel=\"")
        .append(kChannelRows[c].label)
        .append("\"} ")
        .append(value);
  }
  append_cert_metrics(&out, table, "");
  return out;
}

bool write_file_atomically(const char* path, const std::string& text, bool text_mode) {
  FixedText<kMetricsFileSize + 8> temporary;
  temporary.format("%s.tmp", path);
  if (temporary.size() != std::strlen(path) + 4) return false;  // the name did not fit
  std::FILE* file = std::fopen(temporary.c_str(), text_mode ? "w" : "wb");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) != 0 || !written) {
    platform::delete_file(temporary.c_str());
    return false;
  }
  for (int attempt = 1;; ++attempt) {
    if (platform::replace_file(temporary.c_str(), path)) return true;
    if (attempt == kReplaceTries) break;
    platform::sleep_ms(kReplaceRetryMs);
  }
  platform::delete_file(temporary.c_str());
  return false;
}

void after_cycle(MonitorRun& run, int64_t started, uint64_t elapsed_ms) {
  note_cycle(&run.status, *run.table, run.slots, started, elapsed_ms);
  const MonitorSettings& settings = *run.settings;
  if (settings.status_file == 1 || !settings.metrics_file.empty()) {
    ChannelRecord records[kChannelCount];
    for (size_t c = 0; c < kChannelCount; ++c) {
      if (run.delivery) records[c] = run.delivery->channel_record(kChannelRows[c].id);
    }
    if (settings.status_file == 1) {
      write_logged(
          kStatusFileName,
          format_status_table(run.status, *run.table, records, platform::current_pid(), run.notify),
          true, &run.status.status_write_failing);
    }
    if (!settings.metrics_file.empty()) {
      write_logged(settings.metrics_file.c_str(),
                   format_metrics(run.status, *run.table, records, run.notify), false,
                   &run.status.metrics_write_failing);
    }
  }
  run.heartbeat.after_cycle(*run.notify, now_seconds());
}

}  // namespace lw
