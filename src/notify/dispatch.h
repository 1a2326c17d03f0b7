// One alert or report message and its delivery through the channels.

#ifndef LINKWATCH_NOTIFY_DISPATCH_H_
#define LINKWATCH_NOTIFY_DISPATCH_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/notify_config.h"
#include "notify/channel.h"
#include "notify/teams_card.h"
#include "support/fixed_text.h"

namespace lw {

enum MessageKind : int32_t {
  kDownAlert = 1,
  kRecoveryAlert = 2,
  kAliveReport = 3,
  kReminderAlert = 4,
  kNetworkNotice = 5,  // the monitor's own network is reachable again
  kTestMessage = 6,    // "-test": to `to` and every other channel
  kCertNotice = 7,     // a certificate's expiry, renewal or trust (notify/cert_notice.h)
};

// True for the kinds that go to `to`, Telegram and Teams.
inline bool is_host_alert(int32_t kind) {
  return kind == kDownAlert || kind == kRecoveryAlert || kind == kReminderAlert ||
         kind == kNetworkNotice || kind == kCertNotice;
}

struct NotifyMessage {
  int32_t kind = 0;
  FixedText<8192> subject;
  FixedText<32768> body;
  FixedText<32768> chat_text;
  // The Teams card's body when it differs from `body` (a digest cut to the
  // card's size); "": `body`.
  FixedText<kTeamsCardMaxBytes> card_body;
  // The colour of the Teams card's title.
  CardTone card_tone = CardTone::kPlain;
  // "host:port" of every service the message concerns (see QueuedMessage).
  std::vector<std::string> services;
  MessageFacts facts;
  const char* card_text() const { return card_body.empty() ? body.c_str() : card_body.c_str(); }
};

// A new empty message (kind 0, every text "") on the heap. Its texts,
// about 99 KB, never sit on a thread's stack, and only what is written to
// them is touched.
inline std::unique_ptr<NotifyMessage> new_message() {
  return std::make_unique_for_overwrite<NotifyMessage>();
}

// The key of a service in QueuedMessage::services: "<host>:<port>".
std::string service_key(const char* host, const char* port);

// The used part of `message`'s texts as the channels send them.
QueuedMessage queued_copy(const NotifyMessage& message, int64_t event_time);

// Sends `message` on the calling thread, once, through every channel of the
// channel table that takes it (channel_takes), in the table's order: host
// alerts (is_host_alert) go to `to` and to Telegram and Teams; kind 3 goes
// by e-mail to `iamalive` only. Results are not reported back: each
// channel prints and logs its own.
void dispatch_message(const NotifyMessage& message, const NotifySettings& settings);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_DISPATCH_H_
