#include "notify/telegram.h"

#include "notify/send_files.h"
#include "platform/platform.h"
#include "support/fixed_text.h"
#include "support/output.h"
#include "support/transfer.h"

namespace lw {

namespace {

// The request address always fits its config text: every percent-encoded
// token byte takes three characters, the encoded texts none extra.
static_assert(decltype(NotifySettings::token)::max_length() <= kTelegramTokenRoom,
              "a token within its setting is always placed");
static_assert(kTelegramTextSize + kTelegramChatSize + 3 * kTelegramTokenRoom + 128 <=
                  kTelegramConfigSize,
              "Telegram config text too small");

bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// Writes `text` (null: "") for one segment of an address path: letters,
// digits, "-._~" and ':' as they are, every other byte as "%XX", so that no
// '/', '?', '#' or '%' of it can end the segment. False when it does not fit.
bool encode_path_segment(const char* text, char* out, size_t cap) {
  static const char kHex[] = "0123456789ABCDEF";
  size_t n = 0;
  for (const char* s = text ? text : ""; *s; ++s) {
    const unsigned char c = static_cast<unsigned char>(*s);
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '.' || c == '_' || c == '~' || c == ':';
    if (n + (kept ? 1 : 3) >= cap) return false;
    if (kept) {
      out[n++] = static_cast<char>(c);
    } else {
      out[n++] = '%';
      out[n++] = kHex[c >> 4];
      out[n++] = kHex[c & 0x0F];
    }
  }
  out[n] = '\0';
  return true;
}

}  // namespace

size_t percent_encode(const char* input, char* out, size_t cap) {
  static const char kHex[] = "0123456789ABCDEF";
  if (cap == 0) return 0;
  size_t pos = 0;
  for (const char* s = input ? input : ""; *s && pos + 4 < cap; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    if (is_unreserved(c)) {
      out[pos++] = static_cast<char>(c);
    } else {
      out[pos++] = '%';
      out[pos++] = kHex[c >> 4];
      out[pos++] = kHex[c & 0x0F];
    }
  }
  out[pos] = '\0';
  return pos;
}

bool telegram_configured(const NotifySettings& settings) {
  return settings.telegram_enabled != 0 && !settings.token.empty() && !settings.chat_id.empty();
}

int send_telegram(const NotifySettings& settings, const char* text, bool silent,
                  SendOutcome* outcome) {
  if (outcome) *outcome = SendOutcome();
  if (!telegram_configured(settings) || !text || text[0] == '\0') return 0;
  FixedText<kTelegramTextSize> encoded_text;
  FixedText<kTelegramChatSize> encoded_chat;
  percent_encode(text, encoded_text.data(), encoded_text.capacity());
  percent_encode(settings.chat_id.c_str(), encoded_chat.data(), encoded_chat.capacity());
  // Without a file of its own the answer is dropped; the status still counts.
  SendFile reply(kReplyFilePrefix, kReplyFileSuffix);
  const char* reply_name = reply.reserve();
  TelegramRequest request;
  const bool usable = build_telegram_request(
      settings.token.c_str(), encoded_chat.c_str(), encoded_text.c_str(),
      reply_name ? reply_name : platform::kNullDevice, &request, curl_settings(settings));
  if (!silent) console_print("Sending Telegram alert now .....\n");
  log_event("Send Telegram alert to chat_id [%s]", settings.chat_id.c_str());
  const Command command = request.command();
  return run_send(Channel::kTelegram, usable ? &command : nullptr, reply_name ? &reply : nullptr,
                  settings.ssl_revoke.c_str(), silent, outcome);
}

Command TelegramRequest::command() const { return make_command(argv, config.c_str()); }

bool build_telegram_request(const char* token, const char* encoded_chat, const char* encoded_text,
                            const char* reply_file, TelegramRequest* out,
                            const CurlSettings& curl) {
  out->argv[0] = nullptr;
  out->config.clear();
  if (!reply_file) return false;
  char placed_token[3 * kTelegramTokenRoom + 1];
  if (!encode_path_segment(token, placed_token, sizeof placed_token)) return false;
  const char* address[] = {kTelegramApiBase, "/bot",   placed_token, "/sendMessage?chat_id=",
                           encoded_chat,     "&text=", encoded_text};
  if (!append_curl_config_line(&out->config, "url", address, 7) ||
      !finish_curl_config(&out->config, curl)) {
    return false;
  }
  const int n = put_curl_start(out->argv, out->program, kHttpWriteOut, curl);
  put_http_end(out->argv, n, reply_file, nullptr, nullptr);
  return true;
}

void send_telegram_channel(const NotifySettings& settings, const QueuedMessage& message,
                           bool silent, SendOutcome* outcome) {
  send_telegram(settings, message.chat_text.c_str(), silent, outcome);
}

}  // namespace lw
