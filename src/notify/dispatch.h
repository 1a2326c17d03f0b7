// One alert or report message and its delivery through the channels.

#ifndef LINKWATCH_NOTIFY_DISPATCH_H_
#define LINKWATCH_NOTIFY_DISPATCH_H_

#include <cstdint>

#include "config/notify_config.h"
#include "notify/teams_card.h"
#include "support/fixed_text.h"

namespace lw {

enum MessageKind : int32_t {
  kDownAlert = 1,
  kRecoveryAlert = 2,
  kAliveReport = 3,
  kReminderAlert = 4,
  kNetworkNotice = 5,  // the monitor's own network is reachable again
};

// True for the kinds that go to `to`, Telegram and Teams.
inline bool is_host_alert(int32_t kind) {
  return kind == kDownAlert || kind == kRecoveryAlert || kind == kReminderAlert ||
         kind == kNetworkNotice;
}

struct NotifyMessage {
  int32_t kind = 0;
  FixedText<8192> subject;
  FixedText<32768> body;
  FixedText<32768> chat_text;
  // The Teams card's body when it differs from `body` (a digest cut to the
  // card's size); "": `body`.
  FixedText<kTeamsCardMaxBytes> card_body;
  const char* card_text() const { return card_body.empty() ? body.c_str() : card_body.c_str(); }
};

// Sends `message` on the calling thread through every channel that
// `settings` enables, in the order e-mail, Telegram, Teams. Host alerts (is_host_alert) go
// to `to` and to Telegram and Teams; kind 3 goes by e-mail to `iamalive`
// only. Results are not reported back: each channel prints and logs its own.
void dispatch_message(const NotifyMessage& message, const NotifySettings& settings);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_DISPATCH_H_
