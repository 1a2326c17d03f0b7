#include "app/status.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "app/monitor.h"
#include "app/status_page.h"
#include "platform/platform.h"
#include "support/about.h"
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
    view.connect_seconds = usable ? slots[i].connect_seconds : -1.0;
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

void MetricsText::head(const char* name, const char* type, const char* help) {
  out_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsText::sample(const char* name, std::initializer_list<Label> labels, const char* value) {
  out_.append(name);
  char separator = '{';
  const auto put = [&](const Label& label) {
    out_.push_back(separator);
    out_.append(label.name).append("=\"");
    put_label_value(&out_, label.value);
    out_.push_back('"');
    separator = ',';
  };
  for (const Label& label : labels) put(label);
  if (site_[0] != '\0') put({"site", site_});
  if (separator == ',') out_.push_back('}');
  out_.append(" ").append(value).append("\n");
}

bool MetricsText::first_of_its_series(const HostTable& table, int index) {
  const HostEntry& host = table.hosts[index];
  for (int i = 1; i < index; ++i) {
    if (table.hosts[i].host == host.host.c_str() && table.hosts[i].port == host.port.c_str()) {
      return false;
    }
  }
  return true;
}

std::string format_metrics(const StatusBoard& board, const HostTable& table,
                           const ChannelRecord* records, const NotifySettings* notify,
                           const char* site, bool running) {
  MetricsText out(site);
  const auto number = [](int64_t n, char* value, size_t size) {
    std::snprintf(value, size, "%" PRId64, n);
    return true;
  };
  if (running) {
    out.host_family(table, "linkwatch_host_up", "gauge",
                    "Whether the last check of the host connected (1) or not (0).",
                    [&](int i, char* value, size_t size) {
                      return number(board.hosts[i].up ? 1 : 0, value, size);
                    });
    out.host_family(table, "linkwatch_host_consecutive_failures", "gauge",
                    "Failed checks of the host since the last that connected.",
                    [&](int i, char* value, size_t size) {
                      return number(board.hosts[i].fails_in_row, value, size);
                    });
    out.host_family(
        table, "linkwatch_host_silenced", "gauge",
        "Whether a maintenance window or mute keeps the host's alerts back (1) or not (0).",
        [&](int i, char* value, size_t size) {
          return number(table.hosts[i].silenced, value, size);
        });
    out.host_family(table, "linkwatch_host_alerted", "gauge",
                    "Whether the host counts as DOWN, its DOWN alert raised (1), or not (0).",
                    [&](int i, char* value, size_t size) {
                      return number(table.hosts[i].alert_sent != 0 ? 1 : 0, value, size);
                    });
    out.host_family(table, "linkwatch_host_connect_seconds", "gauge",
                    "Time the last check of the host took to connect, when it connected.",
                    [&](int i, char* value, size_t size) {
                      const double seconds = board.hosts[i].connect_seconds;
                      std::snprintf(value, size, "%.6f", seconds);
                      return seconds >= 0.0;
                    });
    out.host_family(table, "linkwatch_host_down_since_timestamp_seconds", "gauge",
                    "Unix time of the first failed check of the host's outage; 0 unless DOWN.",
                    [&](int i, char* value, size_t size) {
                      const HostEntry& host = table.hosts[i];
                      return number(host.alert_sent != 0 ? host.down_since : 0, value, size);
                    });
    append_cert_metrics(&out, table);
  }
  char value[48];
  out.head("linkwatch_last_cycle_seconds", "gauge", "Duration of the last check cycle in seconds.");
  std::snprintf(value, sizeof value, "%" PRIu64 ".%03u", board.last_cycle_ms / 1000,
                static_cast<unsigned>(board.last_cycle_ms % 1000));
  out.sample("linkwatch_last_cycle_seconds", {}, value);
  out.head("linkwatch_delivery_failures_total", "counter",
           "Alert sends that were tried and not delivered, per channel.");
  for (size_t c = 0; c < kChannelCount; ++c) {
    if (!listed(kChannelRows[c], notify)) continue;
    std::snprintf(value, sizeof value, "%" PRIu64, records ? records[c].failures : 0);
    out.sample("linkwatch_delivery_failures_total", {{"channel", kChannelRows[c].label}}, value);
  }
  out.head("linkwatch_up", "gauge", "Whether linkwatch runs (1) or has stopped in order (0).");
  out.sample("linkwatch_up", {}, running ? "1" : "0");
  out.head("linkwatch_last_cycle_timestamp_seconds", "gauge",
           "Unix time at which the last check cycle began.");
  if (board.last_cycle != 0) {
    number(board.last_cycle, value, sizeof value);
    out.sample("linkwatch_last_cycle_timestamp_seconds", {}, value);
  }
  out.head("linkwatch_build_info", "gauge", "Always 1; the version of linkwatch as a label.");
  out.sample("linkwatch_build_info", {{"version", kVersion}}, "1");
  return out.text();
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

namespace {

// Writes the files that the settings of `run` ask for; the status table and
// the page only while it runs.
void write_files(MonitorRun& run, bool running) {
  const MonitorSettings& settings = *run.settings;
  const bool status = running && settings.status_file == 1;
  const bool page = running && !settings.status_html.empty();
  if (!status && !page && settings.metrics_file.empty()) return;
  ChannelRecord records[kChannelCount];
  for (size_t c = 0; c < kChannelCount; ++c) {
    if (run.delivery) records[c] = run.delivery->channel_record(kChannelRows[c].id);
  }
  if (status) {
    write_logged(
        kStatusFileName,
        format_status_table(run.status, *run.table, records, platform::current_pid(), run.notify),
        true, &run.status.status_write_failing);
  }
  if (!settings.metrics_file.empty()) {
    write_logged(
        settings.metrics_file.c_str(),
        format_metrics(run.status, *run.table, records, run.notify, settings.site.c_str(), running),
        false, &run.status.metrics_write_failing);
  }
  if (page) {
    PageInput input;
    input.board = &run.status;
    input.table = run.table;
    input.history = &run.history;
    input.settings = run.settings;
    input.notify = run.notify;
    input.records = records;
    input.now = run.status.last_cycle;
    write_logged(settings.status_html.c_str(), format_status_page(input), false,
                 &run.status.page_write_failing);
  }
}

}  // namespace

void record_history(HistoryBook* book, const HostTable& table, const StatusBoard& board,
                    int64_t started) {
  const int64_t quarter = started / kQuarterSeconds;
  if (quarter != book->recorded_quarter) {
    book->recorded_quarter = quarter;
    book->quarter_turned = true;
  }
  if (book->since == 0) book->since = started;
  for (int i = 1; i <= host_count(table); ++i) {
    record_check(&book->services[i], started, !board.hosts[i].up, table.hosts[i].silenced != 0);
  }
}

void after_cycle(MonitorRun& run, int64_t started, uint64_t elapsed_ms) {
  note_cycle(&run.status, *run.table, run.slots, started, elapsed_ms);
  if (history_wanted(*run.settings)) {
    run.history.keep();
    if (run.network_down_since == 0) record_history(&run.history, *run.table, run.status, started);
  }
  write_files(run, true);
  run.heartbeat.after_cycle(*run.notify, now_seconds());
}

void write_stopped_metrics(MonitorRun& run) { write_files(run, false); }

}  // namespace lw
