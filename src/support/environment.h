// The replaceable parts of the process's surroundings: the clock, the
// runner of external programs, the name resolver and the output streams.
//
// There is one environment per process. Each part left null is the real one
// (a default-constructed Environment is the real environment); tests put
// stand-ins in its place (tests/support/scoped_environment.h). Every part is
// read and replaced atomically, so a thread that reads a part while another
// replaces it sees either the old or the new one, never a torn value.

#ifndef LINKWATCH_SUPPORT_ENVIRONMENT_H_
#define LINKWATCH_SUPPORT_ENVIRONMENT_H_

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

namespace lw {

struct Command;

// Seconds since the epoch.
using ClockFn = int64_t (*)();

// Answers a command instead of starting a program. `out` is the capture
// buffer (null for run_command, already "" for run_command_capture). The
// answer counts as kExited, or as kStartFailed when it is -1.
using CommandHook = int (*)(void* context, const Command& command, char* out);

// Resolves `host` into at most `max` addresses of `family` in `out`; returns
// how many, 0 or less when nothing resolves (like platform::resolve_host).
using ResolverFn = int (*)(const char* host, platform::AddressFamily family, platform::Address* out,
                           int max);

struct Environment {
  ClockFn clock = nullptr;       // null: the system's time
  CommandHook run = nullptr;     // null: programs are started
  void* run_context = nullptr;   // handed to `run`
  ResolverFn resolve = nullptr;  // null: platform::resolve_host
  std::FILE* out = nullptr;      // null: standard output
  std::FILE* err = nullptr;      // null: standard error
};

// The process's current environment, as stored (null parts stay null).
Environment current_environment();

// Makes `next` the process's environment and returns the previous one.
// `run` and `run_context` change together only for a reader that does not
// run a command meanwhile: replace the runner while no command runs.
Environment replace_environment(const Environment& next);

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_ENVIRONMENT_H_
