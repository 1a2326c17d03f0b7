// The notification file "linkwatch_email.txt": channel settings and flags.

#ifndef LINKWATCH_CONFIG_NOTIFY_CONFIG_H_
#define LINKWATCH_CONFIG_NOTIFY_CONFIG_H_

#include <cstddef>
#include <cstdint>

#include "config/webhook_template.h"
#include "support/fixed_text.h"
#include "support/transfer.h"

namespace lw {

constexpr const char kNotifyFileName[] = "linkwatch_email.txt";
// Limits of the two secrets, in characters; a longer one is never used.
constexpr size_t kMaxPasswordLength = 127;
constexpr size_t kMaxTokenLength = 255;
// Largest `retry_minutes`: failed alerts are retried for at most a day.
constexpr int kMaxRetryMinutes = 1440;
constexpr size_t kHeartbeatUrlSize = 1024;  // `heartbeat_url`, terminator included
// Limits of the OAuth 2.0 client secret and refresh token, in characters.
constexpr size_t kMaxOAuth2SecretLength = 255;

// Web hooks (the webhook_* keys): at most kMaxWebhooks blocks, each begun by
// a `webhook_url` line; the lines after it, up to the next one, belong to it.
constexpr int kMaxWebhooks = 4;
// The address is a secret (protected on disk like `token`): at most this long.
constexpr size_t kMaxWebhookUrlLength = 255;
constexpr int kMaxWebhookHeaders = 4;
constexpr size_t kWebhookHeaderSize = 1024;  // one "Name: value", terminator included
constexpr size_t kWebhookBodySize = 4096;    // the template, terminator included
// `webhook_text_limit`: 0 (no cut) or kMinWebhookTextLimit..kMaxWebhookTextLimit.
constexpr int kMinWebhookTextLimit = 100;
constexpr int kMaxWebhookTextLimit = 100000;

// One web hook block.
struct WebhookSettings {
  FixedText<kMaxWebhookUrlLength + 1> url;  // plain text
  bool url_too_long = false;                // the line's address was longer: not used
  bool put = false;                         // webhook_method "PUT" (else POST)
  WebhookFormat format = WebhookFormat::kText;
  FixedText<kWebhookHeaderSize> headers[kMaxWebhookHeaders];
  int32_t header_count = 0;
  FixedText<kWebhookBodySize> body;  // "": default_webhook_body(format)
  int32_t text_limit = 0;            // bytes {text} is cut to at a whole line; 0: no cut
  // Whether the block can send: a usable address and, for "json", a body
  // whose expansion is valid JSON (worked out after reading the file).
  bool usable = false;

