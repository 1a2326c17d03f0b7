// Alert delivery off the probing path. Every channel of the channel table
// that is configured has a queue and a sender thread of its own, so a
// channel that hangs or waits to retry never delays another.
//
// Order is kept per service, not per channel: a message waits only behind
// messages of its channel that are still undelivered and concern one of its
// services (a digest concerns all of its services), so a DOWN and its
// RECOVERY arrive in that order while messages about other services go on.
//
// With retry_minutes set, a send that failed for a temporary reason keeps
// its message waiting. The channel then backs off: waiting messages are
// tried again kRetryFirstWaitSeconds after the END of the failed try,
// doubled after every further failure up to kRetryLongestWaitSeconds (or as
// the receiver's Retry-After says, during which the channel sends nothing at
// all), until retry_minutes after the message's event. A delivered send ends
// the back-off: the server is back, so every waiting message is due at once.
// A message sent after waiting (behind a failed try, or behind another
// message of its service) says so in its texts ("(delayed; event at ...)").
//
// The threads are optional: run_due() does the due work of every channel on
// the calling thread, so tests drive delivery by hand with a clock they set.

#ifndef LINKWATCH_NOTIFY_DELIVERY_H_
#define LINKWATCH_NOTIFY_DELIVERY_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "config/notify_config.h"
#include "notify/channel.h"
#include "notify/dispatch.h"
#include "notify/outcome.h"

namespace lw {

// Messages a channel holds at once; beyond this its oldest is dropped.
constexpr size_t kMaxQueuedMessages = 1024;
// Of those, messages that wait (after a failed try, or behind one of their
// service); beyond this the oldest waiting one is dropped.
constexpr size_t kMaxPendingPerChannel = 100;
// Waits of a channel's back-off: the first, doubled after every further
// failed try up to the last.
constexpr int64_t kRetryFirstWaitSeconds = 60;
constexpr int64_t kRetryLongestWaitSeconds = 15 * 60;

// One send of one channel: fills `outcome`. The default is the channel row's
// send; tests put a recorder in its place.
using ChannelSend = void (*)(void* context, Channel channel, const NotifySettings& settings,
                             const QueuedMessage& message, SendOutcome* outcome);

// What the sends of one channel came to so far, for the status writer.
struct ChannelRecord {
  int64_t last_time = 0;        // when the last send ended; 0: none yet
  bool last_delivered = false;  // what the last send came to
  FixedText<96> last_detail;    // its codes, as in the log ("SMTP 250", "curl 7 (...)")
  uint64_t failures = 0;        // sends that were tried and not delivered
};

// One message still held by the delivery and the channels that hold it
// (bit c: kChannelRows[c]).
struct HeldMessage {
  std::shared_ptr<const QueuedMessage> message;
  uint32_t channels = 0;
};

class Delivery {
 public:
  // `settings` must outlive the Delivery and stay unchanged while it runs;
  // replace_settings puts a copy of others in its place.
  explicit Delivery(const NotifySettings* settings);
  ~Delivery();  // stops the threads (as stop(), without the log lines)
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // REQUIRES: before start(), or with the threads not started.
  void set_send_for_testing(ChannelSend send, void* context);

  // Copies the message into the queue of every channel that takes it
  // (channel_takes); never waits for a send. Safe from any thread.
  void post(const NotifyMessage& message, int64_t event_time);

  // Starts a sender thread for every configured channel. False when a
  // thread could not be had (that channel's messages then wait for
  // run_due()).
  bool start();

  // Puts a copy of `next` in the place of the settings (a reload of the
  // notification file): every send that starts from now on uses it, a send
  // in flight ends with the settings it started with. Messages held for a
  // channel that `next` leaves unconfigured are logged as not delivered and
  // dropped; a channel configured now gets its sender thread when the
  // threads run (`threads`, as after start()). Safe while the threads run;
  // called by the owner only, never concurrently with start() or stop().
  // False when a thread could not be had (as start()).
  bool replace_settings(const NotifySettings& next, bool threads);

