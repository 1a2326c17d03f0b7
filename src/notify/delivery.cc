#include "notify/delivery.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <unordered_set>

#include "platform/platform.h"
#include "support/clock.h"
#include "support/output.h"
#include "support/start_thread.h"

namespace lw {

namespace {

void row_send(void* /*context*/, Channel channel, const NotifySettings& settings,
              const QueuedMessage& message, SendOutcome* outcome) {
  channel_row(channel).send(settings, message, silent_mode(), outcome);
}

// The back-off after `failures` failed tries in a row (at least 1).
int64_t retry_wait_seconds(int failures, int retry_after_seconds) {
  if (retry_after_seconds > 0) return retry_after_seconds;
  int64_t wait = kRetryFirstWaitSeconds;
  for (int i = 1; i < failures && wait < kRetryLongestWaitSeconds; ++i) wait *= 2;
  return wait < kRetryLongestWaitSeconds ? wait : kRetryLongestWaitSeconds;
}

int64_t earliest(int64_t a, int64_t b) { return a == 0 || (b != 0 && b < a) ? b : a; }

// `message` with the note that it comes late.
QueuedMessage with_delay_note(const QueuedMessage& message) {
  char when[32];
  format_local_time(message.event_time, "%Y-%m-%d %H:%M:%S", when, sizeof when);
  char note[64];
  std::snprintf(note, sizeof note, "(delayed; event at %s)", when);
  QueuedMessage late = message;
  late.subject.append(" ").append(note);
  late.body.append(note).append("\n");
  late.chat_text.append("\n").append(note);
  if (!late.card_body.empty()) late.card_body.append(note).append("\n");
  return late;
}

}  // namespace

// The aliasing constructor with no owner: a pointer that owns nothing.
Delivery::Delivery(const NotifySettings* settings)
    : settings_(std::shared_ptr<const NotifySettings>(), settings), send_(row_send) {
  for (size_t c = 0; c < kChannelCount; ++c) lanes_[c].channel = kChannelRows[c].id;
}

Delivery::~Delivery() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (Lane& lane : lanes_) lane.wake = true;
  }
  for (Lane& lane : lanes_) {
    lane.wake_cv.notify_all();
    if (lane.thread.joinable()) lane.thread.join();
  }
}

void Delivery::set_send_for_testing(ChannelSend send, void* context) {
  send_ = send ? send : row_send;
  send_context_ = context;
}

void Delivery::post(const NotifyMessage& message, int64_t event_time) {
  auto queued = std::make_shared<const QueuedMessage>(queued_copy(message, event_time));
  std::lock_guard<std::mutex> hold(mutex_);
  for (Lane& lane : lanes_) {
    if (!channel_takes(channel_row(lane.channel), *settings_, queued->kind)) continue;
    if (lane.entries.size() >= kMaxQueuedMessages) {
      char why[64];
      std::snprintf(why, sizeof why, "more than %zu queued, dropped the oldest",
                    kMaxQueuedMessages);
      log_not_delivered(lane.channel, why, *lane.entries.front().message);
      lane.entries.pop_front();
      ++changes_;
    }
    lane.entries.push_back(Entry{queued});
    ++changes_;
    lane.wake = true;
    lane.wake_cv.notify_one();
  }
}

bool Delivery::start() {
  stopping_ = false;
  for (Lane& lane : lanes_) {
    if (lane.thread.joinable() || !channel_row(lane.channel).configured(*settings_)) continue;
    if (!start_thread(&lane.thread, &Delivery::lane_main, this, &lane)) return false;
  }
  return true;
}

bool Delivery::replace_settings(const NotifySettings& next, bool threads) {
  auto copy = std::make_shared<const NotifySettings>(next);
  {
    std::lock_guard<std::mutex> hold(mutex_);
    settings_ = std::move(copy);
    for (Lane& lane : lanes_) {
      if (!channel_row(lane.channel).configured(*settings_)) {
        for (const Entry& entry : lane.entries) {
          log_not_delivered(lane.channel, "channel no longer configured", *entry.message);
        }
        lane.entries.clear();
      }
      lane.wake = true;
      lane.wake_cv.notify_all();
    }
  }
  return threads ? start() : true;
}

void Delivery::stop(std::vector<HeldMessage>* kept) {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (Lane& lane : lanes_) lane.wake = true;
  }
  for (Lane& lane : lanes_) {
    lane.wake_cv.notify_all();
    if (lane.thread.joinable()) lane.thread.join();
  }
  std::lock_guard<std::mutex> hold(mutex_);
  if (kept) *kept = held_locked();
  for (Lane& lane : lanes_) {
    for (const Entry& entry : lane.entries) {
      if (kept) {
        log_event("%s: alert kept for the next start: %s", channel_name(lane.channel),
                  entry.message->subject.c_str());
      } else {
        log_not_delivered(lane.channel, "linkwatch stopped", *entry.message);
      }
    }
    lane.entries.clear();
  }
}

