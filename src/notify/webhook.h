// The web hook channels: up to kMaxWebhooks blocks of the notification file
// (webhook_url and the keys after it), each a channel row of its own. A send
// expands the block's body template (config/webhook_template.h) with the
// message's facts and posts it with the block's method and headers.

#ifndef LINKWATCH_NOTIFY_WEBHOOK_H_
#define LINKWATCH_NOTIFY_WEBHOOK_H_

#include <cstddef>
#include <string>

#include "config/notify_config.h"
#include "config/webhook_template.h"
#include "notify/channel.h"
#include "notify/outcome.h"
#include "support/fixed_text.h"
#include "support/runner.h"
#include "support/transfer.h"

namespace lw {

// The web hook of `channel` (0 for kWebhook1 ...), or -1 for another channel.
int webhook_index(Channel channel);

// The {kind} word of a message: "DOWN", "RECOVERY", "REMINDER", "DIGEST" (a
// host alert about more than one service), "NETWORK" or "TEST"; "" for any
// other kind.
const char* webhook_kind_word(const QueuedMessage& message);

// The texts behind the placeholders of one message, and the values that
// point into them (valid while this object lives, not copyable):
//   {subject} the subject; {text} the chat text (the short text written for
//   chat channels; the body when it has none); {host} {port} {description}
//   {error} from its facts; {since} and {event_time} as local
//   "YYYY-MM-DD HH:MM:SS" (an event time of 0 - a send not queued - is the
//   time of the send); {duration} as the alerts write it ("5 min");
//   {ping} "<answered>/<sent>"; {key} "host:port" of its one service, the
//   services joined with "," for a digest, "" for a message about none.
//   A fact that is not known is "".
struct WebhookFields {
  explicit WebhookFields(const QueuedMessage& message);
  WebhookFields(const WebhookFields&) = delete;
  WebhookFields& operator=(const WebhookFields&) = delete;

  TemplateValues values;

 private:
  FixedText<32> since_;
  FixedText<32> duration_;
  FixedText<16> ping_;
  FixedText<32> event_time_;
  std::string key_;
};

// The body `hook` sends for `message`: its template expanded.
std::string webhook_body_for(const WebhookSettings& hook, const QueuedMessage& message);

// True when web hook `index` has a block and it is usable.
bool webhook_configured(const NotifySettings& settings, int index);
template <int I>
bool webhook_configured(const NotifySettings& settings) {
  return webhook_configured(settings, I);
}

// Writes the body of `message` for web hook `index` into a send file of its
// own, posts it and deletes it, and the answer file too; safe from any
// thread. Prints "Sending <row test_name> alert ..." and "<name> command
// rc=%d" unless `silent`, logs "Send <test_name> alert" and the outcome
// line (run_send); `outcome` (never null) receives what the send came to:
// delivered on any HTTP 2xx, Retry-After heeded as for Teams. Not
// configured: returns at once, not attempted.
void send_webhook(const NotifySettings& settings, int index, const QueuedMessage& message,
                  bool silent, SendOutcome* outcome);

template <int I>
void send_webhook_channel(const NotifySettings& settings, const QueuedMessage& message, bool silent,
                          SendOutcome* outcome) {
  send_webhook(settings, I, message, silent, outcome);
}

// Room of the config text: the address and every header with each byte
// escaped, the method and the content type.
constexpr size_t kWebhookConfigSize = 2 * (kMaxWebhookUrlLength + 16) +
                                      kMaxWebhookHeaders * (2 * kWebhookHeaderSize + 16) + 256 +
                                      kCurlConfigExtra;

// The curl call of one web hook send; its argument vector starts as
// put_curl_start writes it:
//
// curl -s --connect-timeout 10 --max-time 60 -o <reply file>
//      -w "%{http_code} %header{retry-after}" --data-binary @<body file>
//      --config -
// with, on standard input, `url = "<address>"`, `request = "PUT"` for PUT,
// `header = "Content-Type: application/json; charset=utf-8"` (text:
// "text/plain; charset=utf-8") unless a header of the block names the
// content type, and `header = "<header>"` for each of the block's headers:
// neither the address nor a header is ever an argument.
struct WebhookRequest {
  WebhookRequest() = default;
  WebhookRequest(const WebhookRequest&) = delete;
  WebhookRequest& operator=(const WebhookRequest&) = delete;

  const char* argv[kCurlStartArgs + 6 + 1] = {};
  CurlProgram program;
  FixedText<128> data_arg;  // "@<body file>"
  FixedText<kWebhookConfigSize> config;

  Command command() const;
};

// False when the address is empty or looks like an option, when a file
// name is null or does not fit.
bool build_webhook_request(const WebhookSettings& hook, const char* body_file,
                           const char* reply_file, WebhookRequest* out,
                           const CurlSettings& curl = {});

}  // namespace lw

#endif  // LINKWATCH_NOTIFY_WEBHOOK_H_
