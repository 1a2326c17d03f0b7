// The one monitoring instance per working directory: its pid file
// "linkwatch.pid" and the "-status", "-stop" and "-start" commands.
//
// A running instance holds an exclusive lock on the pid file for its whole
// life, so the check for another instance and the write of the own pid are
// one step. A pid recorded in the file counts as our instance only while that
// process runs the same program (same executable file name as ours): after
// the id has been reused by an unrelated program, "-status" does not report
// it and "-stop" does not end it.

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

// True when process `pid` runs and its executable has the same file name as
// this program's (compared without regard to letter case). False for 0.
bool is_own_instance(uint32_t pid);

// "-status": prints whether the recorded instance runs. 0 running, 1 not;
// a recorded id that is not a running instance has its pid file deleted.
int show_status();

// "-stop": ends the recorded instance and deletes the pid file. 0 stopped,
// 1 otherwise (nothing recorded, or the id is not a running instance or
// cannot be ended; the pid file then stays).
int stop_instance();

// "-start": starts this program again with "-s", detached and hidden, in the
// current working directory. 0 when the process was created, 1 otherwise.
int start_background();

// The single-instance claim of a monitoring run.
struct InstanceClaim {
  platform::FileLock lock;
  bool held = false;
};

// Locks the pid file and writes the own id into it. When another instance
// holds the lock, writes "linkwatch already running pid %lu" to standard
// error; when the file cannot be locked or written, "Cannot write pid file
// linkwatch.pid". Returns true when the claim is held.
bool claim_instance(InstanceClaim* claim);

// Ends a claim: deletes the pid file when `delete_pid_file`, then releases
// the lock. Does nothing when the claim is not held.
void release_instance(InstanceClaim* claim, bool delete_pid_file);

}  // namespace lw

#endif  // LINKWATCH_APP_INSTANCE_H_
