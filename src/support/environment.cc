#include "support/environment.h"

#include <atomic>

namespace lw {

namespace {

// The one environment of the process, a part per atomic.
struct Parts {
  std::atomic<ClockFn> clock{nullptr};
  std::atomic<CommandHook> run{nullptr};
  std::atomic<void*> run_context{nullptr};
  std::atomic<ResolverFn> resolve{nullptr};
  std::atomic<std::FILE*> out{nullptr};
  std::atomic<std::FILE*> err{nullptr};
};

Parts parts;

}  // namespace

Environment current_environment() {
  Environment env;
  env.clock = parts.clock.load();
  env.run = parts.run.load();  // the hook before its context: see replace_environment
  env.run_context = parts.run_context.load();
  env.resolve = parts.resolve.load();
  env.out = parts.out.load();
  env.err = parts.err.load();
  return env;
}

Environment replace_environment(const Environment& next) {
  Environment previous;
  previous.clock = parts.clock.exchange(next.clock);
  // The context stored before the hook and read after it: a reader that
  // sees the new hook also sees its context.
  previous.run_context = parts.run_context.exchange(next.run_context);
  previous.run = parts.run.exchange(next.run);
  previous.resolve = parts.resolve.exchange(next.resolve);
  previous.out = parts.out.exchange(next.out);
  previous.err = parts.err.exchange(next.err);
  return previous;
}

}  // namespace lw
