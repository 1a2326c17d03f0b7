#include "notify/delivery.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <system_error>

#include "notify/email.h"
#include "notify/teams.h"
#include "notify/telegram.h"
#include "support/clock.h"
#include "support/output.h"

namespace lw {

namespace {

constexpr Channel kChannelOrder[] = {Channel::kEmail, Channel::kTelegram, Channel::kTeams};

// The channels a message goes to, as dispatch_message chooses them.
bool goes_to(Channel channel, const QueuedMessage& message, const NotifySettings& settings) {
  const bool host_alert = is_host_alert(message.kind);
  switch (channel) {
    case Channel::kEmail:
      return settings.email_enabled != 0;
    case Channel::kTelegram:
      return host_alert && telegram_configured(settings);
    case Channel::kTeams:
      return host_alert && teams_configured(settings);
  }
  return false;
}

void real_send(void* /*context*/, Channel channel, const NotifySettings& settings,
               const QueuedMessage& message, SendOutcome* outcome) {
  const bool silent = silent_mode();
  switch (channel) {
    case Channel::kEmail: {
      const char* recipients =
          message.kind == kAliveReport ? settings.iamalive.c_str() : settings.to.c_str();
      send_mail_message(settings, recipients, message.subject.c_str(), message.body.c_str(), silent,
                        outcome);
      break;
    }
    case Channel::kTelegram:
      send_telegram(settings, message.chat_text.c_str(), silent, outcome);
      break;
    case Channel::kTeams:
      send_teams(settings, message.subject.c_str(), message.card_text().c_str(), silent, outcome);
      break;
  }
}

int64_t retry_wait_seconds(int tries, int retry_after_seconds) {
  if (retry_after_seconds > 0) return retry_after_seconds;
  int64_t wait = kRetryFirstWaitSeconds;
  for (int i = 1; i < tries && wait < kRetryLongestWaitSeconds; ++i) wait *= 2;
  return wait < kRetryLongestWaitSeconds ? wait : kRetryLongestWaitSeconds;
}

}  // namespace

Delivery::Delivery(const NotifySettings* settings) : settings_(settings), send_(real_send) {}

Delivery::~Delivery() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    wake_ = true;
  }
  wake_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Delivery::set_send_for_testing(ChannelSend send, void* context) {
  send_ = send ? send : real_send;
  send_context_ = context;
}

void Delivery::post(const NotifyMessage& message, int64_t event_time) {
  auto queued = std::make_shared<QueuedMessage>();
  queued->kind = message.kind;
  queued->subject.assign(message.subject.c_str());
  queued->body.assign(message.body.c_str());
  queued->chat_text.assign(message.chat_text.c_str());
  queued->card_body.assign(message.card_body.c_str());
  queued->event_time = event_time;
  std::shared_ptr<const QueuedMessage> dropped;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (queue_.size() >= kMaxQueuedMessages) {
      dropped = queue_.front();
      queue_.pop_front();
    }
    queue_.push_back(std::move(queued));
    wake_ = true;
  }
  wake_cv_.notify_one();
  if (dropped) {
    log_event("Alert not delivered: more than %zu messages waiting; dropped: %s",
              kMaxQueuedMessages, dropped->subject.c_str());
  }
}

bool Delivery::start() {
  if (thread_.joinable()) return true;
  stopping_ = false;
  // The thread library reports a missing thread as an exception.
  try {
    thread_ = std::thread(&Delivery::thread_main, this);
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void Delivery::stop() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    wake_ = true;
  }
  wake_cv_.notify_all();
  if (thread_.joinable()) thread_.join();

  std::deque<std::shared_ptr<const QueuedMessage>> queued;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    queued.swap(queue_);
  }
  for (const auto& message : queued) {
    log_event("Alert not delivered (linkwatch stopped): %s", message->subject.c_str());
  }
  for (Channel channel : kChannelOrder) {
    auto& list = pending_[static_cast<int>(channel)];
    for (const Pending& entry : list) {
      log_not_delivered(channel_name(channel), "linkwatch stopped", *entry.message);
    }
    list.clear();
  }
}

size_t Delivery::queued() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return queue_.size();
}

size_t Delivery::pending(Channel channel) const {
  return pending_[static_cast<int>(channel)].size();
}

ChannelRecord Delivery::channel_record(Channel channel) const {
  std::lock_guard<std::mutex> hold(mutex_);
  return records_[static_cast<int>(channel)];
}

void Delivery::record(Channel channel, const SendOutcome& outcome) {
  if (!outcome.attempted) return;
  char detail[96];
  format_outcome_detail(outcome, channel, DetailStyle::kLog, detail, sizeof detail);
  std::lock_guard<std::mutex> hold(mutex_);
  ChannelRecord& record = records_[static_cast<int>(channel)];
  record.last_time = now_seconds();
  record.last_delivered = outcome.delivered;
  record.last_detail.assign(detail);
  if (!outcome.delivered) ++record.failures;
}

