// Fan-out: checks a run of items with at most N at once, one thread each.
//
// The monitoring cycle, the daily report and the own-network guard all run
// their checks through fan_out. For example, hosts 1..255 with 50 at once,
// each next host started as soon as any running check ends:
//
//   lw::FanOutJob job;
//   job.check = [](void* context, int index) { ... };  // on a thread of its own
//   job.context = &my_state;
//   const int handed = lw::fan_out(job, 1, 255, 50, lw::FanOutMode::kRolling);

#ifndef LINKWATCH_SUPPORT_FANOUT_H_
#define LINKWATCH_SUPPORT_FANOUT_H_

namespace lw {

// The most checks that run at once; a larger limit is taken as this.
constexpr int kMaxFanOutThreads = 64;

enum class FanOutMode {
  // Groups of `limit` items in order, each group joined before the next
  // starts; a stop request is looked at before each group.
  kBatches,
  // The next item in order starts as soon as any running check ends, at most
  // `limit` running; a stop request is looked at before each item.
  kRolling,
};

struct FanOutJob {
  // Checks item `index`. Runs on a thread of its own, several at once.
  void (*check)(void* context, int index) = nullptr;
  // Called on the calling thread, in place of `check`, for an item whose
  // thread cannot be had. Null: `check` runs on the calling thread instead.
  void (*no_thread)(void* context, int index) = nullptr;
  // Test seam: returns true to make the thread start of item `index` fail,
  // as if the system had no thread to give. Null: no injected faults.
  bool (*thread_fault)(void* context, int index) = nullptr;
  void* context = nullptr;
};

// Checks items first..last (inclusive, in that order) with at most `limit`
// (1..kMaxFanOutThreads; outside: the nearer bound) running at once, in the
// grouping `mode` says. Once platform::stop_requested() is true no further
// group (kBatches) or item (kRolling) starts; the checks already running are
// waited for. Returns when every started check has ended and its thread has
// been joined, with how many items, counted from `first`, were handed out
// (started, or given to the no-thread fallback); the rest were left because
// of a stop request. Prints and logs nothing. Requires job.check.
int fan_out(const FanOutJob& job, int first, int last, int limit, FanOutMode mode);

}  // namespace lw

#endif  // LINKWATCH_SUPPORT_FANOUT_H_
