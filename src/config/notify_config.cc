#include "config/notify_config.h"

#include <cstdio>
#include <cstring>

#include "config/config_line.h"
#include "config/protect.h"
#include "platform/platform.h"
#include "support/output.h"

namespace lw {

namespace {

// What reading found on the lines of the two secret keys.
struct SecretMarks {
  bool password_too_long = false;  // the winning password line
  bool token_too_long = false;     // the winning token line
  bool to_protect = false;         // some line holds a usable secret
  bool retry_invalid = false;      // the winning retry_minutes line
  bool heartbeat_invalid = false;  // the winning heartbeat_url line
  bool revoke_invalid = false;     // the winning ssl_revoke line
  bool proxy_invalid = false;      // the winning proxy line
};

// Stores a password or token in its plain text. A value longer than the
// field leaves it empty and marks the line too long: a cut secret would only
// fail every login.
template <size_t N>
void store_secret(FixedText<N>* field, const char* value, bool* too_long, SecretMarks* marks) {
  *too_long = !read_stored_secret(value, N - 1, field->data(), field->capacity());
  if (!*too_long && value[0] != '\0') marks->to_protect = true;
}

void report_too_long(const char* key, size_t limit, const char* channel) {
  print_and_log("%s in %s is too long (more than %zu characters); %s alerts are off", key,
                kNotifyFileName, limit, channel);
}

void apply_notify_key(const ConfigLine& line, NotifySettings* s, SecretMarks* marks) {
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
    store_secret(&s->password, value, &marks->password_too_long, marks);
  } else if (std::strcmp(key, "token") == 0) {
    store_secret(&s->token, value, &marks->token_too_long, marks);
    if (!s->token.empty()) s->telegram_enabled = 1;
  } else if (std::strcmp(key, "iamalive") == 0) {
    s->iamalive.assign(value);
    // A later line without an at sign does not clear the flag.
    if (std::strchr(value, '@')) s->iamalive_enabled = 1;
  } else if (std::strcmp(key, "retry_minutes") == 0) {
    const int minutes = parse_retry_minutes(value);
    marks->retry_invalid = minutes < 0;
    s->retry_minutes = minutes < 0 ? 0 : minutes;
  } else if (std::strcmp(key, "heartbeat_url") == 0) {
    marks->heartbeat_invalid = !heartbeat_url_usable(value);
    s->heartbeat_url.assign(marks->heartbeat_invalid ? "" : value);
  } else if (std::strcmp(key, "cacert") == 0) {
    s->cacert.assign(value);
  } else if (std::strcmp(key, "ssl_revoke") == 0) {
    marks->revoke_invalid = !ssl_revoke_option(value);
    s->ssl_revoke.assign(marks->revoke_invalid ? "" : value);
  } else if (std::strcmp(key, "proxy") == 0) {
    marks->proxy_invalid = value[0] != '\0' && !proxy_usable(value);
    s->proxy.assign(marks->proxy_invalid ? "" : value);
  } else if (std::strcmp(key, "teams_webhook") == 0) {
    s->teams_webhook.assign(value);
    if (!s->teams_webhook.empty()) s->teams_enabled = 1;
  }
}

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
  const char* option = ssl_revoke_option(s.ssl_revoke.c_str());
  curl.revoke_option = platform::kTlsChecksRevocation && option ? option : "";
  return curl;
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
  SecretMarks marks;
  while (file.next(piece.data(), piece.capacity()) > 0) {
    if (parse_config_line(piece.c_str(), &line)) apply_notify_key(line, settings, &marks);
  }
  file.close();  // the rewrite below replaces the file, which no open handle may stop

  NotifySettings& s = *settings;
  if (marks.password_too_long) report_too_long("password", kMaxPasswordLength, "e-mail");
  if (marks.token_too_long) report_too_long("token", kMaxTokenLength, "Telegram");
  if (marks.retry_invalid) {
    print_and_log(
        "retry_minutes in %s must be a number from 0 to %d; failed alerts are not retried",
        kNotifyFileName, kMaxRetryMinutes);
  }
  if (marks.heartbeat_invalid) {
    print_and_log("heartbeat_url in %s must be an https:// address; no heartbeat", kNotifyFileName);
  }
  if (marks.revoke_invalid) {
    print_and_log("ssl_revoke in %s must be best-effort or off; it is not used", kNotifyFileName);
  }
  if (marks.proxy_invalid) {
    print_and_log("proxy in %s must be an address like http://host:port; it is not used",
                  kNotifyFileName);
  }
  if (!s.cacert.empty() && !file_readable(s.cacert.c_str())) {
    print_and_log("cacert \"%s\" in %s cannot be read; TLS sends will fail", s.cacert.c_str(),
                  kNotifyFileName);
  }
  s.email_enabled = !s.server.empty() && !s.email.empty() && !s.password.empty() && !s.to.empty();

  // Every secret line is written back protected on every load.
  if (marks.to_protect) protect_secrets_in_file();
  s.telegram_enabled = !s.token.empty() && !s.chat_id.empty();
  if (s.teams_webhook.empty()) s.teams_enabled = 0;
}

}  // namespace lw
