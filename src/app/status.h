// What a running instance sees, for people and for monitoring systems: the
// status table "linkwatch_status.txt" (`status_file : "1"`) and the metrics
// file in the Prometheus text exposition format (`metrics_file`), both
// rewritten after every cycle by a rename over the old file, so a reader
// never sees half a file.

#ifndef LINKWATCH_APP_STATUS_H_
#define LINKWATCH_APP_STATUS_H_

#include <cstdint>
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

// The same facts in the Prometheus text exposition format, each metric with
// its HELP and TYPE line: linkwatch_host_up{host,port},
// linkwatch_host_fail_count{host,port} and linkwatch_host_silenced{host,port}
// (1 while a maintenance window or mute holds; gauges; a host and port
// repeated in the table is written once), linkwatch_last_cycle_seconds (gauge) and
// linkwatch_delivery_failures_total{channel} (counter). Label values are
// escaped (\\, \", \n). Web hook channels as in format_status_table.
std::string format_metrics(const StatusBoard& board, const HostTable& table,
                           const ChannelRecord* records, const NotifySettings* notify = nullptr);

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

}  // namespace lw

#endif  // LINKWATCH_APP_STATUS_H_