void Delivery::thread_main() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stopping_) {
    wake_ = false;
    lock.unlock();
    const int64_t due = run_due(now_seconds());
    lock.lock();
    if (stopping_ || !queue_.empty()) continue;
    auto woken = [this] { return wake_ || stopping_.load(); };
    if (due == 0) {
      wake_cv_.wait(lock, woken);
    } else {
      const int64_t left = due - now_seconds();
      wake_cv_.wait_for(lock, std::chrono::seconds(left > 1 ? left : 1), woken);
    }
  }
}

int64_t Delivery::run_due(int64_t now) {
  for (;;) {
    std::shared_ptr<const QueuedMessage> message;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (queue_.empty() || stopping_) break;
      message = queue_.front();
      queue_.pop_front();
    }
    deliver_new(message, now);
  }
  int64_t next = 0;
  for (Channel channel : kChannelOrder) {
    if (stopping_) break;
    const int64_t due = work_pending(channel, now);
    if (due != 0 && (next == 0 || due < next)) next = due;
  }
  return next;
}

void Delivery::send_once(Channel channel, const QueuedMessage& message, bool delayed,
                         SendOutcome* outcome) {
  *outcome = SendOutcome{};
  if (!delayed) {
    send_(send_context_, channel, *settings_, message, outcome);
    record(channel, *outcome);
    return;
  }
  char when[32];
  format_local_time(message.event_time, "%Y-%m-%d %H:%M:%S", when, sizeof when);
  char note[64];
  std::snprintf(note, sizeof note, "(delayed; event at %s)", when);
  QueuedMessage late = message;
  late.subject.append(" ").append(note);
  late.body.append(note).append("\n");
  late.chat_text.append("\n").append(note);
  if (!late.card_body.empty()) late.card_body.append(note).append("\n");
  send_(send_context_, channel, *settings_, late, outcome);
  record(channel, *outcome);
}

void Delivery::deliver_new(const std::shared_ptr<const QueuedMessage>& message, int64_t now) {
  for (Channel channel : kChannelOrder) {
    if (!goes_to(channel, *message, *settings_)) continue;
    // Not sent on this channel once a stop has begun: stop() reports it with
    // the pending ones; behind a message that waits for its next try: keep the order.
    if (!pending_[static_cast<int>(channel)].empty()) {
      add_pending(channel, Pending{message, now, 0});
      continue;
    }
    SendOutcome outcome;
    send_once(channel, *message, false, &outcome);
    if (outcome.delivered || !outcome.attempted) continue;
    keep_for_retry(channel, Pending{message, 0, 0}, outcome, now);
  }
}

bool Delivery::keep_for_retry(Channel channel, Pending entry, const SendOutcome& outcome,
                              int64_t now) {
  const int minutes = settings_->retry_minutes;
  if (minutes <= 0) return false;  // one try only, as without the key
  const char* name = channel_name(channel);
  if (!outcome.temporary) {
    log_not_delivered(name, "permanent failure, not tried again", *entry.message);
    return false;
  }
  const int64_t deadline = entry.message->event_time + static_cast<int64_t>(minutes) * 60;
  if (now >= deadline) {
    log_not_delivered(name, "retry_minutes are over, gave up", *entry.message);
    return false;
  }
  entry.tries += 1;
  const int64_t wait = retry_wait_seconds(entry.tries, outcome.retry_after_seconds);
  entry.due = now + wait < deadline ? now + wait : deadline;
  log_event("%s: trying again in %" PRId64 " seconds: %s", name, entry.due - now,
            entry.message->subject.c_str());
  auto& list = pending_[static_cast<int>(channel)];
  if (!list.empty() && list.front().message == entry.message) {
    list.front() = entry;
  } else {
    add_pending(channel, entry);
  }
  return true;
}

int64_t Delivery::work_pending(Channel channel, int64_t now) {
  auto& list = pending_[static_cast<int>(channel)];
  const int64_t window = static_cast<int64_t>(settings_->retry_minutes) * 60;
  while (!list.empty() && !stopping_) {
    Pending& head = list.front();
    if (head.due > now) return head.due;
    if (now > head.message->event_time + window) {
      log_not_delivered(channel_name(channel), "retry_minutes are over, gave up", *head.message);
      list.pop_front();
      continue;
    }
    const std::shared_ptr<const QueuedMessage> message = head.message;
    SendOutcome outcome;
    send_once(channel, *message, true, &outcome);
    if (outcome.delivered || !outcome.attempted ||
        !keep_for_retry(channel, list.front(), outcome, now)) {
      list.pop_front();
      continue;
    }
    return list.front().due;
  }
  return 0;
}

void Delivery::add_pending(Channel channel, Pending entry) {
  auto& list = pending_[static_cast<int>(channel)];
  if (list.size() >= kMaxPendingPerChannel) {
    char why[64];
    std::snprintf(why, sizeof why, "more than %zu pending, dropped the oldest",
                  kMaxPendingPerChannel);
    log_not_delivered(channel_name(channel), why, *list.front().message);
    list.pop_front();
  }
  list.push_back(std::move(entry));
}

void Delivery::log_not_delivered(const char* channel, const char* why,
                                 const QueuedMessage& message) {
  log_event("%s: alert not delivered (%s): %s", channel, why, message.subject.c_str());
}

}  // namespace lw
