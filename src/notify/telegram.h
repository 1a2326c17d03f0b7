// The Telegram channel: one plain-text message to a chat through the bot
// API's sendMessage method.

#ifndef LINKWATCH_NOTIFY_TELEGRAM_H_
#define LINKWATCH_NOTIFY_TELEGRAM_H_

#include <cstddef>

#include "config/notify_config.h"
#include "notify/channel.h"
#include "notify/outcome.h"
#include "support/fixed_text.h"
#include "support/runner.h"
#include "support/transfer.h"

namespace lw {

constexpr const char kTelegramApiBase[] = "https://api.telegram.org";

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

// The longest bot token build_telegram_request places.
constexpr size_t kTelegramTokenRoom = 256;
// Size of the Telegram config text: the encoded text (8190) and chat
// identifier (511), the token percent-encoded (at most 768) and the fixed
// parts.
constexpr size_t kTelegramConfigSize = 16384 + kCurlConfigExtra;

// The curl call of one message; its argument vector starts as
// put_curl_start writes it, its config text ends as finish_curl_config
// writes it (support/transfer.h).
//
// curl -s --connect-timeout 10 --max-time 60 -o <reply file>
//      -w "%{http_code} %header{retry-after}" --config -
// with `url = "<base>/bot<token>/sendMessage?chat_id=<chat>&text=<text>"`
// on standard input; the answer goes to `reply_file`, the codes to the
// captured standard output. No --fail: an HTTP error status is read from
// the codes. `encoded_chat` and `encoded_text` are already percent-encoded;
// the token is percent-encoded here except for letters, digits, "-._~" and
// ':' (a bot token's own alphabet stays as it is), so that nothing in it can
// change the path. `reply_file` must outlive the request.
struct TelegramRequest {
  TelegramRequest() = default;
  TelegramRequest(const TelegramRequest&) = delete;
  TelegramRequest& operator=(const TelegramRequest&) = delete;

  const char* argv[kCurlStartArgs + 4 + 1] = {};
  CurlProgram program;
  FixedText<kTelegramConfigSize> config;

  Command command() const;
};

// Returns false when the token is longer than kTelegramTokenRoom, the
// address does not fit the config text (it always does for settings and
// texts within their limits) or `reply_file` is null.
bool build_telegram_request(const char* token, const char* encoded_chat, const char* encoded_text,
                            const char* reply_file, TelegramRequest* out,
                            const CurlSettings& curl = {});

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_TELEGRAM_H_
