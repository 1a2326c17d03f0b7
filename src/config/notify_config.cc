#include "config/notify_config.h"

#include <cstdio>
#include <cstring>

#include "config/config_keys.h"
#include "config/config_line.h"
#include "config/protect.h"
#include "platform/platform.h"
#include "support/output.h"

namespace lw {

namespace {

// True when `text` holds no blank and no control byte, as an address must.
bool address_bytes_only(const char* text) {
  for (const char* p = text; *p; ++p) {
    if (static_cast<unsigned char>(*p) <= ' ' || *p == 0x7F) return false;
  }
  return true;
}

}  // namespace

bool heartbeat_url_usable(const char* text) {
  const size_t length = std::strlen(text);
  return std::strncmp(text, "https://", 8) == 0 && length > 8 && length < kHeartbeatUrlSize &&
         address_bytes_only(text);
}

const char* ssl_revoke_option(const char* text) {
  if (std::strcmp(text, "best-effort") == 0) return "--ssl-revoke-best-effort";
  if (std::strcmp(text, "off") == 0) return "--ssl-no-revoke";
  return text[0] == '\0' ? "" : nullptr;
}

bool proxy_usable(const char* text) {
  const size_t length = std::strlen(text);
  size_t scheme = 0;
  for (const char* start :
       {"http://", "https://", "socks4://", "socks4a://", "socks5://", "socks5h://"}) {
    if (std::strncmp(text, start, std::strlen(start)) == 0) scheme = std::strlen(start);
  }
  return scheme > 0 && length > scheme && length < kCurlSettingSize && address_bytes_only(text);
}

bool telegram_token_usable(const char* text) {
  const char* p = text;
  while (*p >= '0' && *p <= '9') ++p;
  if (p == text) return *p == '\0';
  if (*p++ != ':' || *p == '\0') return false;
  for (; *p; ++p) {
    const char c = *p;
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '_' && c != '-') return false;
  }
  return true;
}

CurlSettings curl_settings(const NotifySettings& s) {
  CurlSettings curl;
  curl.cacert = s.cacert.c_str();
  curl.proxy = s.proxy.c_str();
  curl.no_proxy = s.no_proxy.c_str();
  const char* option = ssl_revoke_option(s.ssl_revoke.c_str());
  curl.revoke_option = platform::kTlsChecksRevocation && option ? option : "";
  return curl;
}

bool parse_mail_auth(const char* text, MailAuth* mode) {
  MailAuth found;
  if (text[0] == '\0' || std::strcmp(text, "password") == 0) {
    found = MailAuth::kPassword;
  } else if (std::strcmp(text, "none") == 0) {
    found = MailAuth::kNone;
  } else if (std::strcmp(text, "oauth2") == 0) {
    found = MailAuth::kOAuth2;
  } else {
    return false;
  }
  if (mode) *mode = found;
  return true;
}

MailAuth mail_auth_of(const NotifySettings& settings) {
  MailAuth mode = MailAuth::kPassword;
  parse_mail_auth(settings.smtp_auth.c_str(), &mode);
  return mode;
}

bool smtp_tls_usable(const char* text) {
  return text[0] == '\0' || std::strcmp(text, "required") == 0 || std::strcmp(text, "try") == 0;
}

bool token_url_usable(const char* text) { return heartbeat_url_usable(text); }

bool no_proxy_usable(const char* text) {
  if (std::strlen(text) >= kCurlSettingSize) return false;
  for (const char* p = text; *p; ++p) {
    const char c = *p;
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && !std::strchr(".-:[]*/, ", c)) return false;
  }
  return true;
}

bool mail_login_complete(const NotifySettings& s) {
  if (s.server.empty()) return false;
  switch (mail_auth_of(s)) {
    case MailAuth::kNone:
      return !s.from.empty() || !s.email.empty();
    case MailAuth::kOAuth2:
      return !s.email.empty() && !s.oauth2_token_url.empty() && !s.oauth2_client_id.empty() &&
             !s.oauth2_scope.empty() &&
             (!s.oauth2_client_secret.empty() || !s.oauth2_refresh_token.empty());
    case MailAuth::kPassword:
      break;
  }
  return !s.email.empty() && !s.password.empty();
}

int parse_retry_minutes(const char* text) {
  if (text && text[0] == '\0') return 0;  // an empty value is not set: one try
  return parse_whole_number(text, kMaxRetryMinutes);
}

void load_notify_config(NotifySettings* settings) {
  ConfigReader file;
  if (!file.open(kNotifyFileName)) {
    plain_print("%s is not existed. It is unable to send email alerts\n", kNotifyFileName);
    settings->email_enabled = 0;
    return;
  }

  *settings = NotifySettings{};

  FixedText<kConfigLineSize> piece;
  ConfigLine line;
  NotifyLoadTarget to{settings};
  bool note_due[kMaxKeyRows] = {};  // by row: the key's last line was not used as written
  while (file.next(piece.data(), piece.capacity()) > 0) {
    if (!parse_config_line(piece.c_str(), &line)) continue;
    const NotifyKeyRow* row = find_notify_key(line.key.c_str());
    if (row) note_due[row - notify_key_rows().data()] = load_notify_key(*row, line, &to);
  }
  file.close();  // the rewrite below replaces the file, which no open handle may stop

  NotifySettings& s = *settings;
  for (const NotifyKeyRow& row : notify_key_rows()) {
    if (note_due[&row - notify_key_rows().data()]) print_notify_note(row, s);
  }
  s.email_enabled = mail_login_complete(s) && !s.to.empty();

  // Every secret line is written back protected on every load.
  if (to.to_protect) protect_secrets_in_file();
  s.telegram_enabled = !s.token.empty() && !s.chat_id.empty();
  if (s.teams_webhook.empty()) s.teams_enabled = 0;
}

}  // namespace lw