std::vector<HeldMessage> Delivery::held_messages() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return held_locked();
}

std::vector<HeldMessage> Delivery::held_locked() const {
  // Each message once, in the order posted: a message posted later sits
  // behind an earlier one in every lane that holds both.
  std::vector<HeldMessage> held;
  for (size_t c = 0; c < kChannelCount; ++c) {
    size_t from = 0;
    for (const Entry& entry : lanes_[c].entries) {
      size_t i = from;
      while (i < held.size() && held[i].message != entry.message) ++i;
      if (i == held.size()) {
        // Not met yet: after the last message of this lane met so far.
        held.insert(held.begin() + static_cast<std::ptrdiff_t>(from),
                    HeldMessage{entry.message, 0});
        i = from;
      }
      held[i].channels |= 1u << c;
      from = i + 1;
    }
  }
  return held;
}

bool Delivery::restore(const QueuedMessage& message, uint32_t channels) {
  auto queued = std::make_shared<const QueuedMessage>(message);
  bool taken = false;
  std::lock_guard<std::mutex> hold(mutex_);
  for (size_t c = 0; c < kChannelCount; ++c) {
    Lane& lane = lanes_[c];
    if ((channels & (1u << c)) == 0) continue;
    if (!channel_takes(channel_row(lane.channel), *settings_, queued->kind)) continue;
    if (lane.entries.size() >= kMaxQueuedMessages) continue;
    Entry entry{queued};
    entry.restored = true;
    lane.entries.push_back(entry);
    ++changes_;
    taken = true;
    lane.wake = true;
    lane.wake_cv.notify_one();
  }
  return taken;
}

size_t Delivery::queued() const {
  std::lock_guard<std::mutex> hold(mutex_);
  size_t n = 0;
  for (const Lane& lane : lanes_) {
    for (const Entry& entry : lane.entries) n += entry.waits() ? 0 : 1;
  }
  return n;
}

size_t Delivery::pending(Channel channel) const {
  std::lock_guard<std::mutex> hold(mutex_);
  size_t n = 0;
  for (const Entry& entry : lanes_[static_cast<size_t>(channel)].entries) n += entry.waits();
  return n;
}

ChannelRecord Delivery::channel_record(Channel channel) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lanes_[static_cast<size_t>(channel)].record;
}

bool Delivery::sending_allowed() const { return !stopping_ && !platform::stop_requested(); }

void Delivery::lane_main(Lane* lane) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto woken = [this, lane] { return lane->wake || stopping_.load(); };
  while (!stopping_) {
    lane->wake = false;
    // After a stop request nothing is sent: the lane sleeps until stop().
    const Choice choice = sending_allowed() ? choose(lane, now_seconds()) : Choice{};
    if (choice.message) {
      send_and_settle(lane, choice, &lock);
      continue;
    }
    if (choice.due == 0) {
      lane->wake_cv.wait(lock, woken);
    } else {
      const int64_t left = choice.due - now_seconds();
      lane->wake_cv.wait_for(lock, std::chrono::seconds(left > 1 ? left : 1), woken);
    }
  }
}

int64_t Delivery::run_due() {
  std::unique_lock<std::mutex> lock(mutex_);
  int64_t next = 0;
  for (Lane& lane : lanes_) {
    while (sending_allowed()) {
      const Choice choice = choose(&lane, now_seconds());
      if (!choice.message) {
        next = earliest(next, choice.due);
        break;
      }
      send_and_settle(&lane, choice, &lock);
    }
  }
  return next;
}

Delivery::Choice Delivery::choose(Lane* lane, int64_t now) {
  const int64_t window = static_cast<int64_t>(settings_->retry_minutes) * 60;
  if (window > 0) {
    for (auto it = lane->entries.begin(); it != lane->entries.end();) {
      if (it->waits() && now > it->message->event_time + window) {
        log_not_delivered(lane->channel, "retry_minutes are over, gave up", *it->message);
        it = lane->entries.erase(it);
        ++changes_;
      } else {
        ++it;
      }
    }
  }
  Choice choice;
  if (now < lane->quiet_until) {
    choice.due = lane->quiet_until;
    return choice;
  }
  // Services of the undelivered messages met so far: a later message about
  // one of them waits behind.
  std::unordered_set<std::string> ahead;
  for (Entry& entry : lane->entries) {
    bool behind = false;
    for (const std::string& service : entry.message->services) behind |= ahead.count(service) > 0;
    if (behind) {
      entry.held = true;
    } else if (entry.tries == 0) {
      choice.message = entry.message;
      break;
    } else {
      const int64_t deadline = entry.message->event_time + window;
      const int64_t due = lane->retry_at < deadline ? lane->retry_at : deadline;
      if (due <= now) {
        choice.message = entry.message;
        break;
      }
      choice.due = earliest(choice.due, due);
    }
    ahead.insert(entry.message->services.begin(), entry.message->services.end());
  }
  if (bound_waiting(lane) && choice.message) return choose(lane, now);  // the choice may be gone
  if (choice.message) {
    for (const Entry& entry : lane->entries) {
      if (entry.message == choice.message) choice.delayed = entry.waits();
    }
  }
  return choice;
}

