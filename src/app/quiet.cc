#include "app/quiet.h"

#include <cstring>
#include <memory>
#include <string>

#include "app/instance.h"
#include "app/status.h"
#include "config/maintenance.h"
#include "support/clock.h"
#include "support/output.h"

namespace lw {

void refresh_mutes(QuietState* state, int64_t now) {
  MuteList before = state->mutes;
  read_mute_file(&state->mutes);
  for (int i = 0; i < before.count; ++i) {
    const Mute& m = before.mute[i];
    if (m.until > state->read_at && m.until <= now) {
      char end[32];
      format_local_time(m.until, "%Y-%m-%d %H:%M", end, sizeof end);
      log_event("mute of %s ended at %s", m.target.c_str(), end);
    }
  }
  state->read_at = now;
}

const Mute* active_mute(const QuietState& state, const HostConfig& host, int64_t now) {
  const Mute* found = nullptr;
  for (int i = 0; i < state.mutes.count; ++i) {
    const Mute& m = state.mutes.mute[i];
    if (m.until > now && mute_covers(m, host) && (!found || m.until > found->until)) found = &m;
  }
  return found;
}

void mark_silenced_hosts(HostTable* table, const MonitorSettings& settings, const QuietState& state,
                         int64_t now) {
  LocalMoment moment;
  const bool known = local_moment(now, &moment);
  const bool global =
      known && any_window_holds(settings.maintenance.window, settings.maintenance.count, moment);
  for (int i = 1; i <= table->host_count && i <= kMaxHosts; ++i) {
    HostEntry& host = table->hosts[i];
    const bool window = global || (known && any_window_holds(host.maintenance.window,
                                                             host.maintenance.count, moment));
    const Mute* mute = active_mute(state, host, now);
    host.muted_until = mute ? mute->until : 0;
    const int32_t silenced = window || mute ? 1 : 0;
    if (silenced != host.silenced) {
      log_event("maintenance of %s:%s %s", host.host.c_str(), host.port.c_str(),
                silenced ? "begins: no alert is sent" : "ends");
    }
    host.silenced = silenced;
  }
}

void print_active_mutes(int64_t now) {
  auto list = std::make_unique<MuteList>();
  read_mute_file(list.get());
  bool any = false;
  for (int i = 0; i < list->count; ++i) {
    const Mute& m = list->mute[i];
    if (m.until <= now) continue;
    if (!any) plain_print("\nMuted:\n");
    any = true;
    char end[32];
    format_local_time(m.until, "%Y-%m-%d %H:%M", end, sizeof end);
    plain_print("  %s until %s%s%s%s\n", m.target.c_str(), end, m.reason.empty() ? "" : " (",
                m.reason.c_str(), m.reason.empty() ? "" : ")");
  }
}

namespace {

// Writes `list` as the mute file.
bool write_mutes(const MuteList& list) {
  std::string text = "# linkwatch mutes: target, end (seconds since the epoch), reason\n";
  FixedText<kMuteLineSize> line;
  for (int i = 0; i < list.count; ++i) {
    format_mute_line(list.mute[i], &line);
    text.append(line.c_str()).append("\n");
  }
  if (write_file_atomically(kMuteFileName, text, true)) return true;
  print_and_log("Unable to write %s", kMuteFileName);
  return false;
}

// Drops from `list` the mutes ended at `now` and those of `target` ("all":
// every one); returns how many of `target` were dropped.
int drop_mutes(MuteList* list, const char* target, int64_t now) {
  int kept = 0, dropped = 0;
  for (int i = 0; i < list->count; ++i) {
    const Mute& m = list->mute[i];
    const bool of_target = target && (std::strcmp(target, "all") == 0 || m.target == target);
    if (of_target && m.until > now) ++dropped;
    if (!of_target && m.until > now) list->mute[kept++] = m;
  }
  list->count = kept;
  return dropped;
}

void say_if_no_instance() {
  if (!instance_running()) {
    plain_print("linkwatch not running: the next start reads %s\n", kMuteFileName);
  }
}

}  // namespace

int mute_command(const char* target, const char* duration, const char* reason) {
  if (!target || !mute_target_usable(target) || std::strlen(target) >= kMuteTargetSize) {
    plain_print("-mute needs a target: host:port, host or all\n");
    return 1;
  }
  const int64_t seconds = duration ? parse_mute_duration(duration) : -1;
  if (seconds < 0) {
    plain_print("-mute needs a duration such as 90m, 2h or 1d (1 minute to 366 days)\n");
    return 1;
  }
  const int64_t now = now_seconds();
  auto list = std::make_unique<MuteList>();
  read_mute_file(list.get());
  drop_mutes(list.get(), target, now);
  if (list->count == kMaxMutes) {
    plain_print("More than %d mutes: -unmute some first\n", kMaxMutes);
    return 1;
  }
  Mute& mute = list->mute[list->count++];
  mute.target.assign(target);
  mute.until = now + seconds;
  // The reason is one line of the file: line ends become blanks.
  mute.reason.assign(reason ? reason : "");
  for (char* c = mute.reason.data(); *c; ++c) {
    if (*c == '\r' || *c == '\n' || *c == '\t') *c = ' ';
  }
  if (!write_mutes(*list)) return 1;
  char end[32];
  format_local_time(mute.until, "%Y-%m-%d %H:%M", end, sizeof end);
  print_and_log("muted %s until %s%s%s", target, end, mute.reason.empty() ? "" : ": ",
                mute.reason.c_str());
  say_if_no_instance();
  return 0;
}

int unmute_command(const char* target) {
  if (!target || !mute_target_usable(target)) {
    plain_print("-unmute needs a target: host:port, host or all\n");
    return 1;
  }
  auto list = std::make_unique<MuteList>();
  read_mute_file(list.get());
  const int dropped = drop_mutes(list.get(), target, now_seconds());
  if (dropped == 0) {
    plain_print("No mute of %s\n", target);
    return 1;
  }
  if (!write_mutes(*list)) return 1;
  print_and_log("unmuted %s", target);
  say_if_no_instance();
  return 0;
}

}  // namespace lw
