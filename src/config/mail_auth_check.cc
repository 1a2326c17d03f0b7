#include "config/mail_auth_check.h"

#include <cstring>

#include "config/notify_config.h"
#include "support/output.h"

namespace lw {

namespace {

// The key's row index; every name asked for has a row.
size_t row_of(const char* key) { return find_notify_key(key) - notify_key_rows().data(); }

// The value of the key's last line, "" when the file has none.
const char* value_of(const NotifyCheckState& state, const char* key) {
  const size_t i = row_of(key);
  return state.seen[i] ? state.value[i].c_str() : "";
}

int line_of(const NotifyCheckState& state, const char* key) { return state.line[row_of(key)]; }

MailAuth mode_of(const NotifyCheckState& state) {
  MailAuth mode = MailAuth::kPassword;
  parse_mail_auth(value_of(state, "smtp_auth"), &mode);  // a refused text failed its own line
  return mode;
}

const char* mode_name(MailAuth mode) {
  return mode == MailAuth::kNone ? "none" : mode == MailAuth::kOAuth2 ? "oauth2" : "password";
}

// Prints that the mode needs `what`; returns false.
bool needs(const NotifyCheckState& state, MailAuth mode, const char* what) {
  plain_print("smtp_auth \"%s\" (line %d) needs %s\n", mode_name(mode), line_of(state, "smtp_auth"),
              what);
  return false;
}

bool has_value(const NotifyCheckState& state, const char* key) {
  return value_of(state, key)[0] != '\0';
}

}  // namespace

bool mail_key_needed(const NotifyCheckState& state, const char* key) {
  const MailAuth mode = mode_of(state);
  if (std::strcmp(key, "password") == 0) return mode == MailAuth::kPassword;
  if (std::strcmp(key, "email") == 0) return mode != MailAuth::kNone;
  return true;
}

bool ends_password_logins(const char* server) {
  static const char* const kHosts[] = {
      "smtp.office365.com",  "smtp-mail.outlook.com", "smtp.outlook.com",
      "smtp.live.com",       "smtp.gmail.com",        "smtp.googlemail.com",
      "smtp.mail.yahoo.com", "smtp.mail.me.com",      "smtp.aol.com",
  };
  const char* host = server;
  if (const char* scheme = std::strstr(server, "://")) host = scheme + 3;
  if (const char* at = std::strchr(host, '@')) host = at + 1;  // a login in the address
  const size_t length = std::strcspn(host, ":/?#");
  for (const char* known : kHosts) {
    if (std::strlen(known) != length) continue;
    size_t i = 0;
    while (i < length && lower_ascii(host[i]) == known[i]) ++i;
    if (i == length) return true;
  }
  return false;
}

bool check_mail_login(const NotifyCheckState& state) {
  const MailAuth mode = mode_of(state);
  bool passed = true;
  if (mode == MailAuth::kNone) {
    for (const char* key : {"server", "to"}) {
      if (state.seen[row_of(key)] && !has_value(state, key)) {
        FixedText<64> what;
        what.format("a value for %s", key);
        passed = needs(state, mode, what.c_str());
      }
    }
    if (!has_value(state, "from") && !has_value(state, "email")) {
      passed = needs(state, mode, "the sender's address in from or email");
    }
  } else if (mode == MailAuth::kOAuth2) {
    for (const char* key : {"email", "oauth2_token_url", "oauth2_client_id", "oauth2_scope"}) {
      if (!has_value(state, key)) {
        FixedText<64> what;
        what.format("a value for %s", key);
        passed = needs(state, mode, what.c_str());
      }
    }
    if (!has_value(state, "oauth2_client_secret") && !has_value(state, "oauth2_refresh_token")) {
      passed = needs(state, mode, "oauth2_client_secret or oauth2_refresh_token");
    }
  }
  if (mode != MailAuth::kNone && std::strcmp(value_of(state, "smtp_tls"), "try") == 0) {
    plain_print(
        "Line %d: smtp_tls \"try\" would let the %s travel in clear; use it only with smtp_auth "
        ": \"none\"\n",
        line_of(state, "smtp_tls"), mode == MailAuth::kOAuth2 ? "token" : "password");
    passed = false;
  }
  if (mode == MailAuth::kPassword && ends_password_logins(value_of(state, "server"))) {
    plain_print(
        "Warning: %s line %d: this mail service ends password logins; use smtp_auth : "
        "\"oauth2\", a relay with smtp_auth : \"none\", or an app password\n",
        state.file_name, line_of(state, "server"));
  }
  return passed;
}

}  // namespace lw
