// What the POSIX files of the platform share, for src/platform/posix only.

#ifndef LINKWATCH_PLATFORM_POSIX_INTERNAL_H_
#define LINKWATCH_PLATFORM_POSIX_INTERNAL_H_

#include <sys/types.h>

#include <atomic>
#include <climits>
#include <cstdint>

#include "platform/internal.h"
#include "platform/platform.h"

namespace lw::platform {

// ---- Time (system.cc) --------------------------------------------------------

// Largest millisecond wait handed to poll() in one go.
constexpr uint64_t kMaxPollMs = INT_MAX;

// Milliseconds left until `deadline` (monotonic), clamped for poll().
int poll_ms_until(uint64_t deadline);

// ---- Processes (process.cc) ----------------------------------------------------

// A process id as the kernel's pid_t, or 0 when it cannot name one process:
// 0 and values beyond the pid_t range would address process groups or every
// process (kill(0, ...), kill(-1, ...)).
pid_t as_pid(uint32_t pid);

// A pidfd refers to one process for good: it cannot be confused with a
// later process of the same id, and it becomes readable when the process
// ends. -1 when the kernel has none (older than 5.3).
int open_pidfd(pid_t pid);

// True when `path` is a regular file this process may execute.
bool is_program_file(const char* path);

// Reads the exec-report pipe of a child just forked until end of file (the
// close-on-exec end went away: the program was executed) or the errno the
// child wrote there when its exec failed; closes `fd`. True when executed.
bool program_was_executed(int fd);

// ---- Stop and reload requests (signal.cc) --------------------------------------

// The stop request itself: set by request_stop, cleared by
// clear_stop_request.
extern std::atomic<bool> stop_flag;

// Creates the stop pipe once, which a stop request makes readable, and
// returns both its ends packed for stop_read_fd; -1 when none could be made.
// Async-signal-safe.
int64_t ensure_stop_pipe();
// The read end of the packed ends, or -1. It stays readable once a stop is
// requested, until clear_stop_request().
int stop_read_fd(int64_t packed);

// Longest poll() while no stop pipe exists, so that a stop is still seen.
constexpr int kStopCheckMs = 100;

// The handler that install_stop_handler gives the hang-up signal.
void on_hangup_signal(int);

// Writing into a pipe whose reader has gone must give EPIPE, not end us.
void ignore_sigpipe_once();

// ---- Child processes (child.cc) ------------------------------------------------

// A started child and this process's ends of its pipes (-1: none).
struct Child {
  pid_t pid = -1;
  int pidfd = -1;   // readable once the child has ended; -1 without pidfds
  int in_fd = -1;   // writes the child's standard input
  int out_fd = -1;  // reads its standard output and standard error
};

}  // namespace lw::platform

#endif  // LINKWATCH_PLATFORM_POSIX_INTERNAL_H_