  const char* body_template() const {
    return body.empty() ? default_webhook_body(format) : body.c_str();
  }
};

struct NotifySettings {
  FixedText<256> server;
  FixedText<256> email;
  FixedText<kMaxPasswordLength + 1> password;
  FixedText<256> from;
  FixedText<1024> to;
  FixedText<512> iamalive;
  FixedText<kMaxTokenLength + 1> token;
  FixedText<256> chat_id;
  FixedText<8192> teams_webhook;
  int32_t email_enabled = 0;
  int32_t telegram_enabled = 0;
  int32_t teams_enabled = 0;
  int32_t iamalive_enabled = 0;
  // Minutes after its event during which an alert whose send failed for a
  // temporary reason is tried again; 0 (the key absent): one try only.
  int32_t retry_minutes = 0;
  // The address asked after every cycle (at most once a minute) so that a
  // watching service notices when the run falls silent; "": none.
  FixedText<kHeartbeatUrlSize> heartbeat_url;
  // What every curl call carries; "": not set. `cacert` names a PEM bundle
  // of the authorities to trust; `ssl_revoke` is "best-effort" or "off"
  // (Windows' TLS only); `proxy` is the proxy's address.
  FixedText<kCurlSettingSize> cacert;
  FixedText<16> ssl_revoke;
  FixedText<kCurlSettingSize> proxy;
  // How the mail server is logged in to and reached.
  // `smtp_auth`: "" or "password" (user name and password), "none" (no login,
  // a relay), "oauth2" (XOAUTH2 with a token fetched from `oauth2_token_url`).
  // `smtp_tls`: "" or "required" (--ssl-reqd), "try" (--ssl: TLS when offered).
  // `no_proxy`: hosts curl reaches without the proxy ("host, .domain").
  FixedText<16> smtp_auth;
  FixedText<16> smtp_tls;
  FixedText<kCurlSettingSize> oauth2_token_url;
  FixedText<256> oauth2_client_id;
  FixedText<kMaxOAuth2SecretLength + 1> oauth2_client_secret;
  FixedText<512> oauth2_scope;
  FixedText<kMaxOAuth2SecretLength + 1> oauth2_refresh_token;
  FixedText<kCurlSettingSize> no_proxy;
  // Web hooks, in the order of their `webhook_url` lines.
  WebhookSettings webhooks[kMaxWebhooks];
  int32_t webhook_count = 0;
};

// The ways of logging in to the mail server (`smtp_auth`).
enum class MailAuth { kPassword, kNone, kOAuth2 };

// The mode of an `smtp_auth` text ("" is "password"); false for another text.
bool parse_mail_auth(const char* text, MailAuth* mode);

// The mode `settings` uses; an unknown text counts as "password" (the loader
// never keeps one).
MailAuth mail_auth_of(const NotifySettings& settings);

// True when `text` can be the `smtp_tls`: "", "required" or "try".
bool smtp_tls_usable(const char* text);

// True when `text` can be the `oauth2_token_url`: "https://" and at least one
// more byte, no blank or control byte, shorter than kCurlSettingSize.
bool token_url_usable(const char* text);

// True when `text` can be the `no_proxy`: host names, addresses and domains
// separated by commas and blanks (letters, digits, '.', '-', ':', '[', ']',
// '*' and '/' only), shorter than kCurlSettingSize. "" is not set.
bool no_proxy_usable(const char* text);

// True when the e-mail channel has what its mode needs to log in and send:
// `server`, and for "password" `email` and `password`; for "none" a sender
// (`from` or `email`); for "oauth2" `email`, `oauth2_token_url`,
// `oauth2_client_id`, `oauth2_scope` and `oauth2_client_secret` or
// `oauth2_refresh_token`. The loader turns e-mail on when this holds and
// `to` has a value.
bool mail_login_complete(const NotifySettings& settings);

// True when `text` can be a web hook's address: "https://", or "http://" to
// a loopback address (127.x.x.x, [::1] or localhost), then a host, no blank
// or control byte, at most kMaxWebhookUrlLength bytes.
bool webhook_url_usable(const char* text);

// True when `text` is a header "Name: value": a name of visible ASCII bytes
// other than ':' (at least one), then ':', and no control byte anywhere.
bool webhook_header_usable(const char* text);

// The value of a `webhook_text_limit` text: "0" or a number from
// kMinWebhookTextLimit to kMaxWebhookTextLimit; "" (not set) is 0. -1 for
// anything else.
int parse_webhook_text_limit(const char* text);

// Works out every web hook's `usable` and prints and logs, for each block
// that cannot send (but one whose address was too long: its row's note says
// so), "web hook <n> in linkwatch_email.txt: ...; it is off". Part of
// load_notify_config.
void finish_webhooks(NotifySettings* settings);

// The curl switch of an `ssl_revoke` text: "--ssl-revoke-best-effort" for
// "best-effort", "--ssl-no-revoke" for "off", "" for "" (not set); null
// for anything else.
const char* ssl_revoke_option(const char* text);

// True when `text` can be the `proxy`: "http://", "https://", "socks4://",
// "socks4a://", "socks5://" or "socks5h://", then at least one byte, no
// blank or control byte, shorter than kCurlSettingSize. "" is not set.
bool proxy_usable(const char* text);

// The settings of `s` for the channels' curl calls (`no_proxy` included). The revocation switch
// is left out where the system's TLS checks no revocation
// (platform::kTlsChecksRevocation false).
CurlSettings curl_settings(const NotifySettings& s);

// True when `text` can be the heartbeat address: "https://" and at least one
// more byte, no blank or control byte, shorter than kHeartbeatUrlSize.
bool heartbeat_url_usable(const char* text);

// True when `text` has the shape of a bot token: digits, one colon, then
// letters, digits, '_' and '-' (at least one each side), e.g.
// "123456789:AAH-x_y". "" is not set and counts as usable.
bool telegram_token_usable(const char* text);

// The value of a `retry_minutes` text: digits only, 0..kMaxRetryMinutes;
// "" (not set) is 0. Returns -1 for anything else.
int parse_retry_minutes(const char* text);

// Reads the notification file into `settings` and works out the flags, then
// has every password and token line rewritten in its protected form
// (protect_secrets_in_file). A winning password or token longer than its
// limit is not used: the field stays empty, so its channel is off, and
// A `heartbeat_url` that heartbeat_url_usable refuses is not used and
// "heartbeat_url in linkwatch_email.txt must be an https:// address; no
// heartbeat" is printed and logged (the value is not shown: it may be secret).
// A `ssl_revoke` that ssl_revoke_option refuses or a `proxy` that
// proxy_usable refuses is not used, and "<key> in linkwatch_email.txt must
// be ...; it is not used" is printed and logged; so is a `cacert` file
// that cannot be read (the setting stays: curl then refuses every TLS send).
// A `retry_minutes` that parse_retry_minutes refuses counts as 0, and
// "retry_minutes in linkwatch_email.txt must be a number from 0 to 1440;
// failed alerts are not retried" is printed and logged.
// "<key> in linkwatch_email.txt is too long (more than N characters); ...
// alerts are off" is printed and logged. A
// missing file prints "linkwatch_email.txt is not existed. It is unable to
// send email alerts", clears `email_enabled` and leaves the rest untouched.
void load_notify_config(NotifySettings* settings);

}  // namespace lw

#endif  // LINKWATCH_CONFIG_NOTIFY_CONFIG_H_
