// Running external programs (curl, ping) hidden, with their exit code and,
// for run_command_capture, their output. When the environment
// (support/environment) has a command hook, both functions hand the command
// to it instead of starting a program.
//
// Programs are started directly with an argument vector: no command
// interpreter sees the arguments, so setting values reach the program exactly
// as written. A child still running after the time limit, or
// platform::kStopGraceMs after a stop request, is ended together with
// everything it started, and the result is -1.

#ifndef LINKWATCH_SUPPORT_RUNNER_H_
#define LINKWATCH_SUPPORT_RUNNER_H_

#include <cstddef>
#include <cstdint>

namespace lw {

// Capacity the caller's capture buffer must have, and the most text stored.
constexpr size_t kCaptureBufferSize = 8192;
constexpr size_t kCaptureMaxText = 8190;
// Bytes taken from the pipe per read; each read is stored whole or dropped.
constexpr size_t kCaptureChunk = 511;
// Default time limit of one external program.
constexpr uint32_t kCommandTimeLimitMs = 120000;

// How a run ended. Both failures give the result -1 where a text shows the
// code; the log tells them apart.
enum class RunStatus {
  kExited,       // the program ran and ended by itself; the result is its exit code
  kStartFailed,  // no program was started (not found, no argv, no resources)
  kTimedOut,     // the time limit ended it with everything it started
  kStopped,      // a stop request ended it, after a short grace, with everything it started
};

struct Command {
  // Program and arguments, ending with nullptr; argv[0] is found on PATH.
  const char* const* argv = nullptr;
  // Text fed to the program's standard input (nullptr: none).
  const char* input = nullptr;
  // Send standard output and standard error to the null device.
  bool discard_output = false;
};

// Runs `command` and waits for it. Returns its exit code; 1 when the code
// cannot be read; -1 when argv is null or empty, the program cannot be
// started, or the time limit or a stop request ended it.
// `status` (may be null) receives how the run ended.
int run_command(const Command& command, uint32_t time_limit_ms = kCommandTimeLimitMs,
                RunStatus* status = nullptr);

// Like run_command, with standard output and standard error joined in one
// pipe and collected into `out` (at least kCaptureBufferSize bytes): reads of
// at most 511 bytes are stored whole while the text stays within 8,190
// characters, later reads that do not fit are dropped, and the pipe is always
// drained. `out` holds terminated text afterwards, "" on every failure; -1
// also when `out` is null.
int run_command_capture(const Command& command, char* out,
                        uint32_t time_limit_ms = kCommandTimeLimitMs, RunStatus* status = nullptr);

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_RUNNER_H_
