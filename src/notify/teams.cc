#include "notify/teams.h"

#include <cstdio>
#include <cstring>

#include "notify/send_files.h"
#include "notify/teams_card.h"
#include "platform/platform.h"
#include "support/fixed_text.h"
#include "support/output.h"
#include "support/transfer.h"

namespace lw {

namespace {

constexpr const char kTeamsContentType[] = "Content-Type: application/json; charset=utf-8";

// The web hook always fits its config text, even with every byte escaped.
static_assert(2 * decltype(NotifySettings::teams_webhook)::capacity() + 16 <= kTeamsConfigSize,
              "Teams config text too small");

// Writes the card into `file`. False when the card cannot be built or any
// byte could not be written.
bool write_card(SendFile* file, const char* title, const char* body, CardTone tone) {
  static_assert(kTeamsCardBufferSize <= 32 * 1024, "card buffer on the stack");
  char card[kTeamsCardBufferSize];
  const size_t length =
      build_teams_card(title ? title : kTeamsDefaultTitle, body, card, sizeof card, nullptr, tone);
  return length > 0 && file->write(card, length);
}

}  // namespace

size_t json_escape(const char* input, char* out, size_t cap) {
  static const char kHex[] = "0123456789abcdef";
  if (cap == 0) return 0;
  size_t pos = 0;
  for (const char* s = input ? input : ""; *s && pos + 8 < cap; ++s) {
    unsigned char c = static_cast<unsigned char>(*s);
    switch (c) {
      case '\\':
      case '"':
        out[pos++] = '\\';
        out[pos++] = static_cast<char>(c);
        break;
      case '\n':
        out[pos++] = '\\';
        out[pos++] = 'n';
        break;
      case '\r':
        out[pos++] = '\\';
        out[pos++] = 'r';
        break;
      case '\t':
        out[pos++] = '\\';
        out[pos++] = 't';
        break;
      default:
        if (c < 32) {
          out[pos++] = '\\';
          out[pos++] = 'u';
          out[pos++] = '0';
          out[pos++] = '0';
          out[pos++] = kHex[c >> 4];
          out[pos++] = kHex[c & 0x0F];
        } else {
          out[pos++] = static_cast<char>(c);
        }
    }
  }
  out[pos] = '\0';
  return pos;
}

bool teams_configured(const NotifySettings& settings) {
  return settings.teams_enabled != 0 && !settings.teams_webhook.empty();
}

int send_teams(const NotifySettings& settings, const char* title, const char* body, bool silent,
               SendOutcome* outcome, CardTone tone) {
  if (outcome) *outcome = SendOutcome();
  if (!teams_configured(settings) || !body || body[0] == '\0') return 0;
  SendFile card_file(kCardFilePrefix, kCardFileSuffix);
  if (!write_card(&card_file, title, body, tone)) {
    note_unwritten_send_file(Channel::kTeams, "card", outcome);
    return 0;
  }
  // Without a file of its own the answer is dropped; the status still counts.
  SendFile reply(kReplyFilePrefix, kReplyFileSuffix);
  const char* reply_name = reply.reserve();
  TeamsRequest request;
  const bool usable = build_teams_request(settings.teams_webhook.c_str(), card_file.name(),
                                          reply_name ? reply_name : platform::kNullDevice, &request,
                                          curl_settings(settings));
  if (!silent) console_print("Sending Microsoft Teams alert ...\n");
  log_event("Send Microsoft Teams alert");
  // A web hook value curl would read as an option is never posted.
  const Command command = request.command();
  return run_send(Channel::kTeams, usable ? &command : nullptr, reply_name ? &reply : nullptr,
                  settings.ssl_revoke.c_str(), silent, outcome);
}

Command TeamsRequest::command() const { return make_command(argv, config.c_str()); }

bool build_teams_request(const char* webhook, const char* card_file, const char* reply_file,
                         TeamsRequest* out, const CurlSettings& curl) {
  out->argv[0] = nullptr;
  out->config.clear();
  out->data_arg.clear();
  if (!webhook || webhook[0] == '\0' || looks_like_option(webhook) || !card_file || !reply_file) {
    return false;
  }
  if (std::strlen(card_file) + 1 > out->data_arg.max_length()) return false;
  out->data_arg.format("@%s", card_file);
  const char* address[] = {webhook};
  if (!append_curl_config_line(&out->config, "url", address, 1) ||
      !finish_curl_config(&out->config, curl)) {
    return false;
  }
  const int n = put_curl_start(out->argv, out->program, kHttpWriteOut, curl);
  put_http_end(out->argv, n, reply_file, kTeamsContentType, out->data_arg.c_str());
  return true;
}

void send_teams_channel(const NotifySettings& settings, const QueuedMessage& message, bool silent,
                        SendOutcome* outcome) {
  send_teams(settings, message.subject.c_str(), message.card_text().c_str(), silent, outcome,
             static_cast<CardTone>(message.card_tone));
}

}  // namespace lw