  // Ends delivery: no send starts after this (nor after a stop request of
  // the process, platform::request_stop); wakes and joins the threads. A
  // send in flight is not cut here (the command runner ends it after its
  // grace once a stop is requested). Every message still held is logged as
  // not delivered, one line per channel and message; with `kept` they are
  // handed there instead (as held_messages()) and logged as kept for the
  // next start. Idempotent.
  void stop(std::vector<HeldMessage>* kept = nullptr);

  // Sends, on the calling thread, every message of every channel that is due
  // now (now_seconds(), which the send may move on). Returns the earliest
  // time a waiting message falls due, or 0 when none waits. Sends nothing
  // once stop() has begun or a stop is requested.
  // REQUIRES: the threads not started.
  int64_t run_due();

  // Every message still held (waiting or not tried yet), in the order
  // posted, with the channels that hold it. Safe from any thread.
  std::vector<HeldMessage> held_messages() const;
  // Grows whenever the held messages change (a post, a delivery, a give-up).
  uint64_t change_count() const { return changes_.load(); }

  // Takes back a message held before a restart into the queues of
  // `channels` (bits as HeldMessage) that are configured and take its kind.
  // It goes as a late message ("(delayed; event at ...)") and, like every
  // waiting message, is given up once retry_minutes after its event are
  // over. False when no channel took it. Safe from any thread.
  bool restore(const QueuedMessage& message, uint32_t channels);

  // Messages not tried yet, over all channels; messages of `channel` that
  // wait (for tests, benchmarks and the stop summary).
  size_t queued() const;
  size_t pending(Channel channel) const;

  // The record of `channel`'s sends made by this Delivery. Safe from any
  // thread.
  ChannelRecord channel_record(Channel channel) const;

 private:
  struct Entry {
    std::shared_ptr<const QueuedMessage> message;
    int tries = 0;        // failed tries so far
    bool held = false;    // passed over behind an undelivered message of its service
    bool restored = false;  // taken back after a restart: it is late already
    bool waits() const { return tries > 0 || held || restored; }
  };
  // One channel's queue and sender.
  struct Lane {
    Channel channel = Channel::kEmail;
    std::deque<Entry> entries;    // in the order posted
    int failures_in_row = 0;      // failed tries since the last delivered send
    int64_t retry_at = 0;         // waiting entries are not tried before this
    int64_t quiet_until = 0;      // nothing is sent before this (Retry-After)
    ChannelRecord record;
    std::condition_variable wake_cv;
    bool wake = false;
    std::thread thread;
  };
  // What a lane should do next.
  struct Choice {
    std::shared_ptr<const QueuedMessage> message;  // null: nothing to send now
    bool delayed = false;
    int64_t due = 0;  // with no message: when something falls due; 0: never
  };

  bool sending_allowed() const;
  // held_messages(). REQUIRES: mutex_ held.
  std::vector<HeldMessage> held_locked() const;
  void lane_main(Lane* lane);
  // Picks the next message of `lane` at `now` and gives up those whose
  // retry time is over. REQUIRES: mutex_ held.
  Choice choose(Lane* lane, int64_t now);
  // Sends the chosen message once, then settles it. REQUIRES: mutex_ held
  // by `lock`, which is released during the send.
  void send_and_settle(Lane* lane, const Choice& choice, std::unique_lock<std::mutex>* lock);
  // Books the outcome of a send of `message` that ended at `end`.
  // REQUIRES: mutex_ held.
  void settle(Lane* lane, const std::shared_ptr<const QueuedMessage>& message,
              const SendOutcome& outcome, int64_t end);
  // Drops waiting entries beyond kMaxPendingPerChannel; true when it
  // dropped any. REQUIRES: mutex_ held.
  bool bound_waiting(Lane* lane);
  void log_not_delivered(Channel channel, const char* why, const QueuedMessage& message);

  // The settings in use: the constructor's (not owned) or the last
  // replace_settings copy. Replaced under mutex_ by the owner thread; the
  // lanes read it under mutex_ and keep a reference across a send.
  std::shared_ptr<const NotifySettings> settings_;
  ChannelSend send_;
  void* send_context_ = nullptr;

  mutable std::mutex mutex_;  // guards every lane but its thread
  Lane lanes_[kChannelCount];
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> changes_{0};
};

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_DELIVERY_H_
