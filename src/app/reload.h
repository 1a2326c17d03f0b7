// "-reload" and the reload of a running instance: both configuration files
// are read again between two cycles, without a restart.
//
// A reload takes the new files only when both pass the "-check" rules;
// otherwise the configuration in use stays and the "-check" lines go to the
// log. A service (host and port as written) that stays keeps its alert
// state, its addresses and its status; a new one starts fresh and is
// resolved; one no longer in the file is dropped. The run logs what changed
// in one line each:
//   "reload: services added: a:1, b:2"
//   "reload: services removed: c:3"
//   "reload: settings changed: interval, to, a:1 timeoutsec"
// or "reload: nothing changed".

#ifndef LINKWATCH_APP_RELOAD_H_
#define LINKWATCH_APP_RELOAD_H_

#include <string>
#include <utility>
#include <vector>

namespace lw {

struct MonitorRun;

// The settings lines of both files, as (label, value) in file order: a
// global key of the host file by its name (its last line wins); a key of a
// host block as "host:port key"; a key of the notification file by its
// name (its last line wins), a key of its n-th web hook block as
// "webhook<n> key".
// `host` and `port` lines name services and are no settings.
using SettingLines = std::vector<std::pair<std::string, std::string>>;

// Reads the setting lines of both files in the working folder.
SettingLines read_setting_lines();

// What a reload changed, each list comma-separated ("" when empty).
struct ReloadChanges {
  std::string added;    // services "host:port" new in the host file
  std::string removed;  // services no longer in it
  std::string changed;  // labels whose value differs, appeared or went
};

// The "-check" rules on both files in the working folder. True when both
// pass. Every problem line they print goes to `lines` instead, prefixed by
// its file's name where the line does not name it ("Info:" lines are left
// out).
bool check_both_files(std::vector<std::string>* lines);

// The reload of a running instance, called between cycles on the run's
// thread: checks both files, and when they pass reads them into the run's
// tables and settings (and the delivery's copy of the notification
// settings), keeps the state of staying services and logs the changes;
// when they fail logs "reload refused: ..." and the check lines and changes
// nothing. `*loaded` holds the setting lines of the configuration in use
// and is updated. Returns true when the new files were taken.
bool reload_run(MonitorRun& run, SettingLines* loaded, ReloadChanges* changes);

// "-reload": checks both files (printing the lines and returning 1 when
// they fail, without a signal), then asks the running instance to reload
// (the service through the service manager) and prints what it logged of
// the reload, or that it was asked when it logged nothing within a few
// seconds. With no instance running it says so and returns 1. Never starts
// a monitoring run. 0 when the request was delivered and not refused.
int reload_command();

}  // namespace lw

#endif  // LINKWATCH_APP_RELOAD_H_