void Delivery::send_and_settle(Lane* lane, const Choice& choice,
                               std::unique_lock<std::mutex>* lock) {
  // Kept for the send: a replace_settings meanwhile does not free them.
  const std::shared_ptr<const NotifySettings> settings = settings_;
  lock->unlock();
  SendOutcome outcome;
  if (sending_allowed()) {
    if (choice.delayed) {
      send_(send_context_, lane->channel, *settings, with_delay_note(*choice.message), &outcome);
    } else {
      send_(send_context_, lane->channel, *settings, *choice.message, &outcome);
    }
  }
  // The back-off counts from here: the end of the try.
  const int64_t end = now_seconds();
  lock->lock();
  if (!sending_allowed() && !outcome.attempted) return;  // kept for stop() to report
  settle(lane, choice.message, outcome, end);
}

void Delivery::settle(Lane* lane, const std::shared_ptr<const QueuedMessage>& message,
                      const SendOutcome& outcome, int64_t end) {
  const Channel channel = lane->channel;
  if (outcome.attempted) {
    ChannelRecord& record = lane->record;
    char detail[96];
    format_outcome_detail(outcome, channel, DetailStyle::kLog, detail, sizeof detail);
    record.last_time = end;
    record.last_delivered = outcome.delivered;
    record.last_detail.assign(detail);
    if (!outcome.delivered) ++record.failures;
  }
  auto it = lane->entries.begin();
  while (it != lane->entries.end() && it->message != message) ++it;
  if (it == lane->entries.end()) return;  // dropped meanwhile (and logged)

  const int minutes = settings_->retry_minutes;
  if (outcome.delivered || !outcome.attempted || minutes <= 0) {
    lane->entries.erase(it);
    ++changes_;
    if (!outcome.delivered) return;  // one try only, as without the key
    bool waiting = false;
    for (const Entry& entry : lane->entries) waiting |= entry.tries > 0;
    if (waiting && lane->retry_at > end) {
      log_event("%s: a send got through; the waiting alerts are tried now", channel_name(channel));
    }
    lane->failures_in_row = 0;
    lane->retry_at = 0;
    return;
  }
  if (!outcome.temporary) {
    log_not_delivered(channel, "permanent failure, not tried again", *message);
    lane->entries.erase(it);
    ++changes_;
    return;
  }
  const int64_t deadline = message->event_time + static_cast<int64_t>(minutes) * 60;
  if (end >= deadline) {
    log_not_delivered(channel, "retry_minutes are over, gave up", *message);
    lane->entries.erase(it);
    ++changes_;
    return;
  }
  it->tries += 1;
  // A first try that fails while the channel already backs off waits for
  // the same time; a failed retry (or a first failure) backs off further.
  if (lane->retry_at <= end || outcome.retry_after_seconds > 0) {
    lane->failures_in_row += 1;
    lane->retry_at = end + retry_wait_seconds(lane->failures_in_row, outcome.retry_after_seconds);
  }
  if (outcome.retry_after_seconds > 0) lane->quiet_until = end + outcome.retry_after_seconds;
  const int64_t next = lane->retry_at < deadline ? lane->retry_at : deadline;
  log_event("%s: trying again in %" PRId64 " seconds: %s", channel_name(channel), next - end,
            message->subject.c_str());
  bound_waiting(lane);
}

bool Delivery::bound_waiting(Lane* lane) {
  bool dropped = false;
  size_t waiting = 0;
  for (const Entry& entry : lane->entries) waiting += entry.waits();
  for (auto it = lane->entries.begin(); waiting > kMaxPendingPerChannel;) {
    if (!it->waits()) {
      ++it;
      continue;
    }
    char why[64];
    std::snprintf(why, sizeof why, "more than %zu pending, dropped the oldest",
                  kMaxPendingPerChannel);
    log_not_delivered(lane->channel, why, *it->message);
    it = lane->entries.erase(it);
    ++changes_;
    --waiting;
    dropped = true;
  }
  return dropped;
}

void Delivery::log_not_delivered(Channel channel, const char* why, const QueuedMessage& message) {
  log_event("%s: alert not delivered (%s): %s", channel_name(channel), why,
            message.subject.c_str());
}

}  // namespace lw
