#include "config/notify_config.h"

#include <cstdio>
#include <cstring>

#include "config/host_config.h"
#include "config/protect.h"
#include "support/output.h"

namespace lw {

namespace {

// Stores a password or token: decoded when it is in the protected form,
// as written when it is plain or a protected form that does not decode.
template <size_t N>
void store_secret(FixedText<N>* field, const char* value) {
  if (!decode_protected_value(value, field->data(), field->capacity())) field->assign(value);
}

void apply_notify_key(const ConfigLine& line, NotifySettings* s) {
  const char* key = line.key.c_str();
  const char* value = line.value.c_str();
  if (std::strcmp(key, "server") == 0) {
    s->server.assign(value);
  } else if (std::strcmp(key, "email") == 0) {
    s->email.assign(value);
  } else if (std::strcmp(key, "from") == 0) {
    s->from.assign(value);
  } else if (std::strcmp(key, "to") == 0) {
    s->to.assign(value);
  } else if (std::strcmp(key, "chat_id") == 0) {
    s->chat_id.assign(value);
  } else if (std::strcmp(key, "password") == 0) {
    store_secret(&s->password, value);
  } else if (std::strcmp(key, "token") == 0) {
    store_secret(&s->token, value);
    if (!s->token.empty()) s->telegram_enabled = 1;
  } else if (std::strcmp(key, "iamalive") == 0) {
    s->iamalive.assign(value);
    // A later line without an at sign does not clear the flag.
    if (std::strchr(value, '@')) s->iamalive_enabled = 1;
  } else if (std::strcmp(key, "teams_webhook") == 0) {
    s->teams_webhook.assign(value);
    if (!s->teams_webhook.empty()) s->teams_enabled = 1;
  }
}

}  // namespace

void load_notify_config(NotifySettings* settings) {
  std::FILE* file = std::fopen(kNotifyFileName, "r");
  if (!file) {
    plain_print("%s is not existed. It is unable to send email alerts\n", kNotifyFileName);
    settings->email_enabled = 0;
    return;
  }

  *settings = NotifySettings{};

  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  while (read_config_piece(file, piece.data(), piece.capacity()) > 0) {
    if (parse_config_line(piece.c_str(), &line)) apply_notify_key(line, settings);
  }
  std::fclose(file);

  NotifySettings& s = *settings;
  s.email_enabled = !s.server.empty() && !s.email.empty() && !s.password.empty() && !s.to.empty();

  // The secrets are written back protected on every load; the password first.
  if (!s.password.empty()) protect_value_in_file("password", s.password.c_str());
  if (!s.token.empty()) protect_value_in_file("token", s.token.c_str());
  s.telegram_enabled = !s.token.empty() && !s.chat_id.empty();
  if (s.teams_webhook.empty()) s.teams_enabled = 0;
}

}  // namespace lw
