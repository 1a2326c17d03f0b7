// The Telegram channel: one plain-text message to a chat through the bot
// API's sendMessage method.

#ifndef LINKWATCH_NOTIFY_TELEGRAM_H_
#define LINKWATCH_NOTIFY_TELEGRAM_H_

#include <cstddef>

#include "config/notify_config.h"
#include "notify/channel.h"
#include "notify/outcome.h"

namespace lw {

// Work buffers of the encoded text and the encoded chat identifier.
constexpr size_t kTelegramTextSize = 8192;
constexpr size_t kTelegramChatSize = 512;

// Percent-encodes `input` (null counts as "") into `out` of `cap` bytes:
// A-Z, a-z, 0-9 and "-._~" are copied, every other byte becomes "%XX" with
// upper-case hex digits. Before each input byte at least 4 bytes of `out`
// must be free (position + 4 < cap), otherwise the rest is dropped. `out`
// is always terminated (for cap > 0). Returns the encoded length.
size_t percent_encode(const char* input, char* out, size_t cap);

// True when `telegram_enabled` is set and `token` and `chat_id` are given.
bool telegram_configured(const NotifySettings& settings);

// Sends `text` to `chat_id`; the answer comes back in a send file of its
// own, deleted afterwards. Prints "Sending Telegram alert now ....." and
// "Telegram command rc=%d" unless `silent`, logs "Send Telegram alert to
// chat_id [%s]" and the outcome line (see run_send in outcome.h); `outcome`
// (may be null) receives what the send came to. Returns 1 when delivered
// (HTTP 2xx with "ok":true), else 0; returns 0 at once, without any output,
// when the channel is not configured or `text` is empty. Takes no lock of
// its own; safe from any thread.
int send_telegram(const NotifySettings& settings, const char* text, bool silent,
                  SendOutcome* outcome = nullptr);

// The Telegram row's send: the message's chat text.
void send_telegram_channel(const NotifySettings& settings, const QueuedMessage& message,
                           bool silent, SendOutcome* outcome);

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_TELEGRAM_H_
