// The one monitoring instance per working directory: its pid file
// "linkwatch.pid" and the "-status", "-stop" and "-start" commands.
//
// A running instance holds an exclusive lock on the pid file for its whole
// life, so the check for another instance and the write of the own pid are
// one step. That lock, not the program's name, tells a live instance: a pid
// recorded in the file counts only while another process holds the lock and
// the pid names a live process. A copy of the program under another name
// therefore sees (and stops) the instance, and a recorded id that was reused
// by an unrelated program is neither reported nor ended. "-status" and
// "-stop" take the lock for a moment when it is free; a starting instance
// waits briefly for such a check instead of giving up.

#ifndef LINKWATCH_APP_INSTANCE_H_
#define LINKWATCH_APP_INSTANCE_H_

#include <cstdint>

#include "platform/platform.h"

namespace lw {

constexpr const char kPidFileName[] = "linkwatch.pid";

// The id recorded in the pid file: the first unsigned decimal number after
// optional white space. 0 when the file is missing, unreadable or does not
// start with a number (or the number does not fit 32 bits).
uint32_t read_pid_file();

// "-status": prints whether an instance runs. 0 running, 1 not. A pid file
// that records an id while nobody holds its lock is stale and is deleted
// (under the lock, so a starting instance's file is never removed).
int show_status();

// True when a monitoring instance holds the pid file's lock under its
// recorded id (what "-status" reports as running). Deletes nothing.
bool instance_running();

// "-stop": ends the instance (the process that holds the pid file's lock
// under the recorded id) and deletes its pid file. The service instance is
// asked to stop through the service manager instead (stop_service_instance). 0 stopped, 1
// otherwise: nothing recorded, or the recorded id is no running instance or cannot be ended (the
// pid file then stays).
int stop_instance();

// The id of the running instance (the process that holds the pid file's
// lock under the recorded id); 0 when none runs or it cannot be told.
// Deletes nothing.
uint32_t running_instance_pid();

// "-start": starts this program again with "-s", detached and hidden, in the
// current working directory. 0 when the process was created, 1 otherwise;
// every refusal is printed and logged ("linkwatch not started: ...").
int start_background();

// The single-instance claim of a monitoring run.
struct InstanceClaim {
  platform::FileLock lock;
  bool held = false;
};

// Locks the pid file and writes the own id into it. A lock held elsewhere
// is tried again for a moment (a "-status" check may hold it); when another
// instance still holds it, writes "linkwatch already running pid %lu" to standard
// error; when the file cannot be locked or written, "Cannot write pid file
// linkwatch.pid"; each refusal is logged as "linkwatch not started: ...".
// A record of another process found in the file (one that ended without an
// orderly stop) is logged as "the previous run (pid N) did not stop in
// order; alerts waiting then may have been lost". Returns true when the
// claim is held.
bool claim_instance(InstanceClaim* claim);

// Ends a claim: deletes the pid file when `delete_pid_file`, else empties
// it (an empty record is no instance, and no run that ended out of order),
// then releases the lock. Does nothing when the claim is not held.
void release_instance(InstanceClaim* claim, bool delete_pid_file);

}  // namespace lw

#endif  // LINKWATCH_APP_INSTANCE_H_
