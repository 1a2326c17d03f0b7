#include "support/fanout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_env.h"

namespace lw {
namespace {

constexpr int kItems = 80;  // indices 0..kItems-1
constexpr int kNoStop = -2;

struct Case {
  const char* name;
  int first, last, limit;
  FanOutMode mode;
  std::set<int> slow;    // wait (up to 10 s) until every other checked item has ended
  std::set<int> faults;  // their thread cannot be had
  bool fallback;         // a no_thread function is given
  int stop_at;           // a stop is requested just before this item starts; -1: before all
  int handed;
};

// What the checks of one case did, stamped in one sequence.
struct Record {
  const Case* c = nullptr;
  std::thread::id caller;
  std::mutex lock;
  int seq = 0;
  int start_seq[kItems] = {}, end_seq[kItems] = {};
  int checks[kItems] = {}, fallbacks[kItems] = {};
  bool on_caller[kItems] = {};
  std::vector<int> start_order;  // as the thread starts were asked for
  int running = 0, most_running = 0;
  std::atomic<int> fast_ended{0};
  int fast_total = 0;
  std::atomic<bool> gate_timed_out{false};
};

void check(void* context, int index) {
  Record& r = *static_cast<Record*>(context);
  std::unique_lock<std::mutex> lock(r.lock);
  r.start_seq[index] = ++r.seq;
  r.most_running = std::max(r.most_running, ++r.running);
  ++r.checks[index];
  r.on_caller[index] = std::this_thread::get_id() == r.caller;
  lock.unlock();
  if (r.c->slow.count(index) == 0) {
    platform::sleep_ms(5);  // long enough for the checks of a group to overlap
    ++r.fast_ended;
  } else if (!test::eventually([&r] { return r.fast_ended == r.fast_total; }, 10000)) {
    r.gate_timed_out = true;
  }
  lock.lock();
  r.end_seq[index] = ++r.seq;
  --r.running;
}

void no_thread(void* context, int index) {
  Record& r = *static_cast<Record*>(context);
  std::lock_guard<std::mutex> lock(r.lock);
  ++r.fallbacks[index];
}

bool thread_fault(void* context, int index) {
  Record& r = *static_cast<Record*>(context);
  r.start_order.push_back(index);
  if (index == r.c->stop_at) platform::request_stop();
  return r.c->faults.count(index) != 0;
}

// Items are handed out in order, never more than the limit at once; batches
// start only when the previous one has ended, rolling checks pass a slow
// one; a missing thread goes to the fallback (or runs on the calling
// thread); a stop lets the running batch (batches) or check (rolling) end
// and starts nothing after it.
TEST(FanOutTest, ChecksEveryItemWithinTheLimitInTheGroupingAsked) {
  using M = FanOutMode;
  const Case cases[] = {
      {"one group", 1, 3, 5, M::kBatches, {}, {}, false, kNoStop, 3},
      {"batches of two", 1, 7, 2, M::kBatches, {}, {}, false, kNoStop, 7},
      {"one at a time", 0, 3, 1, M::kBatches, {}, {}, false, kNoStop, 4},
      {"limit below 1 is 1", 1, 3, 0, M::kRolling, {}, {}, false, kNoStop, 3},
      {"limit above the most", 0, 69, 100, M::kRolling, {}, {}, false, kNoStop, 70},
      {"empty range", 1, 0, 3, M::kRolling, {}, {}, false, kNoStop, 0},
      {"rolling past a slow first", 1, 8, 2, M::kRolling, {1}, {}, false, kNoStop, 8},
      {"rolling past two slow", 0, 11, 3, M::kRolling, {0, 4}, {}, false, kNoStop, 12},
      {"no thread: fallback", 1, 5, 2, M::kBatches, {}, {2, 5}, true, kNoStop, 5},
      {"no thread: on the caller", 1, 5, 2, M::kRolling, {}, {1, 3}, false, kNoStop, 5},
      {"no thread, slow one rolls on", 1, 6, 2, M::kRolling, {1}, {4}, true, kNoStop, 6},
      {"stop ends after its batch", 1, 8, 3, M::kBatches, {}, {}, false, 5, 6},
      {"stop in the first batch", 1, 8, 3, M::kBatches, {}, {}, false, 1, 3},
      {"stop ends rolling at once", 1, 8, 3, M::kRolling, {}, {}, false, 5, 5},
      {"stop before anything", 1, 8, 3, M::kRolling, {}, {}, false, -1, 0},
      {"stop before any batch", 1, 8, 3, M::kBatches, {}, {}, false, -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Record r;
    r.c = &c;
    r.caller = std::this_thread::get_id();
    for (int i = c.first; i < c.first + c.handed; ++i) {
      if (!c.slow.count(i) && !(c.fallback && c.faults.count(i))) ++r.fast_total;
    }
    const FanOutJob job{check, c.fallback ? no_thread : nullptr, thread_fault, &r};
    if (c.stop_at == -1) platform::request_stop();
    const int handed = fan_out(job, c.first, c.last, c.limit, c.mode);
    platform::clear_stop_request();

    EXPECT_EQ(handed, c.handed);
    std::vector<int> in_order;
    for (int i = c.first; i < c.first + c.handed; ++i) in_order.push_back(i);
    EXPECT_EQ(r.start_order, in_order);
    const int limit = std::clamp(c.limit, 1, kMaxFanOutThreads);
    EXPECT_LE(r.most_running, limit);
    // A slow check ends only after the others: no time-out, no hold-up.
    EXPECT_FALSE(r.gate_timed_out) << "a slow check held up the others";
    for (int i = 0; i < kItems; ++i) {
      const bool handed_out = i >= c.first && i < c.first + c.handed;
      const bool faulted = handed_out && c.faults.count(i) != 0;
      EXPECT_EQ(r.fallbacks[i], faulted && c.fallback ? 1 : 0) << i;
      EXPECT_EQ(r.checks[i], handed_out && !(faulted && c.fallback) ? 1 : 0) << i;
      EXPECT_EQ(r.on_caller[i], faulted && !c.fallback) << i;
    }
    if (c.mode == FanOutMode::kBatches) {
      for (int i = c.first; i < c.first + c.handed; ++i) {
        for (int j = c.first; j < i; ++j) {
          const bool earlier_batch = (j - c.first) / limit < (i - c.first) / limit;
          if (earlier_batch && r.checks[i] && r.checks[j]) {
            EXPECT_GT(r.start_seq[i], r.end_seq[j]) << i << " started before " << j << " ended";
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace lw
