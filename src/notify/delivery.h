// Alert delivery off the probing path: workers post finished messages, one
// delivery thread sends them in the order they were raised, channel by
// channel, and keeps the ones that failed for a temporary reason for a
// bounded retry.
//
// Per channel the order holds: while a channel has messages pending (one
// waiting for its next try, or later ones held back behind it), a new message
// for that channel joins the end of that list. A message sent from the
// pending list says so in its texts ("(delayed; event at ...)").
//
// The thread is optional: run_due() does one round of work on the calling
// thread, so tests drive delivery by hand with a clock they set.

#ifndef LINKWATCH_NOTIFY_DELIVERY_H_
#define LINKWATCH_NOTIFY_DELIVERY_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config/notify_config.h"
#include "notify/dispatch.h"
#include "notify/outcome.h"

namespace lw {

// Messages waiting for the delivery thread; beyond this the oldest is dropped.
constexpr size_t kMaxQueuedMessages = 1024;
// Messages pending per channel; beyond this the oldest is dropped.
constexpr size_t kMaxPendingPerChannel = 100;
// Waits between tries: the first, doubled after every failed try up to the last.
constexpr int64_t kRetryFirstWaitSeconds = 60;
constexpr int64_t kRetryLongestWaitSeconds = 15 * 60;

// A message as it waits: the used part of its texts and when it was raised.
struct QueuedMessage {
  int32_t kind = 0;
  std::string subject;
  std::string body;
  std::string chat_text;
  std::string card_body;  // "": body
  int64_t event_time = 0;
  const std::string& card_text() const { return card_body.empty() ? body : card_body; }
};

// One send of one channel: fills `outcome`. The default is the channel's
// real send (silent); tests put a recorder in its place.
using ChannelSend = void (*)(void* context, Channel channel, const NotifySettings& settings,
                             const QueuedMessage& message, SendOutcome* outcome);

// What the sends of one channel came to so far, for the status writer.
struct ChannelRecord {
  int64_t last_time = 0;        // when the last send ended; 0: none yet
  bool last_delivered = false;  // what the last send came to
  FixedText<96> last_detail;    // its codes, as in the log ("SMTP 250", "curl 7 (...)")
  uint64_t failures = 0;        // sends that were tried and not delivered
};

class Delivery {
 public:
  // `settings` must outlive the Delivery and stay unchanged while it runs.
  explicit Delivery(const NotifySettings* settings);
  ~Delivery();  // stops the thread (as stop(), without the log lines)
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  void set_send_for_testing(ChannelSend send, void* context);

  // Copies the message for the delivery thread; never waits for a send.
  // When kMaxQueuedMessages are waiting, the oldest is dropped and logged.
  // Safe from any thread.
  void post(const NotifyMessage& message, int64_t event_time);

  // Starts the delivery thread. False when no thread could be had (messages
  // then wait for run_due()).
  bool start();

  // Ends delivery: wakes and joins the thread. A send in flight is not cut
  // here (the command runner ends it after a short grace once a stop is
  // requested). Every message still queued or pending is logged as not
  // delivered, one line each. Idempotent.
  void stop();

  // One round at `now`: sends every queued message, then every pending
  // message that is due, giving up those whose retry time is over. Returns
  // the earliest time a pending message falls due, or 0 when none pends.
  // Stops early, leaving the rest in place, once stop() has begun.
  int64_t run_due(int64_t now);

  // Messages waiting in the queue and pending for `channel` (for tests and
  // the stop summary).
  size_t queued() const;
  size_t pending(Channel channel) const;

  // The record of `channel`'s sends made by this Delivery. Safe from any
  // thread.
  ChannelRecord channel_record(Channel channel) const;

 private:
  struct Pending {
    std::shared_ptr<const QueuedMessage> message;
    int64_t due = 0;
    int tries = 0;  // failed tries so far
  };
  static constexpr int kChannels = 3;

  void thread_main();
  // Sends `message` on `channel` once, as a retry when `delayed`.
  void send_once(Channel channel, const QueuedMessage& message, bool delayed, SendOutcome* outcome);
  void deliver_new(const std::shared_ptr<const QueuedMessage>& message, int64_t now);
  // Works the pending list of `channel`; returns its next due time or 0.
  int64_t work_pending(Channel channel, int64_t now);
  // Keeps `entry` for a later try after a temporary failure; false (and
  // logged) when retrying is off or its time is over.
  bool keep_for_retry(Channel channel, Pending entry, const SendOutcome& outcome, int64_t now);
  void add_pending(Channel channel, Pending entry);
  // Notes a finished send in records_.
  void record(Channel channel, const SendOutcome& outcome);
  void log_not_delivered(const char* channel, const char* why, const QueuedMessage& message);

  const NotifySettings* settings_;
  ChannelSend send_;
  void* send_context_ = nullptr;

  mutable std::mutex mutex_;  // guards queue_, pending_, records_ and wake_
  ChannelRecord records_[kChannels];
  std::condition_variable wake_cv_;
  bool wake_ = false;
  std::deque<std::shared_ptr<const QueuedMessage>> queue_;
  std::deque<Pending> pending_[kChannels];
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_DELIVERY_H_
