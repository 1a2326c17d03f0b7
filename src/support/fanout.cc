#include "support/fanout.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "support/start_thread.h"

namespace lw {

namespace {

// The threads of one fan_out. Only the calling thread starts and joins them
// and counts `running`; a check that ends puts its place on `finished`.
struct Pool {
  std::thread threads[kMaxFanOutThreads];
  bool busy[kMaxFanOutThreads] = {};
  int running = 0;  // busy places, ended or not

  std::mutex lock;  // guards finished and finished_count
  std::condition_variable ended;
  int finished[kMaxFanOutThreads] = {};  // places whose check ended, not yet joined
  int finished_count = 0;
};

void run_check(Pool* pool, const FanOutJob* job, int index, int place) {
  job->check(job->context, index);
  std::lock_guard<std::mutex> guard(pool->lock);
  pool->finished[pool->finished_count++] = place;
  pool->ended.notify_one();
}

// Waits until at least one running check has ended, then joins the threads
// of all that have and frees their places. Requires pool.running > 0.
void join_ended(Pool& pool) {
  int places[kMaxFanOutThreads];
  int count = 0;
  {
    std::unique_lock<std::mutex> guard(pool.lock);
    pool.ended.wait(guard, [&pool] { return pool.finished_count > 0; });
    count = pool.finished_count;
    for (int i = 0; i < count; ++i) places[i] = pool.finished[i];
    pool.finished_count = 0;
  }
  for (int i = 0; i < count; ++i) {
    pool.threads[places[i]].join();
    pool.busy[places[i]] = false;
    --pool.running;
  }
}

void join_all(Pool& pool) {
  while (pool.running > 0) join_ended(pool);
}

// Starts the check of `index` on a free place; false when no thread could
// be had (start_thread).
bool start_check(Pool& pool, const FanOutJob& job, int index) {
  if (job.thread_fault && job.thread_fault(job.context, index)) return false;
  int place = 0;
  while (pool.busy[place]) ++place;  // running < limit <= kMaxFanOutThreads
  if (!start_thread(&pool.threads[place], run_check, &pool, &job, index, place)) return false;
  pool.busy[place] = true;
  ++pool.running;
  return true;
}

}  // namespace

int fan_out(const FanOutJob& job, int first, int last, int limit, FanOutMode mode) {
  if (limit < 1) limit = 1;
  if (limit > kMaxFanOutThreads) limit = kMaxFanOutThreads;
  Pool pool;
  int handed = 0;
  for (int index = first; index <= last; ++index) {
    if (mode == FanOutMode::kRolling) {
      if (pool.running >= limit) join_ended(pool);
    } else if ((index - first) % limit == 0) {
      join_all(pool);  // the previous group ends before the next starts
    }
    const bool may_stop = mode == FanOutMode::kRolling || (index - first) % limit == 0;
    if (may_stop && platform::stop_requested()) break;
    if (!start_check(pool, job, index)) {
      if (job.no_thread) {
        job.no_thread(job.context, index);
      } else {
        job.check(job.context, index);
      }
    }
    ++handed;
  }
  join_all(pool);
  return handed;
}

}  // namespace lw
