// What a running instance sees, for people and for monitoring systems: the
// status table "linkwatch_status.txt" (`status_file : "1"`) and the metrics
// file in the Prometheus text exposition format (`metrics_file`), both
// rewritten after every cycle (the metrics also at an orderly stop) by a
// rename over the old file, so a reader never sees half a file.

#ifndef LINKWATCH_APP_STATUS_H_
#define LINKWATCH_APP_STATUS_H_

#include <cstdint>
#include <initializer_list>
#include <string>

#include "config/host_config.h"
#include "notify/delivery.h"
#include "probe/history.h"
#include "probe/tcp_probe.h"
#include "probe/worker.h"
#include "support/fixed_text.h"

namespace lw {

constexpr const char kStatusFileName[] = "linkwatch_status.txt";
// The first line of the status table names the instance that wrote it:
// "linkwatch status, pid <id>".
constexpr const char kStatusFirstLine[] = "linkwatch status, pid %lu";

// What the status writer saw of one host over the cycles.
struct HostView {
  int64_t last_check = 0;            // start of the last cycle that checked it; 0: none
  int64_t last_connect = 0;          // start of the last cycle whose check connected; 0: none
  int32_t fails_in_row = 0;          // failed checks since the last that connected
  double connect_seconds = -1.0;     // the last check's connect time; negative: it did not connect
  bool up = false;                   // the last check connected
  FixedText<kProbeErrorSize> error;  // the last error seen; "": none
};

struct StatusBoard {
  int64_t first_cycle = 0;  // start of the first cycle
  uint64_t cycles = 0;
  int64_t last_cycle = 0;  // start of the last cycle
  uint64_t last_cycle_ms = 0;
  HostView hosts[kHostTableSlots];
  // A failed write is logged once until a write of that file works again.
  bool status_write_failing = false;
  bool metrics_write_failing = false;
  bool page_write_failing = false;
};

// Takes in what the cycle that began at `started` and took `elapsed_ms` left
// in hosts 1..host_count of `table` and in their `slots` (the workers are
// joined). A host whose name did not resolve or whose port is invalid counts
// as not connected, with that as its error.
void note_cycle(StatusBoard* board, const HostTable& table, const WorkerSlot* slots,
                int64_t started, uint64_t elapsed_ms);

// The status table of `board` and `table`: the first line (kStatusFirstLine
// with `pid`), the first and last cycle, the cycle count and the last
// cycle's duration; one fixed-width line per host with host, port,
// description, state (UP, FAILING n/m, DOWN since <time>, NOT RESOLVED,
// INVALID; while silenced MUTED until <time> or MAINTENANCE), last check,
// last error and last connect; then one line per channel with its last
// send, its outcome and its failures. `records` holds
// every channel in Channel order (null: no delivery thread, nothing
// recorded); a web hook's row is listed only when `notify` (null: none)
// has its block (channel_listed). Cells are cut to their width ("~" marks the cut), counted in
// UTF-8 characters; control bytes show as blanks. Lines end with "\n".
std::string format_status_table(const StatusBoard& board, const HostTable& table,
                                const ChannelRecord* records, uint32_t pid,
                                const NotifySettings* notify = nullptr);

// Metrics in the Prometheus text exposition format: each family's HELP and
// TYPE, then its samples, every sample with the labels it is given and
// then site="<site>" when `site` is not empty. Label values are escaped
// (\\, \", \n). A family of its own, with the common labels:
//
//   MetricsText text("berlin");
//   text.host_family(table, "linkwatch_host_up", "gauge", "...",
//                    [&](int index, char* value, size_t size) {
//                      std::snprintf(value, size, "%d", board.hosts[index].up ? 1 : 0);
//                      return true;  // false: no sample for this host
//                    });
//   // linkwatch_host_up{host="db1",port="5432",site="berlin"} 1
class MetricsText {
 public:
  struct Label {
    const char* name;
    const char* value;
  };
  explicit MetricsText(const char* site) : site_(site ? site : "") {}

  // The HELP and TYPE lines of `name`: once, before its samples.
  void head(const char* name, const char* type, const char* help);
  // One sample: name{labels...,site} value.
  void sample(const char* name, std::initializer_list<Label> labels, const char* value);
  // head, then one sample with the labels host and port for each host
  // 1..host_count of `table` (a host and port repeated in the table is
  // written once) for which value_of(index, value, size) returns true
  // after writing the value text into `value` (48 bytes).
  template <typename ValueOf>
  void host_family(const HostTable& table, const char* name, const char* type, const char* help,
                   ValueOf value_of) {
    head(name, type, help);
    char value[48];
    for (int i = 1; i <= table.host_count && i <= kMaxHosts; ++i) {
      if (!first_of_its_series(table, i) || !value_of(i, value, sizeof value)) continue;
      sample(name, {{"host", table.hosts[i].host.c_str()}, {"port", table.hosts[i].port.c_str()}},
             value);
    }
  }
  const std::string& text() const { return out_; }

 private:
  static bool first_of_its_series(const HostTable& table, int index);
  const char* site_;
  std::string out_;
};

// The facts of `board` and `table` in the Prometheus text exposition
// format (MetricsText, labelled with `site`). Per host (host, port; gauges):
// linkwatch_host_up, linkwatch_host_consecutive_failures,
// linkwatch_host_silenced (1 while a maintenance window or mute holds),
// linkwatch_host_alerted (1 while the host counts as DOWN),
// linkwatch_host_connect_seconds (only when its last check connected) and
// linkwatch_host_down_since_timestamp_seconds (0 unless alerted); then
// linkwatch_last_cycle_seconds, linkwatch_delivery_failures_total{channel}
// (counter; web hook channels as in format_status_table), linkwatch_up,
// linkwatch_last_cycle_timestamp_seconds (none before the first cycle) and
// linkwatch_build_info{version}. With `running` false (the run has
// stopped) linkwatch_up is 0 and no host family is written.
std::string format_metrics(const StatusBoard& board, const HostTable& table,
                           const ChannelRecord* records, const NotifySettings* notify = nullptr,
                           const char* site = "", bool running = true);

// Writes `text` to "<path>.tmp" (text mode: "\n" stored as the platform's
// line end; else as is) and renames it over `path`, trying the rename again
// for a moment while a reader holds `path` open. False, with `path`
// unchanged and the temporary file removed, when that fails.
bool write_file_atomically(const char* path, const std::string& text, bool text_mode);

struct MonitorRun;

// Takes the checks of the cycle that began at `started` into `book` (which
// must be kept): a host whose last check did not connect (board) failed; a
// silenced one counts as maintenance.
void record_history(HistoryBook* book, const HostTable& table, const StatusBoard& board,
                    int64_t started);

// After a cycle of `run` that began at `started` and took `elapsed_ms`:
// takes the cycle in (with history_wanted, into the history too, unless
// the own-network guard left the checks uncounted), writes the status and
// metrics files and the status page that the settings ask for (a failed write is logged once per
// outage) and gives the heartbeat its chance. With none of the three configured nothing is written.
void after_cycle(MonitorRun& run, int64_t started, uint64_t elapsed_ms);

// At the orderly end of `run`: rewrites its metrics file, when it has one,
// as format_metrics with `running` false, so that a stopped instance says
// linkwatch_up 0 instead of its last services' states.
void write_stopped_metrics(MonitorRun& run);

}  // namespace lw

#endif  // LINKWATCH_APP_STATUS_H_
