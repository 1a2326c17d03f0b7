// Planned quiet: maintenance windows of the host file and mutes of the
// mute file, applied to the hosts before every cycle, and the "-mute" and
// "-unmute" commands that write the mute file.

#ifndef LINKWATCH_APP_QUIET_H_
#define LINKWATCH_APP_QUIET_H_

#include <cstdint>

#include "config/host_config.h"
#include "config/mute_file.h"

namespace lw {

// What the run knows of the mute file between cycles.
struct QuietState {
  MuteList mutes;
  // The time of the previous refresh: mutes that ended since are logged once.
  int64_t read_at = 0;
};

// Reads the mute file at `now` into `state` (no file: no mute), logging
// "mute of <target> ended" for each mute whose end passed since the
// previous refresh.
void refresh_mutes(QuietState* state, int64_t now);

// The mute that holds for `host` at `now` with the latest end, or null.
const Mute* active_mute(const QuietState& state, const HostConfig& host, int64_t now);

// Sets `silenced` of hosts 1..host_count for `now`: 1 while a global or the
// host's own maintenance window holds, or an active mute covers it. Logs
// each host whose silence begins or ends ("maintenance of h:p begins/ends").
void mark_silenced_hosts(HostTable* table, const MonitorSettings& settings, const QuietState& state,
                         int64_t now);

// For "-status": "Muted:" and one line per mute of the mute file still
// active at `now` ("  web01:443 until 2026-05-01 14:30 (deploy)"); nothing
// when there is none.
void print_active_mutes(int64_t now);

// "-mute <target> <duration> [reason]": adds the mute (replacing one of the
// same target), drops ended ones, writes the mute file atomically and logs
// the mute. Says that no instance runs when none does (the next start reads
// the file). 0 when written, 1 for a bad target or duration or a failed write.
int mute_command(const char* target, const char* duration, const char* reason);

// "-unmute <target>": removes the mutes of `target` ("all": every mute),
// writes the file and logs it. 0 when written, 1 for a bad target, no such
// mute or a failed write.
int unmute_command(const char* target);

}  // namespace lw

#endif  // LINKWATCH_APP_QUIET_H_
