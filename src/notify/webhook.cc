#include "notify/webhook.h"

#include <cinttypes>
#include <cstring>
#include <memory>

#include "notify/alerts.h"
#include "notify/dispatch.h"
#include "notify/send_files.h"
#include "platform/platform.h"
#include "support/clock.h"
#include "support/output.h"

namespace lw {

namespace {

constexpr const char kDateTime[] = "%Y-%m-%d %H:%M:%S";

// True when one of the block's headers is a Content-Type.
bool names_content_type(const WebhookSettings& hook) {
  constexpr char kName[] = "content-type:";
  for (int i = 0; i < hook.header_count; ++i) {
    const char* header = hook.headers[i].c_str();
    size_t n = 0;
    while (n < sizeof kName - 1 && lower_ascii(header[n]) == kName[n]) ++n;
    if (n == sizeof kName - 1) return true;
  }
  return false;
}

}  // namespace

int webhook_index(Channel channel) {
  const int index = static_cast<int>(channel) - static_cast<int>(Channel::kWebhook1);
  return index >= 0 && index < static_cast<int>(kWebhookRowCount) ? index : -1;
}

const char* webhook_kind_word(const QueuedMessage& message) {
  switch (message.kind) {
    case kTestMessage:
      return "TEST";
    case kNetworkNotice:
      return "NETWORK";
    case kCertNotice:
      return "CERTIFICATE";
    case kDownAlert:
    case kRecoveryAlert:
    case kReminderAlert:
      if (message.facts.host.empty() && message.services.size() != 1) return "DIGEST";
      return message.kind == kDownAlert       ? "DOWN"
             : message.kind == kRecoveryAlert ? "RECOVERY"
                                              : "REMINDER";
    default:
      return "";
  }
}

WebhookFields::WebhookFields(const QueuedMessage& message) {
  const MessageFacts& facts = message.facts;
  if (facts.since > 0) format_local_time(facts.since, kDateTime, since_.data(), since_.capacity());
  if (facts.duration >= 0) format_duration(facts.duration, duration_.data(), duration_.capacity());
  if (facts.ping_answered >= 0) ping_.format("%d/%d", facts.ping_answered, kPingCount);
  format_local_time(message.event_time > 0 ? message.event_time : now_seconds(), kDateTime,
                    event_time_.data(), event_time_.capacity());
  if (!facts.host.empty()) {
    key_ = service_key(facts.host.c_str(), facts.port.c_str());
  } else {
    for (const std::string& service : message.services) {
      if (!key_.empty()) key_.append(",");
      key_.append(service);
    }
  }
  values.kind = webhook_kind_word(message);
  values.host = facts.host.c_str();
  values.port = facts.port.c_str();
  values.description = facts.description.c_str();
  values.error = facts.error.c_str();
  values.since = since_.c_str();
  values.duration = duration_.c_str();
  values.ping = ping_.c_str();
  values.subject = message.subject.c_str();
  values.text = message.chat_text.empty() ? message.body.c_str() : message.chat_text.c_str();
  values.event_time = event_time_.c_str();
  values.key = key_.c_str();
}

std::string webhook_body_for(const WebhookSettings& hook, const QueuedMessage& message) {
  const WebhookFields fields(message);
  std::string body;
  expand_webhook_template(hook.body_template(), fields.values, hook.format,
                          static_cast<size_t>(hook.text_limit), &body);
  return body;
}

bool webhook_configured(const NotifySettings& settings, int index) {
  return index >= 0 && index < settings.webhook_count && index < kMaxWebhooks &&
         settings.webhooks[index].usable;
}

void send_webhook(const NotifySettings& settings, int index, const QueuedMessage& message,
                  bool silent, SendOutcome* outcome) {
  *outcome = SendOutcome();
  if (!webhook_configured(settings, index)) return;
  const Channel channel = static_cast<Channel>(static_cast<int>(Channel::kWebhook1) + index);
  const WebhookSettings& hook = settings.webhooks[index];
  const std::string body = webhook_body_for(hook, message);
  SendFile body_file(kWebhookFilePrefix, kWebhookFileSuffix);
  if (!body_file.write(body.data(), body.size())) {
    note_unwritten_send_file(channel, "body", outcome);
    return;
  }
  SendFile reply(kReplyFilePrefix, kReplyFileSuffix);
  const char* reply_name = reply.reserve();
  // The request holds a config text of about 12 KB: on the heap.
  auto request = std::make_unique<WebhookRequest>();
  const bool usable =
      build_webhook_request(hook, body_file.name(), reply_name ? reply_name : platform::kNullDevice,
                            request.get(), curl_settings(settings));
  const char* title = channel_row(channel).test_name;
  if (!silent) console_print("Sending %s alert ...\n", title);
  log_event("Send %s alert", title);
  const Command command = request->command();
  run_send(channel, usable ? &command : nullptr, reply_name ? &reply : nullptr,
           settings.ssl_revoke.c_str(), silent, outcome);
}

Command WebhookRequest::command() const { return make_command(argv, config.c_str()); }

bool build_webhook_request(const WebhookSettings& hook, const char* body_file,
                           const char* reply_file, WebhookRequest* out, const CurlSettings& curl) {
  out->argv[0] = nullptr;
  out->config.clear();
  out->data_arg.clear();
  const char* url = hook.url.c_str();
  if (url[0] == '\0' || looks_like_option(url) || !body_file || !reply_file) return false;
  if (std::strlen(body_file) + 1 > out->data_arg.max_length()) return false;
  out->data_arg.format("@%s", body_file);
  const char* address[] = {url};
  if (!append_curl_config_line(&out->config, "url", address, 1)) return false;
  if (hook.put) {
    const char* method[] = {"PUT"};
    if (!append_curl_config_line(&out->config, "request", method, 1)) return false;
  }
  if (!names_content_type(hook)) {
    const char* type[] = {hook.format == WebhookFormat::kJson
                              ? "Content-Type: application/json; charset=utf-8"
                              : "Content-Type: text/plain; charset=utf-8"};
    if (!append_curl_config_line(&out->config, "header", type, 1)) return false;
  }
  for (int i = 0; i < hook.header_count && i < kMaxWebhookHeaders; ++i) {
    const char* header[] = {hook.headers[i].c_str()};
    if (!append_curl_config_line(&out->config, "header", header, 1)) return false;
  }
  if (!finish_curl_config(&out->config, curl)) return false;
  const int n = put_curl_start(out->argv, out->program, kHttpWriteOut, curl);
  put_http_end(out->argv, n, reply_file, nullptr, out->data_arg.c_str());
  return true;
}

}  // namespace lw
